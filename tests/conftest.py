"""Fixtures shared by the pytest suite of quarrine."""

import subprocess
import sys
import textwrap

import pytest

import scenarios


@pytest.fixture
def run_isolated():
    """Run a Python snippet in a fresh interpreter (for crash-prone cases); fail unless it exits 0, return its stdout."""

    def run(source: str) -> str:
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(source)],
            capture_output=True,
            text=True,
            timeout=300,
            env=scenarios.ENVIRONMENT,
        )
        assert proc.returncode == 0, (
            f"snippet exited with {proc.returncode}\n"
            f"--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
        )
        return proc.stdout

    return run


@pytest.fixture
def run_scenario():
    """Run a scenario program (for crash-prone cases); fail unless it exits 0, return its stdout."""

    def run(name: str, *args: str, timeout: float = 300) -> str:
        proc = scenarios.run(name, *args, timeout=timeout)
        assert proc.returncode == 0, (
            f"scenario {name} {' '.join(args)} exited with {proc.returncode}\n"
            f"--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
        )
        return proc.stdout

    return run
