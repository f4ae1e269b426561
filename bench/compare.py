"""The rounds of bench/compare.sh (which builds the two versions and calls this).

Per round, every path runs once against each build, each run a process of its
own (bench/paths.py, the same file for both, under that build's interpreter),
the build that goes first alternating from path to path and round to round;
the ring's benchmark runs once per build per round, its rows read from what it
prints. The ratio NEW/OLD is taken inside each round, so a noisy stretch of
the machine hits both sides of it alike. Prints, per path, the median rate of
each build, the median ratio and its range over the rounds, and flags a
median ratio below 0.95.

    python bench/compare.py [--rounds N] [--paths P,...] [--scale X]
        --build LABEL PYTHON RING_BENCH --build LABEL PYTHON RING_BENCH
(RING_BENCH may be empty: no ring rows for that build.)
"""
import argparse
import fnmatch
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PATHS_PY = os.path.join(HERE, "paths.py")
RING_MESSAGES = 2_000_000
FLAG_BELOW = 0.95


def path_names(python):
    out = subprocess.run([python, PATHS_PY, "--list"], capture_output=True, text=True, check=True, cwd="/")
    return out.stdout.split()


def run_path(python, name, scale, timeout=180):
    """msg/s of one run, None when the build lacks the path, an error text
    when the run failed."""
    try:
        out = subprocess.run([python, PATHS_PY, name, "--scale", str(scale)], capture_output=True, text=True,
                             timeout=timeout, cwd="/")
    except subprocess.TimeoutExpired:
        return f"timed out after {timeout} s"
    last = out.stdout.strip().splitlines()[-1:] or [""]
    if out.returncode != 0:
        return (out.stderr.strip().splitlines() or [f"exit {out.returncode}"])[-1]
    if last[0].startswith("n/a"):
        return None
    return float(last[0])


def run_ring(binary, scale):
    """{row: msg/s} from one run of the ring benchmark (one run per figure)."""
    if not binary:
        return {}
    out = subprocess.run([binary, str(max(1, int(RING_MESSAGES * scale))), "1"], capture_output=True, text=True,
                         timeout=600)
    rows = {}
    for line in out.stdout.splitlines():
        if line.endswith("M msg/s"):
            name, figure = line[:50].strip(), line[50:].split()[0]
            rows["ring: " + name] = float(figure) * 1e6
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--paths", default="*", help="comma-separated names or shell patterns (default every path "
                                                 "and the ring); 'ring*' selects the ring's rows")
    ap.add_argument("--scale", type=float, default=1.0, help="multiplies every run's message count")
    ap.add_argument("--list", action="store_true", help="print the path names and stop")
    ap.add_argument("--build", nargs=3, action="append", metavar=("LABEL", "PYTHON", "RING_BENCH"), required=True)
    args = ap.parse_args()
    if len(args.build) != 2:
        ap.error("two --build")
    (old_label, old_py, old_ring), (new_label, new_py, new_ring) = args.build
    patterns = args.paths.split(",")
    names = [n for n in path_names(new_py) if any(fnmatch.fnmatch(n, p) for p in patterns)]
    with_ring = any(fnmatch.fnmatch("ring", p) for p in patterns) and (old_ring or new_ring)
    if args.list:
        print("\n".join(names + (["ring"] if with_ring else [])))
        return
    builds = [(old_py, old_ring), (new_py, new_ring)]
    print(f"OLD: {old_label}\nNEW: {new_label}\n{args.rounds} rounds, 64-byte messages, {os.cpu_count()} CPUs; "
          f"every figure a run of its own process", flush=True)
    rates = {}  # row -> ([old per round], [new per round]); a round's entry is None or an error text when missing
    errors = {}
    started = time.monotonic()
    for r in range(args.rounds):
        order = names[r % len(names):] + names[:r % len(names)] if names else []
        for i, name in enumerate(order):
            first = (r + i) % 2  # which build runs first
            got = [None, None]
            for b in (first, 1 - first):
                got[b] = run_path(builds[b][0], name, args.scale)
            for b in (0, 1):
                if isinstance(got[b], str):
                    errors.setdefault((name, b), got[b])
            rates.setdefault(name, ([], []))
            for b in (0, 1):
                rates[name][b].append(got[b])
        if with_ring:
            got = [{}, {}]
            for b in ((0, 1) if r % 2 == 0 else (1, 0)):
                got[b] = run_ring(builds[b][1], args.scale)
            for row in list(dict.fromkeys(list(got[0]) + list(got[1]))):
                rates.setdefault(row, ([], []))
                for b in (0, 1):
                    rates[row][b].append(got[b].get(row))
        print(f"  round {r + 1} of {args.rounds} done, {time.monotonic() - started:.0f} s", file=sys.stderr,
              flush=True)
    print_table(rates, errors, args.rounds)


def median_or_none(values):
    values = [v for v in values if isinstance(v, float)]
    return statistics.median(values) if values else None


def print_table(rates, errors, rounds):
    print(f"\n{'path':<56} {'OLD msg/s':>13} {'NEW msg/s':>13} {'NEW/OLD':>8} {'ratio range':>13}")
    flagged = 0
    for row, (old, new) in rates.items():
        ratios = [n / o for o, n in zip(old, new) if isinstance(o, float) and isinstance(n, float) and o > 0]
        mo, mn = median_or_none(old), median_or_none(new)
        cell = lambda m: f"{m:>13,.0f}" if m is not None else f"{'n/a':>13}"
        line = f"{row[:56]:<56} {cell(mo)} {cell(mn)}"
        if ratios:
            ratio = statistics.median(ratios)
            line += f" {ratio:>7.2f}x {min(ratios):>5.2f}-{max(ratios):<5.2f}"
            if ratio < FLAG_BELOW:
                line += f"  <-- below {FLAG_BELOW}"
                flagged += 1
            if len(ratios) < rounds:
                line += f"  ({len(ratios)} rounds)"
        print(line)
    for (row, b), text in errors.items():
        print(f"error: {row} on {'OLD' if b == 0 else 'NEW'}: {text}")
    print(f"\nNEW/OLD: median of the per-round ratios; range: their lowest and highest. n/a: that build lacks the "
          f"path.\n{flagged} path(s) below {FLAG_BELOW}x.")


if __name__ == "__main__":
    main()
