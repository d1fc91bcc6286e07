"""The results box and the configuration box: texts, colour rules, bars, number semantics, errors."""

import sys
from collections import OrderedDict
from decimal import Decimal, InvalidOperation
from pathlib import Path

import pytest

from korva.utils import display as d
from colours import RESET, BOLD, CYAN, GREEN, YELLOW, RED, WHITE
from conftest import CollidingKey

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import reference_boxes as ref  # noqa: E402

np = pytest.importorskip("numpy")


RULE = BOLD + GREEN + "─" * 42 + RESET
HEAD = "\n" + RULE + "\n" + BOLD + GREEN + "  Test Results" + RESET + "\n" + RULE + "\n"
TAIL = RULE + "\n\n"
NAN = float("nan")
INF = float("inf")


def row(key_field, value_text, colour, filled, empty):
    return f"  {key_field} {colour}{BOLD}{value_text}{RESET}  {colour}{'█' * filled}{'░' * empty}{RESET}\n"


def results(capsys, metrics, routing=None):
    d.print_results_box(metrics, routing)
    return capsys.readouterr().out


class TestResultsBox:
    def test_worked_example(self, capsys):
        metrics = {"OA": 0.9234, "mIoU": 0.6512, "kappa": 0.8123, "AA": 0.7}
        assert results(capsys, metrics, "all") == (
            "\n" + BOLD + GREEN + "──────────────────────────────────────────" + RESET + "\n"
            + BOLD + GREEN + "  Test Results [all]" + RESET + "\n"
            + BOLD + GREEN + "──────────────────────────────────────────" + RESET + "\n"
            + "  OA           " + GREEN + BOLD + "0.9234" + RESET + "  " + GREEN + "██████████████████░░" + RESET + "\n"
            + "  mIoU         " + GREEN + BOLD + "0.6512" + RESET + "  " + GREEN + "█████████████░░░░░░░" + RESET + "\n"
            + "  kappa        " + YELLOW + BOLD + "0.8123" + RESET + "  " + YELLOW + "████████████████░░░░" + RESET + "\n"
            + "  AA           " + GREEN + BOLD + "0.7000" + RESET + "  " + GREEN + "██████████████░░░░░░" + RESET + "\n"
            + BOLD + GREEN + "──────────────────────────────────────────" + RESET + "\n\n"
        )

    @pytest.mark.parametrize("routing", [None, ""])
    def test_empty_metrics_and_plain_title(self, capsys, routing):
        assert results(capsys, {}, routing) == HEAD + TAIL

    def test_rows_follow_insertion_order_and_key_width(self, capsys):
        out = results(capsys, {"kappa": 1.0, "twelve_chars": 0.0, "thirteen_char": 0.0, 7: 0.0})
        assert out == HEAD + (
            row("kappa       ", "1.0000", GREEN, 20, 0)
            + row("twelve_chars", "0.0000", WHITE, 0, 20)
            + row("thirteen_char", "0.0000", WHITE, 0, 20)
            + row("7           ", "0.0000", WHITE, 0, 20)
        ) + TAIL

    @pytest.mark.parametrize(
        "key, value, colour",
        [
            ("OA", 0.90, GREEN), ("OA", 0.8999, YELLOW), ("OA", 0.75, YELLOW), ("OA", 0.7499, RED),
            ("mIoU", 0.65, GREEN), ("mIoU", 0.45, YELLOW), ("mIoU", 0.4499, RED),
            ("AA", 0.65, GREEN), ("AA", 0.6499, YELLOW), ("AA", 0.4499, RED),
            ("kappa", 0.85, GREEN), ("kappa", 0.8499, YELLOW), ("kappa", 0.65, YELLOW), ("kappa", 0.6499, RED),
            ("Dice", 0.70, GREEN), ("Precision", 0.6999, YELLOW), ("Recall", 0.0, YELLOW), ("Recall", -1.0, YELLOW),
            ("loss", 0.99, WHITE), ("oa", 0.1, WHITE), ("OA ", 0.95, WHITE),
        ],
    )
    def test_colour_rules_are_inclusive(self, capsys, key, value, colour):
        line = results(capsys, {key: value}).splitlines()[4]
        assert line.startswith(f"  {key:<12} {colour}{BOLD}{value:.4f}{RESET}  {colour}")

    @pytest.mark.parametrize(
        "value, text, filled, empty",
        [(0.9234, "0.9234", 18, 2), (0.999, "0.9990", 19, 1), (1.0, "1.0000", 20, 0), (0.0, "0.0000", 0, 20),
         (1.5, "1.5000", 30, 0), (-0.3, "-0.3000", 0, 26), (-0.0, "-0.0000", 0, 20), (1, "1.0000", 20, 0),
         (0.05, "0.0500", 1, 19), (2.5e-5, "0.0000", 0, 20)],
    )
    def test_bar_cells_truncate_and_are_not_clamped(self, capsys, value, text, filled, empty):
        assert results(capsys, {"loss": value}) == HEAD + row("loss        ", text, WHITE, filled, empty) + TAIL

    @pytest.mark.parametrize(
        "key, value, text, colour",
        [("OA", NAN, "nan", RED), ("kappa", -NAN, "nan", RED), ("Dice", NAN, "nan", YELLOW),
         ("loss", NAN, "nan", WHITE), ("OA", INF, "inf", GREEN), ("mIoU", -INF, "-inf", RED),
         ("kappa", np.float64("nan"), "nan", RED), ("Recall", np.float32("-inf"), "-inf", YELLOW),
         ("loss", Decimal("NaN"), "NaN", WHITE), ("OA", Decimal("Infinity"), "Infinity", GREEN)],
    )
    def test_non_finite_value_draws_an_empty_bar(self, capsys, key, value, text, colour):
        # A class missing from the test set must not crash the report after a long run.
        assert results(capsys, {key: value}) == HEAD + row(f"{key:<12}", text, colour, 0, 20) + TAIL

    @pytest.mark.parametrize(
        "key, value, text",
        [
            # numpy 2 compares np.float32(0.9) >= 0.9 and multiplies it by 20 in float32 (GREEN, 18
            # cells), numpy 1 in float64 (YELLOW, 17 cells); a double conversion would give the latter.
            ("OA", np.float32(0.9), "0.9000"),
            ("OA", Decimal("0.9"), "0.9000"),  # Decimal 0.9 < the double 0.9: YELLOW
            ("OA", True, "1.0000"),
            ("AA", np.int64(1), "1.0000"),
            ("mIoU", 0, "0.0000"),
            ("loss", Decimal("0.92345"), "0.9234"),
        ],
    )
    def test_values_follow_the_interpreters_arithmetic(self, capsys, key, value, text):
        # The colour and the cells are whatever the running interpreter and numpy answer.
        green, yellow = {"OA": (0.90, 0.75), "AA": (0.65, 0.45), "mIoU": (0.65, 0.45)}.get(key, (None, None))
        if green is None:
            colour = WHITE
        else:
            colour = GREEN if value >= green else YELLOW if value >= yellow else RED
        filled = int(value * 20)
        assert results(capsys, {key: value}) == HEAD + row(f"{key:<12}", text, colour, filled, 20 - filled) + TAIL

    def test_matches_reference_over_many_values(self, capsys):
        rng = np.random.default_rng(7)
        values = [*rng.uniform(-1.5, 1.5, 200), *(10.0 ** rng.uniform(-9, 3, 100)), 0.03125, 0.15625, 1e-300,
                  -5e-5, 2**10, -(2**10), np.float16(0.45), np.float32(0.65), np.int8(-1), Decimal("0.75")]
        for key in ("OA", "mIoU", "kappa", "Dice", "loss"):
            for v in values:
                d.print_results_box({key: v})
                native = capsys.readouterr().out
                ref.print_results_box({key: v})
                assert native == capsys.readouterr().out, (key, v)

    def test_decimal_nan_under_a_rule_raises_from_the_comparison(self, capsys):
        with pytest.raises(InvalidOperation):
            d.print_results_box({"OA": Decimal("NaN")})
        assert capsys.readouterr().out == HEAD

    @pytest.mark.parametrize(
        "metrics, error, message",
        [
            ({"OA": 0.5, "mIoU": None}, TypeError, "'>=' not supported between instances of 'NoneType' and 'float'"),
            ({"OA": 0.5, "loss": None}, TypeError, r"unsupported operand type\(s\) for \*: 'NoneType' and 'int'"),
            ({"OA": 0.5, "loss": "0.5"}, ValueError, "invalid literal for int"),
            ({"OA": 0.5, "OA2": 1e300}, OverflowError, "cannot fit 'int' into an index-sized integer"),
            ({"OA": 0.5, "OA2": 10**30}, OverflowError, "cannot fit 'int' into an index-sized integer"),
            ({"OA": 0.5, "OA2": 1e308}, OverflowError, "cannot convert float infinity to integer"),
            # 20 cells less a count just above the least index is past the greatest.
            ({"OA": 0.5, "mIoU": -461168601842738790}, OverflowError, "cannot fit 'int' into an index-sized integer"),
            ({"OA": 0.5, "loss": 2e17}, MemoryError if sys.maxsize > 2**32 else OverflowError, None),
            ({"OA": 0.5, "kappa": np.array([0.5, 0.9])}, ValueError, "The truth value of an array with more than one"),
            ({"OA": 0.5, CollidingKey("kappa"): 0.9}, LookupError, "no equality"),
        ],
    )
    def test_errors_in_the_body_keep_the_printed_lines(self, capsys, metrics, error, message):
        with pytest.raises(error, match=message):
            d.print_results_box(metrics)
        assert capsys.readouterr().out == HEAD + row("OA          ", "0.5000", RED, 10, 10)

    def test_value_whose_comparison_or_format_raises(self, capsys):
        class NoCompare:
            def __ge__(self, other):
                raise ArithmeticError("no order")

        class NoFormat(float):
            def __format__(self, how):
                raise LookupError("no text")

        with pytest.raises(ArithmeticError, match="no order"):
            d.print_results_box({"OA": 0.5, "kappa": NoCompare()})
        assert capsys.readouterr().out == HEAD + row("OA          ", "0.5000", RED, 10, 10)
        with pytest.raises(LookupError, match="no text"):
            d.print_results_box({"AA": NoFormat(0.5)})
        assert capsys.readouterr().out == HEAD

        # int(v * 20) fails, and asking whether v is NaN interrupts: the interrupt wins.
        class Interrupting:
            def __mul__(self, other):
                raise ValueError("no product")

            def __float__(self):
                raise KeyboardInterrupt("stop")

        for box in (d.print_results_box, ref.print_results_box):
            with pytest.raises(KeyboardInterrupt, match="stop"):
                box({"loss": Interrupting()})
            assert capsys.readouterr().out == HEAD

    @pytest.mark.parametrize(
        "mutate, message",
        [
            (lambda m: m.__setitem__("new", 0.1), "dictionary changed size during iteration"),
            (lambda m: m.clear(), "dictionary changed size during iteration"),
            (lambda m: (m.pop("OA"), m.__setitem__("x", 0.1)), "dictionary keys changed during iteration"),
        ],
    )
    def test_dict_changed_during_iteration(self, capsys, mutate, message):
        metrics = {}

        class Mutating(float):
            def __ge__(self, other):
                mutate(metrics)
                return float(self) >= other

        metrics["OA"] = Mutating(0.95)  # the dict holds the only other reference
        with pytest.raises(RuntimeError, match=message):
            d.print_results_box(metrics)
        assert capsys.readouterr().out == HEAD + row("OA          ", "0.9500", GREEN, 19, 1)

    def test_globals_are_read_at_every_row(self, capsys, monkeypatch):
        monkeypatch.setattr(d, "GREEN", GREEN)

        class Rebinding(float):
            def __format__(self, how):
                d.GREEN = "<g>"
                return float.__format__(self, how)

        d.print_results_box({"OA": Rebinding(0.95), "mIoU": 0.9})
        lines = capsys.readouterr().out.split("\n")
        assert lines[4] == f"  OA           {GREEN}{BOLD}0.9500{RESET}  {GREEN}{'█' * 19}░{RESET}"
        assert lines[5] == f"  mIoU         <g>{BOLD}0.9000{RESET}  <g>{'█' * 18}░░{RESET}"
        assert lines[6] == BOLD + "<g>" + "─" * 42 + RESET

    def test_replaced_c_and_missing_c(self, capsys, monkeypatch):
        monkeypatch.setattr(d, "_c", lambda text, *codes: f"[{text}|{len(codes)}]")
        d.print_results_box({"OA": 0.5})
        assert capsys.readouterr().out.split("\n")[4] == "  OA           [0.5000|2]  [" + "█" * 10 + "░" * 10 + "|1]"
        monkeypatch.delattr(d, "_c")
        with pytest.raises(NameError, match="'_c'"):
            d.print_results_box({"OA": 0.5})
        assert capsys.readouterr().out == HEAD

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, r"print_results_box\(\) takes at least 1 positional argument \(0 given\)"),
            (({}, None, 1), {}, r"print_results_box\(\) takes at most 2 positional arguments \(3 given\)"),
            ((None,), {}, r"Argument 'metrics' has incorrect type \(expected dict, got NoneType\)$"),
            ((OrderedDict(),), {}, r"expected dict, got collections.OrderedDict\)\. Subclasses of built-in types are not"),
            (({}, 5), {}, r"Argument 'routing' has incorrect type \(expected str, got int\)"),
            (({},), {"route": "all"}, "got an unexpected keyword argument 'route'"),
            (({},), {"metrics": {}}, "got multiple values for keyword argument 'metrics'"),
        ],
    )
    def test_argument_errors_print_nothing(self, capsys, args, kwargs, message):
        with pytest.raises(TypeError, match=message):
            d.print_results_box(*args, **kwargs)
        assert capsys.readouterr().out == ""

    def test_failing_call_leaks_no_references(self, capsys):
        value, key = 12345.678, "loss-key"
        metrics = {"OA": 0.5, key: value, "bad": None}
        before = [sys.getrefcount(o) for o in (metrics, value, key)]
        for _ in range(20):
            with pytest.raises(TypeError):
                d.print_results_box(metrics)
            with pytest.raises(TypeError):
                d.print_results_box(metrics, 1)
        assert [sys.getrefcount(o) for o in (metrics, value, key)] == before


DOUBLE = BOLD + "═" * 60 + RESET
CONFIG_HEAD = "\n" + DOUBLE + "\n  " + BOLD + CYAN + "Run" + RESET + "\n"


def config(capsys, items, title="Run"):
    d.print_config_box(title, items)
    return capsys.readouterr().out


class TestConfigBox:
    def test_worked_example(self, capsys):
        items = [("Dataset", "IndianPines"), ("epochs", 100), ("lr", 0.001), ("weights", None)]
        assert config(capsys, items, "Training") == (
            "\n" + BOLD + "════════════════════════════════════════════════════════════" + RESET + "\n"
            + "  " + BOLD + CYAN + "Training" + RESET + "\n"
            + "  Dataset       : IndianPines\n"
            + "  epochs        : 100\n"
            + "  lr            : 0.001\n"
            + "  weights       : None\n"
            + BOLD + "════════════════════════════════════════════════════════════" + RESET + "\n"
        )

    def test_empty_items(self, capsys):
        assert config(capsys, []) == CONFIG_HEAD + DOUBLE + "\n"

    @pytest.mark.parametrize(
        "item, line",
        [
            (("fourteen_chars", "x"), "  fourteen_chars: x"),
            (("fifteen_chars__", "x"), "  fifteen_chars__: x"),
            ((7, 1e16), "  7             : 1e+16"),
            ((2.5, -0.0), "  2.5           : -0.0"),
            (("big", 10**25), "  big           : 10000000000000000000000000"),
            (("flag", True), "  flag          : True"),
            (("dec", Decimal("2.50")), "  dec           : 2.50"),
            (("nan", NAN), "  nan           : nan"),
            (("np", np.float32(0.1)), "  np            : 0.10000000149011612"),  # format(), not str()
            ("ab", "  a             : b"),
            ([1, [2]], "  1             : [2]"),
            ({"k": 1, "v": 2}, "  k             : v"),
            (iter(("it", "er")), "  it            : er"),
        ],
    )
    def test_item_lines(self, capsys, item, line):
        assert config(capsys, [item]) == CONFIG_HEAD + line + "\n" + DOUBLE + "\n"

    @pytest.mark.parametrize(
        "bad, error, message",
        [
            ((1,), ValueError, "need more than 1 value to unpack"),
            ((), ValueError, "need more than 0 values to unpack"),
            ([1, 2, 3], ValueError, r"too many values to unpack \(expected 2\)"),
            (iter([1]), ValueError, "need more than 1 value to unpack"),
            ((x for x in "abc"), ValueError, r"too many values to unpack \(expected 2\)"),
            (5, TypeError, "'int' object is not iterable"),
            (None, TypeError, "'NoneType' object is not iterable"),
            ((None, "v"), TypeError, "unsupported format string passed to NoneType.__format__"),
            (map(lambda x: 1 / x, [1, 0]), ZeroDivisionError, "division by zero"),
            (map(lambda x: 1 / x, [1, 2, 0]), ZeroDivisionError, "division by zero"),
        ],
    )
    def test_unpack_and_format_errors_keep_earlier_lines(self, capsys, bad, error, message):
        with pytest.raises(error, match=message):
            d.print_config_box("Run", [("ok", 1), bad])
        assert capsys.readouterr().out == CONFIG_HEAD + "  ok            : 1\n"

    def test_list_changed_while_printing(self, capsys):
        items = []

        class Growing:
            def __format__(self, how):
                items.append(("added", "yes"))
                return "grew"

        items.append(("first", Growing()))
        items.append(("second", 2))
        assert config(capsys, items) == CONFIG_HEAD + (
            "  first         : grew\n  second        : 2\n  added         : yes\n"
        ) + DOUBLE + "\n"

    @pytest.mark.parametrize(
        "args, message",
        [
            (("Run", (("a", "b"),)), r"Argument 'items' has incorrect type \(expected list, got tuple\)$"),
            (("Run", type("L", (list,), {})()), r"expected list, got L\)\. Subclasses"),
            ((None, []), r"Argument 'title' has incorrect type \(expected str, got NoneType\)"),
            (("Run",), r"takes exactly 2 positional arguments \(1 given\)"),
        ],
    )
    def test_argument_errors_print_nothing(self, capsys, args, message):
        with pytest.raises(TypeError, match=message):
            d.print_config_box(*args)
        assert capsys.readouterr().out == ""


def test_functions_are_created_in_order_with_their_signatures():
    names = list(vars(d))
    order = ["print_training_done", "print_config_box", "print_results_box", "print_per_class_iou",
             "print_save_and_next"]
    assert [names.index(n) for n in order] == sorted(names.index(n) for n in order)
    assert d.print_config_box.__annotations__ == {"title": "str", "items": "list[tuple[str, str]]"}
    assert d.print_config_box.__defaults__ is None
    assert d.print_config_box.__doc__ == "\n    Print a styled ═══ config box.\n    items: list of (label, value) tuples.\n    "
    assert d.print_results_box.__annotations__ == {"metrics": "dict", "routing": "str"}
    assert d.print_results_box.__defaults__ == (None,)
    assert d.print_results_box.__doc__ == (
        "\n    Print a styled results box.\n"
        "    metrics: dict with keys like 'OA', 'mIoU', 'Dice', 'Precision', 'Recall', 'AA', 'kappa'\n    "
    )
