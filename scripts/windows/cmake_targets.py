"""Reads what CMake configured for the extension modules (its file API reply in
BUILD) and writes, for each module target, OUT/<module>.args: the compile
arguments CMake gives a GCC-family compiler (build-type flags, language
standard, the project's own options and include directories) followed by the
sources, one per line. Prints one line per module: its name and the path of
its Linux build under PLATLIB, which the Windows link takes its symbols from.

    python cmake_targets.py BUILD PLATLIB OUT
"""

import json
import sys
from pathlib import Path


def main(build: Path, platlib: Path, out: Path) -> None:
    reply = build / ".cmake" / "api" / "v1" / "reply"
    index = json.loads(max(reply.glob("index-*.json")).read_text())
    responses = {r["kind"]: r["jsonFile"] for r in index["objects"]}
    cache = {e["name"]: e["value"] for e in json.loads((reply / responses["cache"]).read_text())["entries"]}
    config = json.loads((reply / responses["codemodel"]).read_text())["configurations"][0]
    build_type = config["name"].upper()
    base = f"{cache.get('CMAKE_CXX_FLAGS', '')} {cache.get(f'CMAKE_CXX_FLAGS_{build_type}', '')}".split()
    source_dir = Path(cache["CMAKE_HOME_DIRECTORY"])

    for ref in config["targets"]:
        target = json.loads((reply / ref["jsonFile"]).read_text())
        if target["type"] != "MODULE_LIBRARY":
            continue
        (group,) = target["compileGroups"]
        args = base + [f"-std=c++{group['languageStandard']['standard']}"]
        # Fragments with a backtrace come from the project's CMakeLists (its
        # warnings); the one without is the host toolchain's (-fPIC and the like).
        args += [f["fragment"] for f in group["compileCommandFragments"] if "backtrace" in f]
        # The project's own include directories; CPython's are the caller's.
        args += [f"-I{i['path']}" for i in group["includes"] if not i.get("isSystem")]
        args += [str(source_dir / s["path"]) for s in target["sources"]]
        module = target["nameOnDisk"].split(".")[0]
        (out / f"{module}.args").write_text("\n".join(args) + "\n")
        (dest,) = target["install"]["destinations"]
        print(module, platlib / dest["path"] / target["nameOnDisk"])


if __name__ == "__main__":
    main(Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3]))
