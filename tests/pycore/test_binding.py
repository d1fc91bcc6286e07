"""Argument binding and conversion, checked once through the display functions."""

import decimal
import inspect
import sys

import pytest

import korva.utils.display as d

np = pytest.importorskip("numpy")

BANNER_ARGS = dict(forest_idx=0, num_forests=3, seed=42, node_id="n")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MyStr(str):
    pass


class MyList(list):
    pass


class MyDict(dict):
    pass


class TestIntParameters:
    @pytest.mark.parametrize(
        "given, shown",
        [
            (7, "8"),
            (True, "2"),
            (4.9, "5"),
            (-1.5, "0"),
            (np.int64(6), "7"),
            (np.float32(2.75), "3"),
            (Index(9), "10"),
            (decimal.Decimal("3.9"), "4"),
            (2**70, str(2**70 + 1)),
            (-(2**80), str(-(2**80) + 1)),
        ],
    )
    def test_numbers_convert_like_int(self, given, shown):
        text = d.forest_banner(**{**BANNER_ARGS, "forest_idx": given})
        assert f"Ensemble {shown}/3" in text

    @pytest.mark.parametrize("given, type_name", [("1", "str"), (None, "NoneType"), ([1], "list"), (b"1", "bytes")])
    def test_non_numbers_rejected(self, given, type_name):
        with pytest.raises(TypeError) as info:
            d.forest_banner(**{**BANNER_ARGS, "seed": given})
        assert str(info.value) == f"Argument 'seed' has incorrect type (expected int, got {type_name})"

    def test_conversion_errors_of_the_interpreter_propagate(self):
        with pytest.raises(OverflowError):
            d.forest_banner(**{**BANNER_ARGS, "seed": float("inf")})
        with pytest.raises(ValueError):
            d.forest_banner(**{**BANNER_ARGS, "seed": float("nan")})
        with pytest.raises(TypeError, match="complex"):
            d.forest_banner(**{**BANNER_ARGS, "seed": 1j})


class TestFloatParameters:
    def test_required_float_uses_float_conversion(self):
        assert "  mIoU " in d.forest_done_line(0, 1, 1, 2, np.float32(0.5), decimal.Decimal("0.25"), Index(1), "1s")
        with pytest.raises(TypeError, match="must be real number, not str"):
            d.forest_done_line(0, 1, "0.5", 2, 0.5, 0.5, 0.5, "1s")
        with pytest.raises(TypeError, match="must be real number, not NoneType"):
            d.forest_done_line(0, 1, 0.5, 2, 0.5, 0.5, None, "1s")

    def test_optional_float_accepts_none_and_numbers(self, capsys):
        d.epoch_bar(20, 100, 0.5, val_loss=None, oa=1, miou=np.float64(0.5), aa=True, kappa=Index(0))
        assert "OA \x1b[92m1.0000" in capsys.readouterr().out
        with pytest.raises(TypeError) as info:
            d.epoch_bar(20, 100, 0.5, aa="0.5")
        assert str(info.value) == "Argument 'aa' has incorrect type (expected float, got str)"


class TestExactTypes:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: d.forest_banner(0, 1, 2, MyStr("n")), "Argument 'node_id' has incorrect type (expected str, got MyStr). Subclasses of built-in types are not accepted."),
            (lambda: d.forest_banner(0, 1, 2, None), "Argument 'node_id' has incorrect type (expected str, got NoneType)"),
            (lambda: d.node_banner("n", MyList(), 2, 1, 1, "bce", 2.0, 1, 1), "Argument 'node_classes' has incorrect type (expected list, got MyList). Subclasses of built-in types are not accepted."),
            (lambda: d.node_banner("n", (1,), 2, 1, 1, "bce", 2.0, 1, 1), "Argument 'node_classes' has incorrect type (expected list, got tuple)"),
            (lambda: d.print_results_box(MyDict()), "Argument 'metrics' has incorrect type (expected dict, got MyDict). Subclasses of built-in types are not accepted."),
            (lambda: d.print_results_box({}, routing=b"all"), "Argument 'routing' has incorrect type (expected str, got bytes)"),
            (lambda: d.epoch_bar(1, 2, 0.5, prefix=None), "Argument 'prefix' has incorrect type (expected str, got NoneType)"),
        ],
    )  # fmt: skip
    def test_messages(self, capsys, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
        assert capsys.readouterr().out == ""

    def test_none_where_the_default_is_none(self, capsys):
        d.print_results_box({}, None)
        d.print_per_class_iou({}, pixel_counts=None)
        assert capsys.readouterr().out

    def test_numbers_are_checked_before_texts(self):
        # node_id (a bad text) comes first, seed (a bad number) is still reported first.
        with pytest.raises(TypeError, match="Argument 'seed'"):
            d.forest_banner(0, 1, "x", None)
        with pytest.raises(TypeError, match="Argument 'val_pixels'"):
            d.node_banner(None, None, 1, 1, 1, None, 1.0, 1, "x")
        with pytest.raises(TypeError, match="Argument 'node_id'"):
            d.node_banner(None, None, 1, 1, 1, None, 1.0, 1, 1)


class TestCounts:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: d.forest_banner(0, 1, 2), "forest_banner() takes exactly 4 positional arguments (3 given)"),
            (lambda: d.forest_banner(0, 1, 2, "n", 5), "forest_banner() takes exactly 4 positional arguments (5 given)"),
            (lambda: d.forest_banner(0, 1, node_id="n"), "forest_banner() takes exactly 4 positional arguments (2 given)"),
            (lambda: d.epoch_bar(), "epoch_bar() takes at least 3 positional arguments (0 given)"),
            (lambda: d.epoch_bar(*range(11)), "epoch_bar() takes at most 10 positional arguments (11 given)"),
            (lambda: d.print_results_box(), "print_results_box() takes at least 1 positional argument (0 given)"),
            (lambda: d.print_results_box({}, None, None), "print_results_box() takes at most 2 positional arguments (3 given)"),
            (lambda: d.gpu_stats(1), "gpu_stats() takes no arguments (1 given)"),
            (lambda: d.gpu_stats(x=1), "gpu_stats() takes no keyword arguments"),
            (lambda: d.forest_banner(0, 1, 2, "n", seed=3), "forest_banner() got multiple values for keyword argument 'seed'"),
            (lambda: d.forest_banner(0, 1, 2, "n", colour=3), "forest_banner() got an unexpected keyword argument 'colour'"),
            # A missing required argument is reported before a stray keyword.
            (lambda: d.forest_banner(0, 1, colour=3), "forest_banner() takes exactly 4 positional arguments (2 given)"),
        ],
    )  # fmt: skip
    def test_messages(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_keywords_in_any_order(self):
        assert d.forest_banner(node_id="n", seed=2, num_forests=3, forest_idx=0) == d.forest_banner(0, 3, 2, "n")


def test_failing_calls_leak_no_references():
    key, value, bad = "some text", 2**100, MyDict()
    before = [sys.getrefcount(o) for o in (key, value, bad)]
    for _ in range(1000):
        for call in (
            lambda: d.forest_banner(value, value, value, bad),
            lambda: d.print_results_box(bad, key),
            lambda: d.forest_banner(value, 1, 2, key, extra=key),
            lambda: d._c(key, value),
        ):
            with pytest.raises(TypeError):
                call()
        d.forest_banner(value, value, value, key)
    assert [sys.getrefcount(o) for o in (key, value, bad)] == before


FUNCTIONS = {
    # name: (signature, return annotation or None, has doc)
    "epoch_bar": ("(epoch: 'int', total: 'int', loss: 'float', val_loss: 'float' = None, oa: 'float' = None, miou: 'float' = None, aa: 'float' = None, kappa: 'float' = None, interval: 'int' = 20, prefix: 'str' = '  ') -> 'None'", True),
    "forest_banner": ("(forest_idx: 'int', num_forests: 'int', seed: 'int', node_id: 'str') -> 'str'", False),
    "node_banner": ("(node_id: 'str', node_classes: 'list', num_classes: 'int', epochs: 'int', num_forests: 'int', loss_type: 'str', focal_gamma: 'float', train_pixels: 'int', val_pixels: 'int') -> 'str'", False),
    "gpu_stats": ("() -> 'str'", True),
    "forest_done_line": ("(forest_idx: 'int', num_forests: 'int', best_miou: 'float', best_epoch: 'int', best_oa: 'float', best_aa: 'float', best_kappa: 'float', elapsed: 'str') -> 'str'", False),
    "print_config_box": ("(title: 'str', items: 'list[tuple[str, str]]')", True),
    "print_results_box": ("(metrics: 'dict', routing: 'str' = None)", True),
    "print_per_class_iou": ("(class_ious: 'dict', pixel_counts: 'dict' = None)", True),
    "print_save_and_next": ("(out_dir: 'str', save_file: 'str', data_path: 'str', gt_path: 'str', train_ratio: 'float', val_ratio: 'float')", True),
    "print_logo": ("()", False),
    "_c": ("(text, *codes)", False),
}  # fmt: skip


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_annotations_defaults(name):
    f = getattr(d, name)
    signature, has_doc = FUNCTIONS[name]
    assert str(inspect.signature(f)) == signature
    assert (f.__doc__ is not None) == has_doc
    sig = inspect.signature(f)
    expected = {p.name: p.annotation for p in sig.parameters.values() if p.annotation is not p.empty}
    if sig.return_annotation is not sig.empty:
        expected["return"] = sig.return_annotation
    assert f.__annotations__ == expected
    defaults = tuple(p.default for p in sig.parameters.values() if p.default is not p.empty)
    assert f.__defaults__ == (defaults or None)
    assert f.__module__ == "korva.utils.display" and f.__qualname__ == name


def test_defaults_are_made_once():
    assert d.epoch_bar.__defaults__ == (None, None, None, None, None, 20, "  ")
    assert d.epoch_bar.__defaults__[-1] is d.epoch_bar.__defaults__[-1]
    assert d.print_results_box.__defaults__ == (None,)
