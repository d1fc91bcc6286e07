import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_python(code: str):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    import subprocess

    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
