"""__globals__: the module namespace, read-only, in which string annotations resolve."""

import inspect
import types
import typing

import pytest

import korva.utils.display as d

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
    # get_type_hints writes None as its type.
    assert typing.get_type_hints(f) == {k: type(None) if v is None else v for k, v in expected.items()}
    with pytest.raises(AttributeError):
        f.__globals__ = {}
    with pytest.raises(AttributeError):
        del f.__globals__


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

    def test_annotations_resolve_in_the_live_module(self, monkeypatch):
        tarvex = tarvex_module()
        fake_numpy = types.SimpleNamespace(ndarray=bytearray)
        monkeypatch.setattr(tarvex, "np", fake_numpy)
        assert typing.get_type_hints(tarvex.train_router)["train_coords"] is bytearray
        monkeypatch.delattr(tarvex, "np")
        with pytest.raises(NameError, match="'np' is not defined"):
            typing.get_type_hints(tarvex.train_router)
