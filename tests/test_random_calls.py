"""Random and hostile arguments never crash the interpreter (a short run of tools/random_calls.py)."""

import importlib.util
import subprocess
import sys

import pytest

from conftest import ROOT, time_limit


def random_calls(seed, calls, router_calls):
    proc = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "random_calls.py"), "--seed", str(seed), "--calls", str(calls),
         "--router-calls", str(router_calls)],
        capture_output=True, text=True, timeout=time_limit(300))
    # A crash ends the child with a signal (negative return code) and faulthandler's report on stderr.
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout.splitlines()


@pytest.mark.parametrize("seed", [1, 2])
def test_no_input_crashes_the_display_module(seed):
    pytest.importorskip("numpy")
    (display,) = random_calls(seed, 20000, 0)
    assert display.startswith(f"display: 20000 calls, seed {seed}: returned ")
    # Enough calls get past argument checking to reach the bodies.
    returned = int(display.split("returned ")[1].split(",")[0])
    assert returned > 5000


@pytest.mark.skipif(importlib.util.find_spec("torch") is None, reason="the routing module needs torch")
@pytest.mark.parametrize("seed", [1, 2])
def test_no_input_crashes_the_routing_module(seed):
    (router,) = random_calls(seed, 0, 60)
    assert router.startswith(f"router: 60 calls, seed {seed}: ")
    assert "trained" in router
