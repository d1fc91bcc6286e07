"""The type stubs: typed callers and the demo pass mypy --strict, and what the stubs accept or flag
is what the runtime accepts or refuses."""

import os
import subprocess
import sys

import pytest

from conftest import ROOT, time_limit

pytest.importorskip("torch", reason="the typed calls and the demo use torch")
pytest.importorskip("numpy", reason="the typed calls and the demo use numpy")

import typed_calls  # noqa: E402

STUBS = ["src/korva/utils/display.pyi", "src/korva/rssp/tarvex.pyi"]


def test_mypy_strict():
    pytest.importorskip("mypy", reason="mypy is not installed (requirements.txt pins it)")
    # The stubs are given as sources, so that mypy reads these and not an installed copy.
    env = dict(os.environ, MYPYPATH=str(ROOT / "src"))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--explicit-package-bases", "--no-color-output",
         "--cache-dir", str(ROOT / "build" / "mypy-cache"), *STUBS, "tests/typed_calls.py", "examples"],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=time_limit(600))  # fmt: skip
    # Strict mode also reports every `type: ignore` of a rejected call that the stubs let through.
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.startswith("Success: no issues found in ")


def test_accepted_calls_run(capsys):
    typed_calls.accepted()
    out = capsys.readouterr().out
    assert "Training configuration" in out and "Router: train_acc=" in out


@pytest.mark.parametrize("call", typed_calls.REJECTED + typed_calls.UNFLAGGED)
def test_rejected_calls_raise(call, capsys):
    with pytest.raises(TypeError):
        call()
    assert capsys.readouterr().out == ""
