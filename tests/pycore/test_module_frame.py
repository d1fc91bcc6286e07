"""Once per process, one interpreter, and traceback entries: checked in fresh interpreters."""

import importlib.util
import textwrap

import pytest

from conftest import run_python

TORCH_INSTALLED = importlib.util.find_spec("torch") is not None
NEEDS_TORCH = pytest.mark.skipif(not TORCH_INSTALLED, reason="the routing module loads torch, which is not installed")


@pytest.mark.parametrize(
    "module, short",
    [("korva.utils.display", "display"), pytest.param("korva.rssp.tarvex", "tarvex", marks=NEEDS_TORCH)],
)
def test_second_initialisation_is_refused(module, short):
    proc = run_python(
        textwrap.dedent(
            f"""
            import sys, {module}
            del sys.modules[{module!r}]
            try:
                import {module}
            except RuntimeError as e:
                print(e)
            """
        )
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"Module '{short}' has already been imported. Re-initialisation is not supported.\n"


def test_second_interpreter_is_refused():
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("no subinterpreter helper in this build")
    proc = run_python(
        textwrap.dedent(
            """
            import os, _testcapi
            import korva.utils.display
            r, w = os.pipe()
            code = f'''
            import os
            try:
                import korva.utils.display
                message = "imported"
            except ImportError as e:
                message = type(e).__name__ + ": " + str(e)
            os.write({w}, message.encode())
            '''
            _testcapi.run_in_subinterp(code.replace("\\n            ", "\\n"))
            os.close(w)
            print(os.read(r, 1000).decode())
            """
        )
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process.\n"
    )


def test_no_version_warning_on_the_interpreter_it_was_built_for():
    proc = run_python("import warnings; warnings.simplefilter('error'); import korva.utils.display")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""


HIDE_TORCH = """
import sys
class NoTorch:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == "torch":
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, NoTorch())
"""


@pytest.mark.parametrize(
    "prelude",
    [
        pytest.param(HIDE_TORCH, id="hidden"),
        pytest.param("", id="not-installed",
                     marks=pytest.mark.skipif(TORCH_INSTALLED, reason="torch is installed here")),
    ],
)
def test_routing_module_without_torch_fails_to_import_and_can_be_retried(prelude):
    # Where no torch exists (32-bit ARM) the toolkit must see the interpreter's own error,
    # and a failed initialisation must not count as the one allowed per process.
    proc = run_python(
        prelude
        + textwrap.dedent(
            """
            import sys, traceback
            for attempt in range(2):
                try:
                    import korva.rssp.tarvex
                except ImportError as e:
                    entry = traceback.extract_tb(e.__traceback__)[1]
                    print(type(e).__name__, e.name, e, "|", entry.filename, entry.name, "korva.rssp.tarvex" in sys.modules)
            import korva.utils.display
            print(korva.utils.display.BAR_WIDTH)
            """
        )
    )
    assert proc.returncode == 0, proc.stderr
    failure = "ModuleNotFoundError torch No module named 'torch' | korva/rssp/tarvex <module> False\n"
    assert proc.stdout == failure * 2 + "24\n"
