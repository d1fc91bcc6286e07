"""Random and hostile arguments never crash the interpreter (a short run of tools/random_calls.py)."""

import subprocess
import sys

import pytest

from conftest import ROOT


@pytest.mark.parametrize("seed", [1, 2])
def test_no_input_crashes_the_interpreter(seed):
    proc = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "random_calls.py"), "--seed", str(seed), "--calls", "20000",
         "--router-calls", "60"],
        capture_output=True, text=True, timeout=300)
    # A crash ends the child with a signal (negative return code) and faulthandler's report on stderr.
    assert proc.returncode == 0, proc.stderr[-3000:]
    display, router = proc.stdout.splitlines()
    assert display.startswith(f"display: 20000 calls, seed {seed}: returned ")
    assert router.startswith(f"router: 60 calls, seed {seed}: ")
    # Enough calls get past argument checking to reach the bodies.
    returned = int(display.split("returned ")[1].split(",")[0])
    assert returned > 5000
    assert "trained" in router
