import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Under emulation (tools/targets/debian.sh sets it) an interpreter starts and runs many times slower.
TIME_SCALE = float(os.environ.get("KORVA_TEST_TIME_SCALE", "1"))

# A build without stack bounds (KORVA_STACK_BOUNDS=none; tools/targets/platforms.sh sets this) bounds
# nesting by a count, the same on every stack: this deep on each thread.
COUNTED_NESTING = 6 if os.environ.get("KORVA_TEST_STACK_BOUNDS") == "none" else None


def pointer_text(address: int) -> str:
    """An address as the interpreter's reprs write it (%p): the C library's printf form, after 0x;
    the UCRT writes all 16 digits, in capitals."""
    return f"0x{address:016X}" if sys.platform == "win32" else f"{address:#x}"


def time_limit(seconds: float) -> float:
    """The time limit of a process that a test starts, scaled where the suite runs emulated."""
    return seconds * TIME_SCALE


class CollidingKey:
    """A dict key with the hash of `twin` whose == raises while `armed`: a lookup of `twin` that
    meets it raises."""

    armed = True

    def __init__(self, twin):
        self.twin = twin

    def __hash__(self):
        return hash(self.twin)

    def __eq__(self, other):
        if self.armed:
            raise LookupError("no equality")
        return False


def run_python(code: str):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    import subprocess

    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=time_limit(120))


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

# The oldest torch that the routing module is declared for (pyproject.toml's extras) and tested on:
# Debian 12's 1.13.1, which calls itself 1.13.0a0. On Debian 11's torch 1.7.1 a process that has
# trained anything, with a plain torch loop as much as with train_router, aborts at exit with
# "terminate called without an active exception".
TORCH_OLDEST = (1, 13)


def import_torch(oldest=TORCH_OLDEST, reason=None):
    """torch, or the calling test module skipped where it is missing or older than `oldest`."""
    import pytest
    import re

    torch = pytest.importorskip("torch", reason=reason)
    release = tuple(int(n) for n in re.match(r"(\d+)\.(\d+)", torch.__version__).groups())
    if release < oldest:
        pytest.skip(f"torch {torch.__version__} is older than {'.'.join(map(str, oldest))}", allow_module_level=True)
    return torch
