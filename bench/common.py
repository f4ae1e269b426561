"""Small helpers shared by the benchmarks: repeated runs, a printed table, charts."""
import os
import statistics
import time


def repeat(fn, runs):
    """Runs fn() `runs` times; each call returns a figure. Returns the list."""
    return [fn() for _ in range(runs)]


def row(name, values, unit, reference=None):
    med = statistics.median(values)
    line = f"{name:<46} {med:>14,.0f} {min(values):>14,.0f} - {max(values):<14,.0f} {unit:<10}"
    if reference:
        line += f" {med / reference:6.2f}x"
    print(line, flush=True)
    return med


def header(title, runs):
    print(f"\n{title} (median of {runs} runs)")
    print(f"{'figure':<46} {'median':>14} {'min':>14} - {'max':<14} {'unit':<10} {'ratio':>7}")


class Stopwatch:
    def __init__(self):
        self.wall = time.perf_counter()
        self.cpu = time.process_time()

    def elapsed(self):
        return time.perf_counter() - self.wall, time.process_time() - self.cpu


def syscalls_per_message(script, child_args, count, calls=("sendto", "sched_yield")):
    """Runs `script child_args... count` under strace, counting `calls` over
    all its threads, and returns {call: calls per message}. In the benchmarks
    only the producer thread makes these calls: `sendto` is the wake-up
    datagram, `sched_yield` its retry when the ring is full."""
    import subprocess
    import sys
    import tempfile

    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        subprocess.run(["strace", "-f", "-c", "-U", "name,calls", "--seccomp-bpf", "-e", "trace=" + ",".join(calls),
                        "-o", out.name, sys.executable, script, *child_args, str(count)], check=True)
        seen = dict.fromkeys(calls, 0)
        for line in out.read().splitlines():
            parts = line.split()
            if len(parts) == 2 and parts[0] in seen:
                seen[parts[0]] = int(parts[1])
    return {call: n / count for call, n in seen.items()}


def pyplot():
    """matplotlib's pyplot drawing to files, or None (said on stdout) when
    matplotlib is not installed."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\nno chart: matplotlib is not installed (pip install .[demo])")
        return None
    return plt


def save_chart(plt, fig, path):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"\nchart: {os.path.abspath(path)}")
