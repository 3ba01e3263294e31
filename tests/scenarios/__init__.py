"""Scenario programs that the tests run in a fresh interpreter (a crash or a
hang fails one test, not the run). Each module is also importable, so that
a test can name its cases from the module's own tables."""

import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).parent
# The environment of a scenario or snippet: the scenario modules (the shared
# Probe among them) import as `scenarios.<name>`.
ENVIRONMENT = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [str(HERE.parent), *filter(None, [os.environ.get("PYTHONPATH")])]))


def run(name: str, *args: str, timeout: float = 300) -> subprocess.CompletedProcess:
    """Run scenarios/<name>.py with the given arguments and return how it ended."""
    return subprocess.run([sys.executable, str(HERE / f"{name}.py"), *args],
                          capture_output=True, text=True, timeout=timeout, env=ENVIRONMENT)
