"""Small helpers shared by the benchmarks: repeated runs and a printed table."""
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
