"""The per-class IoU table: rows with and without pixel counts, colours, bars, padding, semantics, errors."""

import sys
from decimal import Decimal, InvalidOperation
from pathlib import Path

import pytest

from korva.utils import display as d
from colours import RESET, BOLD, GREEN, YELLOW, RED, GRAY
from conftest import CollidingKey

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import reference_boxes as ref  # noqa: E402

np = pytest.importorskip("numpy")


HEAD = "\n" + BOLD + "  Per-class IoU:" + RESET + "\n"
WARNING = "  " + YELLOW + "⚠ few pixels" + RESET
NAN = float("nan")


def table(capsys, ious, counts=None):
    d.print_per_class_iou(ious, counts)
    return capsys.readouterr().out


def plain_row(cls, text, colour, cells):
    return f"  Class {cls}  {colour}{text}{RESET}  {colour}{'█' * cells}{RESET}\n"


def count_row(cls, text, colour, cells, count, warning=""):
    pad = " " * max(20 - cells, 0)
    return f"  Class {cls}  {colour}{text}{RESET}  {colour}{'█' * cells}{RESET}{pad}  {GRAY}({count} px){RESET}{warning}\n"


class TestRows:
    def test_worked_example_without_counts(self, capsys):
        assert table(capsys, {1: 0.9123, 5: 0.5, 13: 0.31}) == HEAD + (
            "  Class  1  " + GREEN + "0.9123" + RESET + "  " + GREEN + "██████████████████" + RESET + "\n"
            + "  Class  5  " + YELLOW + "0.5000" + RESET + "  " + YELLOW + "██████████" + RESET + "\n"
            + "  Class 13  " + RED + "0.3100" + RESET + "  " + RED + "██████" + RESET + "\n"
        ) + "\n"

    def test_worked_example_with_counts(self, capsys):
        ious = {1: 0.9123, 5: 0.5, 13: 0.31, 123: 1.0, 7: NAN}
        counts = {1: 19, 5: 20, 13: 1234, 123: 123456}
        assert table(capsys, ious, counts) == HEAD + (
            "  Class  1  " + GREEN + "0.9123" + RESET + "  " + GREEN + "██████████████████" + RESET
            + "    " + GRAY + "(   19 px)" + RESET + "  " + YELLOW + "⚠ few pixels" + RESET + "\n"
            + "  Class  5  " + YELLOW + "0.5000" + RESET + "  " + YELLOW + "██████████" + RESET
            + "            " + GRAY + "(   20 px)" + RESET + "\n"
            + "  Class 13  " + RED + "0.3100" + RESET + "  " + RED + "██████" + RESET
            + "                " + GRAY + "( 1234 px)" + RESET + "\n"
            + "  Class 123  " + GREEN + "1.0000" + RESET + "  " + GREEN + "████████████████████" + RESET
            + "  " + GRAY + "(123456 px)" + RESET + "\n"
            + "  Class  7  " + RED + "nan" + RESET + "  " + RED + RESET
            + "                      " + GRAY + "(    0 px)" + RESET + "  " + YELLOW + "⚠ few pixels" + RESET + "\n"
        ) + "\n"

    def test_empty_table(self, capsys):
        assert table(capsys, {}) == HEAD + "\n"
        assert table(capsys, {}, {}) == HEAD + "\n"

    @pytest.mark.parametrize(
        "iou, text, colour, cells",
        [(0.8, "0.8000", GREEN, 16), (0.7999, "0.7999", YELLOW, 15), (0.5, "0.5000", YELLOW, 10),
         (0.4999, "0.4999", RED, 9), (0.0, "0.0000", RED, 0), (-0.2, "-0.2000", RED, 0), (1.5, "1.5000", GREEN, 30),
         (float("inf"), "inf", GREEN, 0), (float("-inf"), "-inf", RED, 0), (-NAN, "nan", RED, 0),
         (1, "1.0000", GREEN, 20), (True, "1.0000", GREEN, 20), (np.float32(0.8), "0.8000", GREEN, 16),
         (np.float64("nan"), "nan", RED, 0), (Decimal("0.55"), "0.5500", YELLOW, 11),
         (Decimal("Infinity"), "Infinity", GREEN, 0)],
    )
    def test_colour_bar_and_padding(self, capsys, iou, text, colour, cells):
        assert table(capsys, {3: iou}) == HEAD + plain_row(" 3", text, colour, cells) + "\n"
        assert table(capsys, {3: iou}, {3: 500}) == HEAD + count_row(" 3", text, colour, cells, "  500") + "\n"

    @pytest.mark.parametrize(
        "cls, field",
        [(5, " 5"), (13, "13"), (123, "123"), (-5, "-5"), (10**20, "100000000000000000000"), (True, " 1"),
         (np.int64(7), " 7")],
    )
    def test_class_id_field(self, capsys, cls, field):
        assert table(capsys, {cls: 0.0}) == HEAD + plain_row(field, "0.0000", RED, 0) + "\n"

    @pytest.mark.parametrize(
        "counts, field, warned",
        [({3: 19}, "   19", True), ({3: 20}, "   20", False), ({}, "    0", True), ({4: 500}, "    0", True),
         ({3: -3}, "   -3", True), ({3: 10**25}, "10000000000000000000000000", False),
         ({3: np.int64(5)}, "    5", True), ({3: True}, "    1", True)],
    )
    def test_pixel_counts_and_few_pixel_warning(self, capsys, counts, field, warned):
        expected = count_row(" 3", "0.5000", YELLOW, 10, field, WARNING if warned else "")
        assert table(capsys, {3: 0.5}, counts) == HEAD + expected + "\n"

    def test_matches_reference(self, capsys):
        rng = np.random.default_rng(11)
        ious = {int(c): v for c, v in zip(rng.integers(-200, 200, 300), rng.uniform(-0.5, 1.5, 300))}
        counts = {c: int(n) for c, n in zip(list(ious)[::2], rng.integers(0, 40, 300))}
        for args in ((ious,), (ious, counts), ({1: NAN, 2: np.float16(0.5), 3: Decimal("0.8")}, {2: 20})):
            d.print_per_class_iou(*args)
            native = capsys.readouterr().out
            ref.print_per_class_iou(*args)
            assert native == capsys.readouterr().out


def test_value_text_is_the_interpreters_fixed_point(capsys):
    # Random doubles, exact ties at the fourth decimal (odd multiples of 2**-k) and values that
    # round to zero from below: each must print as format(value, ".4f") does.
    rng = np.random.default_rng(5)
    values = [*rng.uniform(-2, 2, 3000), *((2 * rng.integers(0, 10**6, 2000) + 1) / 2.0 ** rng.integers(1, 12, 2000)),
              *rng.uniform(2, 1000, 100), *(-(10.0 ** rng.uniform(-320, -4, 100))), 0.99995, 0.00005, 5e-324]
    values = [float(v) for v in values if abs(v) < 1000]
    d.print_per_class_iou(dict(enumerate(values)))
    texts = [line.split(RESET)[0].split("m", 1)[1] for line in capsys.readouterr().out.split("\n")[2:-2]]
    assert texts == [format(v, ".4f") for v in values]


class TestErrors:
    FIRST = "  1  " + GREEN + "0.9000" + RESET + "  " + GREEN + "█" * 18 + RESET

    @pytest.mark.parametrize(
        "ious, counts, error, message",
        [
            ({1: 0.9, 2: None}, None, TypeError, "'>=' not supported between instances of 'NoneType' and 'float'"),
            ({1: 0.9, 2: "0.5"}, None, TypeError, "'>=' not supported between instances of 'str' and 'float'"),
            ({1: 0.9, 2: 1e300}, None, OverflowError, "cannot fit 'int' into an index-sized integer"),
            ({1: 0.9, "a": 0.5}, None, ValueError, "Unknown format code 'd' for object of type 'str'"),
            ({1: 0.9, 1.5: 0.5}, None, ValueError, "Unknown format code 'd' for object of type 'float'"),
            ({1: 0.9, 2: Decimal("NaN")}, None, InvalidOperation, None),
            ({1: 0.9, 2: 0.5}, {1: 30, 2: "x"}, TypeError, "'<' not supported between instances of 'str' and 'int'"),
            ({1: 0.9, 2: 0.5}, {1: 30, 2: 19.5}, ValueError, "Unknown format code 'd' for object of type 'float'"),
            ({1: 0.9, 2: 0.5}, {1: 30, CollidingKey(2): 5}, LookupError, "no equality"),
        ],
    )
    def test_errors_in_the_body_keep_earlier_rows(self, capsys, ious, counts, error, message):
        with pytest.raises(error, match=message):
            d.print_per_class_iou(ious, counts)
        first = self.FIRST + ("    " + GRAY + "(   30 px)" + RESET if counts else "")
        assert capsys.readouterr().out == HEAD + "  Class" + first + "\n"

    @pytest.mark.parametrize("target", ["ious", "counts"])
    def test_dict_changed_during_iteration(self, capsys, target):
        ious, counts = {}, {}

        class Mutating(float):
            def __ge__(self, other):
                # Drops the table's (or the counts') reference to this row's objects and grows the table.
                (ious if target == "ious" else counts).pop(1, None)
                ious.update({98: 0.1, 99: 0.1})
                return float(self) >= other

        ious[1] = Mutating(0.9)
        counts[1] = 30
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            d.print_per_class_iou(ious, counts)
        count = "   30" if target == "ious" else "    0"
        warning = WARNING if target == "counts" else ""
        expected = "  Class" + self.FIRST + "    " + GRAY + f"({count} px)" + RESET + warning + "\n"
        assert capsys.readouterr().out == HEAD + expected

    def test_missing_colour_raises_name_error_after_the_heading(self, capsys, monkeypatch):
        monkeypatch.delattr(d, "GRAY")
        with pytest.raises(NameError, match="'GRAY'"):
            d.print_per_class_iou({1: 0.9}, {1: 30})
        assert capsys.readouterr().out == HEAD

    @pytest.mark.parametrize(
        "args, message",
        [
            ((), r"takes at least 1 positional argument \(0 given\)"),
            (({}, None, None), r"takes at most 2 positional arguments \(3 given\)"),
            ((None,), r"Argument 'class_ious' has incorrect type \(expected dict, got NoneType\)"),
            (({}, [(1, 20)]), r"Argument 'pixel_counts' has incorrect type \(expected dict, got list\)"),
            (({}, type("D", (dict,), {})()), r"expected dict, got D\)\. Subclasses"),
        ],
    )
    def test_argument_errors_print_nothing(self, capsys, args, message):
        with pytest.raises(TypeError, match=message):
            d.print_per_class_iou(*args)
        assert capsys.readouterr().out == ""

    def test_signature(self):
        assert d.print_per_class_iou.__annotations__ == {"class_ious": "dict", "pixel_counts": "dict"}
        assert d.print_per_class_iou.__defaults__ == (None,)
        assert d.print_per_class_iou.__doc__ == (
            "\n    Print per-class IoU with colour coding.\n"
            "    If pixel_counts is provided (dict {class_id: int}), show pixel counts and\n"
            "    flag classes with fewer than 20 pixels.\n\n"
            "    IoU colour thresholds: green ≥ 0.8, yellow ≥ 0.5, red < 0.5\n    "
        )
