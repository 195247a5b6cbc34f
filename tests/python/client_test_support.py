"""What the clients' tests share: where the clients are, running
stage-console-ctl, and the README's Python example."""

import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
CLIENTS = ROOT / "clients" / "python"
sys.path.insert(0, str(CLIENTS))

CTL = [sys.executable, str(CLIENTS / "stage-console-ctl")]
# Every wait of these tests is bounded by this, far below CTest's time-out.
BOUND_S = 20.0


def run_ctl(*arguments, env=None):
    """stage-console-ctl with these arguments, on the package in the source
    tree; fails the test by TimeoutExpired rather than hanging."""
    environment = dict(os.environ, PYTHONPATH=str(CLIENTS))
    environment.update(env or {})
    return subprocess.run(CTL + list(arguments), capture_output=True, text=True, timeout=BOUND_S, env=environment)


def readme_example():
    """The Python example of the README's section on scripts."""
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    section = text[text.index("## Scripts: Python and the shell"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def run_readme_example(runtime_dir):
    """Runs the README's example with XDG_RUNTIME_DIR=runtime_dir; returns
    the finished process."""
    environment = dict(os.environ, PYTHONPATH=str(CLIENTS), XDG_RUNTIME_DIR=str(runtime_dir))
    return subprocess.run([sys.executable, "-c", readme_example()], capture_output=True, text=True,
                          timeout=4 * BOUND_S, env=environment)
