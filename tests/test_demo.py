"""The demo (bench/demo.py, what `scripts/demo.sh` runs) at a small message
count: every row of its table is printed and nothing is lost, corrupt or
refused; with matplotlib installed it writes the chart it names."""
import importlib.util
import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parents[1] / "bench" / "demo.py"
PATHS = 11  # 7 ferrylink paths, 4 references


def test_demo_prints_every_row_and_loses_nothing(tmp_path):
    chart = tmp_path / "demo.png"
    done = subprocess.run([sys.executable, str(DEMO), "-n", "3000", "--chart", str(chart)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "\r" not in done.stdout + done.stderr  # no progress line into a file
    rows = [line.split() for line in done.stdout.splitlines() if line.startswith("  ")]
    assert len(rows) == PATHS, done.stdout
    for row in rows:
        messages, lost, corrupt, refused = row[-7], row[-3], row[-2], row[-1]
        assert messages == "3,000" and lost == "0" and corrupt in ("0", "-") and refused == "0", row
    if importlib.util.find_spec("matplotlib"):
        assert f"chart: {chart}" in done.stdout and chart.stat().st_size > 0
    else:
        assert "no chart" in done.stdout
