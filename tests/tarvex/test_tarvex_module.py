"""The module frame, train_router's signature, and its errors: order, texts, traceback entries."""

import collections
import gc
import inspect
import subprocess
import sys
import textwrap
import traceback

import pytest

np = pytest.importorskip("numpy")
from conftest import import_torch  # noqa: E402

torch = import_torch()

from korva.rssp import tarvex  # noqa: E402
from korva.rssp.tarvex import train_router  # noqa: E402
from conftest import time_limit  # noqa: E402
from tarvex_support import single_thread  # noqa: E402, F401

SOURCE = "korva/rssp/tarvex"
NODE = {"left": {"classes": [1]}, "right": {"classes": [2]}}


def good_args(d_model=3):
    labels = torch.tensor([[1, 2, 1, 2, 1, 2]])
    coords = np.array([(0, i) for i in range(6)], dtype=np.int64)
    return [NODE, labels, coords[:4], coords[4:], torch.randn(1, 6, d_model)]


def entries(info):
    return [(e.name, e.filename) for e in traceback.extract_tb(info.tb)]


class TestModule:
    def test_globals(self):
        names = sorted(k for k in vars(tarvex) if not (k.startswith("__") and k.endswith("__")))
        assert names == ["SSSRRouter", "nn", "np", "optim", "torch", "train_router"]
        assert (tarvex.torch, tarvex.nn, tarvex.optim, tarvex.np) == (torch, torch.nn, torch.optim, np)

    def test_second_initialisation_is_refused(self):
        code = textwrap.dedent(
            """
            import sys, korva.rssp.tarvex
            del sys.modules["korva.rssp.tarvex"]
            try:
                import korva.rssp.tarvex
            except RuntimeError as e:
                print(e)
            """
        )
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=time_limit(120))
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == "Module 'tarvex' has already been imported. Re-initialisation is not supported.\n"

    def test_train_router_function(self):
        assert (train_router.__name__, train_router.__qualname__, train_router.__module__) == (
            "train_router", "train_router", "korva.rssp.tarvex")
        assert str(inspect.signature(train_router)) == (
            "(node: 'dict', labels: 'torch.Tensor', train_coords: 'np.ndarray', val_coords: 'np.ndarray', "
            "fp_map: 'torch.Tensor', d_model: 'int' = 64, epochs: 'int' = 200, lr: 'float' = 0.001, "
            "device: 'str' = 'cuda') -> \"'SSSRRouter | None'\""
        )
        assert train_router.__defaults__ == (64, 200, 0.001, "cuda")
        assert train_router.__annotations__["return"] == "'SSSRRouter | None'"
        for phrase in ("1.0", "0.0", "class-balanced", "validation accuracy", "node", "labels", "train_coords",
                       "val_coords", "fp_map"):
            assert phrase in train_router.__doc__


class TestArguments:
    @pytest.mark.parametrize(
        "change, error, message",
        [
            ({0: []}, TypeError, "Argument 'node' has incorrect type (expected dict, got list)"),
            ({0: collections.OrderedDict(NODE)}, TypeError,
             "Argument 'node' has incorrect type (expected dict, got collections.OrderedDict). "
             "Subclasses of built-in types are not accepted."),
            ({"d_model": "3"}, TypeError, "Argument 'd_model' has incorrect type (expected int, got str)"),
            ({"lr": "fast"}, TypeError, "must be real number, not str"),
            # Conversions come first, in parameter order; then the type tests, in parameter order.
            ({"d_model": float("nan"), "lr": "fast"}, ValueError, "cannot convert float NaN to integer"),
            ({"lr": "fast", 0: []}, TypeError, "must be real number, not str"),
            ({0: [], "d_model": "3"}, TypeError, "Argument 'node' has incorrect type (expected dict, got list)"),
            ({"d_model": "3", "epochs": "9"}, TypeError,
             "Argument 'd_model' has incorrect type (expected int, got str)"),
            ({"epochs": "9", "device": 1}, TypeError, "Argument 'epochs' has incorrect type (expected int, got str)"),
            # An epoch count below 1 is refused after all of these, before anything else.
            ({"epochs": 0, "device": b"cpu"}, TypeError,
             "Argument 'device' has incorrect type (expected str, got bytes)"),
            ({"epochs": 0, 0: {}}, ValueError, "epochs must be at least 1, got 0"),
            ({"epochs": -3}, ValueError, "epochs must be at least 1, got -3"),
            ({"epochs": 0.9}, ValueError, "epochs must be at least 1, got 0"),
            ({"epochs": -10**30}, ValueError, "epochs must be at least 1, got -1000000000000000000000000000000"),
        ],
    )
    def test_entry_checks(self, change, error, message, capsys):
        args = good_args()
        kwargs = {"d_model": 3, "device": "cpu"}
        for key, value in change.items():
            if isinstance(key, int):
                args[key] = value
            else:
                kwargs[key] = value
        with pytest.raises(error) as info:
            train_router(*args, **kwargs)
        assert str(info.value) == message
        assert entries(info)[-1] == ("train_router", SOURCE)
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1, 2, 3, 4), {}, "train_router() takes at least 5 positional arguments (4 given)"),
            (tuple(range(10)), {}, "train_router() takes at most 9 positional arguments (10 given)"),
            ((1, 2, 3, 4, 5), {"node": {}}, "train_router() got multiple values for keyword argument 'node'"),
            ((1, 2, 3, 4, 5), {"seed": 1}, "train_router() got an unexpected keyword argument 'seed'"),
        ],
    )
    def test_counts_and_keywords(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            train_router(*args, **kwargs)
        assert str(info.value) == message

    def test_all_by_keyword_and_lr_as_int(self, capsys):
        node, labels, train_coords, val_coords, fp_map = good_args()
        router = train_router(fp_map=fp_map, val_coords=val_coords, train_coords=train_coords, labels=labels,
                              node=node, d_model=3, epochs=1, lr=1, device="cpu")
        assert router is not None and capsys.readouterr().out.startswith("    Router: train_acc=")


class TestFailures:
    @pytest.mark.parametrize(
        "node, missing",
        [({"right": NODE["right"]}, "left"), ({"left": {}, "right": NODE["right"]}, "classes"),
         ({"left": NODE["left"]}, "right"), ({"left": NODE["left"], "right": {"class": [2]}}, "classes")],
    )
    def test_incomplete_node_record(self, node, missing, capsys):
        with pytest.raises(KeyError) as info:
            train_router(node, *good_args()[1:], d_model=3, device="cpu")
        assert info.value.args == (missing,) and entries(info)[-1] == ("train_router", SOURCE)
        assert capsys.readouterr().out == ""

    def test_coordinates_outside_the_map(self, capsys):
        args = good_args()
        args[2] = np.array([(0, 0), (0, 6)])
        with pytest.raises(IndexError) as info:
            train_router(*args, d_model=3, device="cpu")
        found = entries(info)
        at = found.index(("train_router", SOURCE))
        assert found[at + 1] == ("train_router.<locals>.prepare_split", SOURCE)
        assert capsys.readouterr().out == ""

    def test_label_map_that_numpy_cannot_read(self):
        args = good_args()
        args[1] = args[1].to("meta")
        with pytest.raises(TypeError, match="can't convert meta device type tensor to numpy") as info:
            train_router(*args, d_model=3, device="cpu")
        assert ("train_router.<locals>.prepare_split", SOURCE) in entries(info)

    def test_fingerprint_map_of_the_wrong_width(self, capsys):
        with pytest.raises(RuntimeError, match="cannot be multiplied") as info:
            train_router(*good_args(d_model=5), d_model=3, device="cpu")
        found = entries(info)
        assert found.index(("train_router", SOURCE)) < found.index(("SSSRRouter.forward", SOURCE))
        assert capsys.readouterr().out == ""

    def test_unknown_device(self):
        with pytest.raises(RuntimeError, match="device string") as info:
            train_router(*good_args(), d_model=3, device="gpu9")
        assert entries(info)[-1] == ("train_router", SOURCE)

    def test_no_references_kept(self, capsys):
        # Objects of this test alone: garbage of earlier tests may still hold the shared NODE,
        # and a collection inside train_router would free it.
        args = good_args()
        args[0] = {"left": {"classes": [1]}, "right": {"classes": [2]}}
        gc.collect()
        before = [sys.getrefcount(a) for a in args]
        train_router(*args, d_model=3, epochs=2, device="cpu")
        with pytest.raises(IndexError):
            train_router(*args[:2], np.array([(0, 9)] * 4), *args[3:], d_model=3, device="cpu")
        assert [sys.getrefcount(a) for a in args] == before
