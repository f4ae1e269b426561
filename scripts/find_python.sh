# Sourced: find_python prints a CPython 3.13 interpreter ($PYTHON, python3.13,
# a pyenv 3.13, /usr/bin/python3.13) or fails.
find_python() {
  local cand
  for cand in "${PYTHON:-}" python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
    [ -n "$cand" ] || continue
    if "$cand" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
      echo "$cand"; return 0
    fi
  done
  # pyenv's shim refuses a bare python3.13 unless the version is selected.
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.[0-9]+)?$' | sort -V | tail -n 1)
    if [ -n "$v" ]; then echo "$(pyenv root)/versions/$v/bin/python3.13"; return 0; fi
  fi
  echo "no CPython 3.13 found: set PYTHON=/path/to/python3.13" >&2
  return 1
}
