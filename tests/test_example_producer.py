"""The example producer under examples/producer builds as a user would build
it (setuptools and the CMake snippet, warnings as errors, C++17 and C11) and
delivers every numbered message in order through each consumer kind; the
README's quick start and the guide's quotes of it stay true."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "producer"
COUNT = "20000"


def run_example(module_dir, *args):
    env = dict(os.environ, PYTHONPATH=str(module_dir))
    done = subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout.splitlines()


def test_setuptools_build_runs_through_every_consumer(tmp_path):
    build = subprocess.run([sys.executable, "setup.py", "-q", "build_ext", "--build-lib", str(tmp_path / "lib"),
                            "--build-temp", str(tmp_path / "tmp")], cwd=EXAMPLE, capture_output=True, text=True,
                           timeout=300)
    assert build.returncode == 0, build.stdout + build.stderr
    lines = run_example(tmp_path / "lib", str(EXAMPLE / "run.py"), COUNT)
    assert lines == [f"{lang} -> {kind}: {COUNT} messages in order" for lang in ("C++", "C")
                     for kind in ("AsyncDispatcher", "SyncDispatcher", "CyPipe")] + [
                     f"C++ coalesced -> {kind}: {COUNT} messages in order"
                     for kind in ("AsyncDispatcher", "SyncDispatcher datagram")]
    readme = (EXAMPLE.parents[1] / "README.md").read_text()
    quick_start = re.search(r"## Quick start\n.*?```python\n(.*?)```", readme, re.S).group(1)
    assert run_example(tmp_path / "lib", "-c", quick_start) == ["[b'0', b'1', b'2']"]


def test_cmake_snippet_builds_the_same_modules(tmp_path):
    tools = os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])
    cmake = shutil.which("cmake", path=tools)
    assert cmake, "cmake is one of the test extras"
    env = dict(os.environ, PATH=tools)
    for step in ([cmake, "-S", str(EXAMPLE), "-B", str(tmp_path), f"-DPython_EXECUTABLE={sys.executable}"],
                 [cmake, "--build", str(tmp_path)]):
        done = subprocess.run(step, env=env, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stdout + done.stderr
    assert len(run_example(tmp_path, str(EXAMPLE / "run.py"), COUNT)) == 8


def test_the_guide_quotes_the_example_as_it_is():
    root = EXAMPLE.parents[1]
    guide = (root / "docs" / "guide.md").read_text()
    quotes = re.findall(r"<!-- quote (\S+): (.+?) -->\n```\w*\n(.*?)```", guide, re.S)
    assert len(quotes) >= 7
    for path, name, text in quotes:
        source = (root / path).read_text()
        region = re.search(rf"^\s*(?://|#) \[{re.escape(name)}\]\n(.*?)^\s*(?://|#) \[end\]\n", source, re.S | re.M)
        assert region, f"{path} has no region [{name}]"
        assert region.group(1) == text, f"docs/guide.md quotes an old {path} [{name}]"
