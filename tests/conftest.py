import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_python(code: str):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    import subprocess

    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


# Code for a daemon thread that the interpreter ends at exit while it is inside one of our calls:
# `Slow` is a stdout whose write sets `inside` and then never returns, waking every millisecond,
# and `lingering` is a finalizer that keeps the shutdown going for long enough that it wakes.
ENDED_AT_EXIT = """
import threading, time
inside = threading.Event()

class Slow:
    def write(self, text):
        inside.set()
        while True:
            time.sleep(0.001)
    def flush(self):
        pass

class Lingering:
    def __del__(self, sleep=time.sleep):
        sleep(0.05)

lingering = Lingering()
"""
