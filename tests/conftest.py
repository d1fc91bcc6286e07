import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Under emulation (tools/debian.sh sets it) an interpreter starts and runs many times slower.
TIME_SCALE = float(os.environ.get("KORVA_TEST_TIME_SCALE", "1"))


def time_limit(seconds: float) -> float:
    """The time limit of a process that a test starts, scaled where the suite runs emulated."""
    return seconds * TIME_SCALE


def run_python(code: str):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    import subprocess

    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=time_limit(120))
