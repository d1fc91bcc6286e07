"""Once per process, one interpreter, and traceback entries: checked in fresh interpreters."""

import os
import textwrap

import pytest

from conftest import run_python


@pytest.mark.parametrize("module, short", [("korva.utils.display", "display"), ("korva.rssp.tarvex", "tarvex")])
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
