"""What tools read of a function besides calling it: __globals__, the module namespace, read-only, in
which string annotations resolve; __code__, whose names, line and parameters are those of the
function's traceback entries and signature; and every other attribute a Python function has."""

import builtins
import inspect
import sys
import traceback
import types
import typing

import pytest

import korva.utils.display as d
from conftest import CollidingKey


def _python_function():
    pass


PYTHON_FUNCTION_ATTRIBUTES = sorted(set(dir(_python_function)) - set(dir(object)))


def check_like_a_python_function(f):
    """f has what a Python function with its signature has, as tools read it; f is not a bound method."""
    for name in PYTHON_FUNCTION_ATTRIBUTES:
        assert hasattr(f, name), name
    code = f.__code__
    assert f.__code__ is code and isinstance(code, types.CodeType)
    params = inspect.signature(f).parameters.values()
    named = [p.name for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    star = [p.name for p in params if p.kind is p.VAR_POSITIONAL]
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(named), 0, 0)
    assert code.co_varnames == tuple(named + star) and code.co_nlocals == len(code.co_varnames)
    varargs = code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)
    assert varargs == (inspect.CO_VARARGS if star else 0)
    assert not (inspect.isgeneratorfunction(f) or inspect.iscoroutinefunction(f) or inspect.isasyncgenfunction(f))
    # Binding errors point at the function's own line.
    with pytest.raises(TypeError) as info:
        f(no_such_parameter=1)
    entry = traceback.extract_tb(info.tb)[-1]
    assert (code.co_filename, code.co_firstlineno, entry.name) == (entry.filename, entry.lineno, f.__qualname__)
    assert code.co_name == f.__name__ and getattr(code, "co_qualname", f.__qualname__) == f.__qualname__
    # A function made from the code runs no body; it raises at the same place.
    with pytest.raises(AssertionError) as info:
        types.FunctionType(code, {})(*range(len(named)))
    last = traceback.extract_tb(info.tb)[-1]
    assert (last.filename, last.lineno) == (code.co_filename, code.co_firstlineno)
    assert f.__closure__ is None and f.__kwdefaults__ is None
    if sys.version_info >= (3, 10):
        assert f.__builtins__ is vars(builtins)
    if sys.version_info >= (3, 12):
        assert f.__type_params__ == ()
    if sys.version_info >= (3, 14):
        assert f.__annotate__ is None
    for name in {"__code__", "__closure__", "__builtins__", "__type_params__"} & set(PYTHON_FUNCTION_ATTRIBUTES):
        with pytest.raises(AttributeError):
            setattr(f, name, getattr(_python_function, name))

# What each annotation text of the display module names.
DISPLAY_TYPES = {
    "int": int,
    "float": float,
    "str": str,
    "list": list,
    "dict": dict,
    "None": None,
    "list[tuple[str, str]]": list[tuple[str, str]],
}
DISPLAY_FUNCTIONS = [name for name, value in vars(d).items() if type(value) is type(d._c)]


def test_display_has_fifteen_functions():
    assert len(DISPLAY_FUNCTIONS) == 15


@pytest.mark.parametrize("name", DISPLAY_FUNCTIONS)
def test_display_functions(name):
    f = getattr(d, name)
    assert f.__globals__ is vars(d)
    expected = {param: DISPLAY_TYPES[text] for param, text in f.__annotations__.items()}
    if hasattr(inspect, "get_annotations"):  # 3.10 and later
        assert inspect.get_annotations(f, eval_str=True) == expected
    # get_type_hints writes None as its type. Before 3.11 it also makes a parameter whose default is
    # None Optional, finding the defaults' names in __code__, for ours as for a Python function.
    hints = {k: type(None) if v is None else v for k, v in expected.items()}
    if sys.version_info < (3, 11):
        for p in inspect.signature(f).parameters.values():
            if p.default is None:
                hints[p.name] = typing.Optional[hints[p.name]]
    assert typing.get_type_hints(f) == hints
    with pytest.raises(AttributeError):
        f.__globals__ = {}
    with pytest.raises(AttributeError):
        del f.__globals__
    check_like_a_python_function(f)


class TestBuiltins:
    """A name the module lacks is looked up in the builtins the function has had since it was
    made, as for a function written in Python, never in those of the code that calls it."""

    def test_not_the_callers_builtins(self, monkeypatch, capsys):
        monkeypatch.delattr(d, "BAR_WIDTH")
        call = "d.epoch_bar(1, 2, 0.5)"
        for theirs in (types.MappingProxyType({"BAR_WIDTH": 5}), {"BAR_WIDTH": 5}):
            with pytest.raises(NameError, match="name 'BAR_WIDTH' is not defined"):
                exec(call, {"__builtins__": theirs, "d": d})
        assert capsys.readouterr().out == ""

    def test_the_functions_own_builtins(self, monkeypatch, capsys):
        import builtins

        monkeypatch.delattr(d, "BAR_WIDTH")
        monkeypatch.setattr(builtins, "BAR_WIDTH", 2, raising=False)
        exec("d.epoch_bar(1, 2, 0.5)", {"__builtins__": {}, "d": d})
        assert "\u2588\u2591" + d.RESET in capsys.readouterr().out


@pytest.mark.parametrize("name, call", [("RESET", lambda: d._c("x")), ("KORVA_LOGO", d.print_logo)])
def test_global_lookup_meeting_a_key_whose_eq_raises(name, call):
    # The key takes the name's place in the dict's probe order, so the lookup compares it first,
    # as a function written in Python would: its __eq__ raises through the call.
    namespace, key = vars(d), CollidingKey(name)
    value = namespace.pop(name)
    try:
        key.armed = False
        namespace[key] = None
        namespace[name] = value
        key.armed = True
        with pytest.raises(LookupError, match="no equality"):
            call()
    finally:
        key.armed = False
        namespace.pop(key, None)
        namespace[name] = value


def tarvex_module():
    pytest.importorskip("torch", reason="tarvex imports torch")
    pytest.importorskip("numpy", reason="tarvex imports numpy")
    from korva.rssp import tarvex

    return tarvex


class TestTarvex:
    def test_every_function(self):
        tarvex = tarvex_module()
        import numpy as np
        import torch

        router = tarvex.SSSRRouter
        functions = [tarvex.train_router, router.__init__, router.forward, router(2).forward]
        for f in functions:
            assert f.__globals__ is vars(tarvex)
        assert typing.get_type_hints(tarvex.train_router) == {
            "node": dict, "labels": torch.Tensor, "train_coords": np.ndarray, "val_coords": np.ndarray,
            "fp_map": torch.Tensor, "d_model": int, "epochs": int, "lr": float, "device": str,
            "return": router | None,
        }  # fmt: skip
        assert typing.get_type_hints(router.__init__) == {"d_model": int}
        for forward in functions[2:]:
            assert typing.get_type_hints(forward) == {"fingerprints": torch.Tensor, "return": torch.Tensor}
        for f in functions[:3]:
            check_like_a_python_function(f)
        # A bound method hands out its function's, as the interpreter's methods do.
        bound = functions[3]
        assert bound.__code__ is router.forward.__code__ and bound.__closure__ is None
        for name in PYTHON_FUNCTION_ATTRIBUTES:
            assert hasattr(bound, name), name

    def test_annotations_resolve_in_the_live_module(self, monkeypatch):
        tarvex = tarvex_module()
        fake_numpy = types.SimpleNamespace(ndarray=bytearray)
        monkeypatch.setattr(tarvex, "np", fake_numpy)
        assert typing.get_type_hints(tarvex.train_router)["train_coords"] is bytearray
        monkeypatch.delattr(tarvex, "np")
        with pytest.raises(NameError, match="'np' is not defined"):
            typing.get_type_hints(tarvex.train_router)
