"""epoch_bar: the one-line training progress display."""

import inspect
import math
import random
import sys

import pytest

import korva.utils.display as display
from colours import RESET, BOLD, CYAN, GREEN, YELLOW, RED, GRAY

FULL = "█"
LIGHT = "░"


def bar_output(capsys, *args, **kwargs):
    assert display.epoch_bar(*args, **kwargs) is None
    return capsys.readouterr().out


class Recorder:
    """A stdout that records each write and flush."""

    def __init__(self):
        self.calls = []

    def write(self, text):
        self.calls.append(("write", text))
        return len(text)

    def flush(self):
        self.calls.append(("flush",))


class TestWorkedExamples:
    def test_between_boundaries(self, capsys):
        assert bar_output(capsys, 5, 100, 0.123456) == (
            "\r  " + BOLD + "Epoch   5/100" + RESET
            + " | " + YELLOW + FULL + LIGHT * 23 + RESET + " " + GRAY + "  5%" + RESET
            + " | Loss " + CYAN + "0.1235" + RESET
        )

    def test_at_boundary(self, capsys):
        assert bar_output(capsys, 20, 100, 0.05, oa=0.912, miou=0.68, kappa=0.885) == (
            "\r  " + BOLD + "Epoch  20/100" + RESET
            + " | " + YELLOW + FULL * 4 + LIGHT * 20 + RESET + " " + GRAY + " 20%" + RESET
            + " | Loss " + CYAN + "0.0500" + RESET
            + " | OA " + GREEN + "0.9120" + RESET
            + " | mIoU " + RED + "0.6800" + RESET
            + " | κ " + YELLOW + "0.8850" + RESET + "\n"
        )

    def test_in_place_line_is_flushed_without_newline(self, monkeypatch):
        out = Recorder()
        monkeypatch.setattr(sys, "stdout", out)
        display.epoch_bar(1, 100, 2.0, prefix="")
        text = "\r" + BOLD + "Epoch   1/100" + RESET + " | " + YELLOW + LIGHT * 24 + RESET + " " + GRAY + "  1%" + RESET + " | Loss " + CYAN + "2.0000" + RESET
        assert out.calls == [("write", text), ("write", ""), ("flush",)]

    def test_boundary_line_ends_with_newline_and_no_flush(self, monkeypatch):
        out = Recorder()
        monkeypatch.setattr(sys, "stdout", out)
        display.epoch_bar(40, 100, 1.0, oa=None, interval=20)
        assert [c[0] for c in out.calls] == ["write", "write"]
        assert out.calls[1] == ("write", "\n")
        assert out.calls[0][1].endswith("Loss " + CYAN + "1.0000" + RESET)


class TestBar:
    @pytest.mark.parametrize(
        "epoch, total, filled, empty, percent, colour",
        [
            (1, 100, 0, 24, "  1%", YELLOW),  # 24 x 0.01 = 0.24
            (5, 100, 1, 23, "  5%", YELLOW),  # 24 x 0.05 = 1.2000000000000002
            (29, 100, 6, 18, " 28%", YELLOW),  # 0.29 x 100 = 28.999999999999996
            (2, 3, 16, 8, " 66%", GREEN),
            (50, 100, 12, 12, " 50%", GREEN),
            (120, 100, 28, 0, "120%", GREEN),
            (-50, 100, -12, 36, "-50%", YELLOW),
        ],
    )
    def test_cells_percent_and_colour(self, capsys, epoch, total, filled, empty, percent, colour):
        out = bar_output(capsys, epoch, total, 0.0, interval=7)
        cells = FULL * max(filled, 0) + LIGHT * empty
        assert " | " + colour + cells + RESET + " " + GRAY + percent + RESET + " | " in out

    @pytest.mark.parametrize("width", [10, 0, 1, -3])
    def test_rebound_width(self, capsys, monkeypatch, width):
        monkeypatch.setattr(display, "BAR_WIDTH", width)
        out = bar_output(capsys, 1, 2, 0.0)
        filled = int(width * 0.5)
        assert " | " + GREEN + FULL * filled + LIGHT * (width - filled) + RESET + " " in out

    # 2**62 cells: MemoryError from a 64-bit interpreter, OverflowError from a 32-bit one.
    @pytest.mark.parametrize("width", [24.0, 10**400, "24", 2**62])
    def test_width_of_another_type_meets_the_interpreters_operators(self, capsys, monkeypatch, width):
        monkeypatch.setattr(display, "BAR_WIDTH", width)
        try:
            filled = int(width * 0.5)
            expected = "█" * filled + "░" * (width - filled)
        except Exception as exc:
            with pytest.raises(type(exc)) as info:
                display.epoch_bar(1, 2, 0.0)
            assert str(info.value) == str(exc)
            assert capsys.readouterr().out == ""
        else:
            assert expected in bar_output(capsys, 1, 2, 0.0)

    def test_missing_width(self, capsys, monkeypatch):
        monkeypatch.delattr(display, "BAR_WIDTH")
        with pytest.raises(NameError, match="name 'BAR_WIDTH' is not defined"):
            display.epoch_bar(1, 2, 0.0)
        assert capsys.readouterr().out == ""


class TestBoundaries:
    @pytest.mark.parametrize(
        "epoch, total, interval, boundary",
        [
            (0, 100, 20, True),
            (41, 100, 20, False),
            (100, 100, 7, True),  # the last epoch, though 7 does not divide it
            (99, 100, 7, False),
            (40, 100, -20, True),  # floor remainder: the same epochs as 20
            (30, 100, -20, False),
            (2**70 + 1, 2**71, 2**69, False),
        ],
    )
    def test_which_epochs_keep_their_line(self, capsys, epoch, total, interval, boundary):
        out = bar_output(capsys, epoch, total, 0.5, oa=0.95, interval=interval)
        assert out.endswith("\n") is boundary
        assert (" | OA " + GREEN + "0.9500" + RESET in out) is boundary

    def test_boundary_without_scores(self, capsys):
        out = bar_output(capsys, 40, 100, 0.25, val_loss=0.3, aa=0.9)
        assert out.endswith(" | Loss " + CYAN + "0.2500" + RESET + "\n")
        assert out.count(" | ") == 2

    def test_scores_between_boundaries_are_ignored(self, capsys):
        out = bar_output(capsys, 41, 100, 0.25, oa=0.9, miou=0.9, kappa=0.9)
        assert out.endswith("Loss " + CYAN + "0.2500" + RESET)

    def test_zero_total_raises_before_printing(self, capsys):
        with pytest.raises(ZeroDivisionError, match="^division by zero$"):
            display.epoch_bar(1, 0, 0.0)
        assert capsys.readouterr().out == ""

    def test_zero_interval_raises_the_modulo_error(self, capsys):
        with pytest.raises(ZeroDivisionError) as info:
            display.epoch_bar(100, 100, 0.0, interval=0)
        try:
            100 % 0
        except ZeroDivisionError as exc:
            assert str(info.value) == str(exc)
        assert capsys.readouterr().out == ""


class TestScoreColours:
    @pytest.mark.parametrize(
        "score, colour",
        [
            (0.9, GREEN),
            (0.8999999999999999, YELLOW),
            (0.7, YELLOW),
            (0.6999, RED),
            (math.inf, GREEN),
            (math.nan, RED),
        ],
    )
    @pytest.mark.parametrize("name, label", [("oa", "OA "), ("miou", "mIoU "), ("kappa", "κ ")])
    def test_thresholds(self, capsys, score, colour, name, label):
        out = bar_output(capsys, 20, 100, 0.0, **{name: score})
        assert out.endswith(" | " + label + colour + format(score, ".4f") + RESET + "\n")


AWKWARD = [0.0, -0.0, 0.03125, 0.00005, -0.00005, 2.675, 1e16, 1e300, -1e300, 5e-324, 1.7976931348623157e308,
           0.99995, -1e-9, math.inf, -math.inf, math.nan, -math.nan, 2, True]


class TestNumberFormatting:
    @pytest.mark.parametrize("value", AWKWARD)
    def test_fixed_point_like_format(self, capsys, value):
        out = bar_output(capsys, 20, 100, value, oa=value)
        assert "Loss " + CYAN + format(float(value), ".4f") + RESET in out
        assert " | OA " in out and format(float(value), ".4f") + RESET + "\n" in out

    def test_random_doubles(self, capsys):
        rng = random.Random(20240611)
        values = [rng.uniform(-1e4, 1e4) for _ in range(200)]
        values += [math.ldexp(rng.random(), rng.randint(-40, 80)) for _ in range(200)]
        values += [rng.randint(0, 10**8) / 10**8 for _ in range(100)]
        for value in values:
            out = bar_output(capsys, 3, 100, value)
            assert out.endswith("Loss " + CYAN + format(value, ".4f") + RESET), value

    @pytest.mark.parametrize(
        "epoch, total",
        [(7, 2**70), (2**70, 2**71 + 3), (-(2**64) - 5, 2**65), (2**53 + 1, 3 * 2**51 + 1), (3, -(2**63))],
    )
    def test_integers_beyond_64_bits_and_exact_floats(self, capsys, epoch, total):
        out = bar_output(capsys, epoch, total, 0.0, interval=1)
        pct = epoch / total
        assert out.startswith("\r  " + BOLD + "Epoch " + format(epoch, "3d") + "/" + format(total, "") + RESET)
        assert GRAY + format(int(pct * 100), "3d") + "%" + RESET in out
        filled = int(24 * pct)
        assert (GREEN if pct >= 0.5 else YELLOW) + "█" * filled + "░" * (24 - filled) + RESET in out

    def test_fraction_too_large_for_a_float(self, capsys):
        with pytest.raises(OverflowError):
            display.epoch_bar(10**400, 1, 0.0)
        assert capsys.readouterr().out == ""


class TestArguments:
    def test_signature(self):
        sig = inspect.signature(display.epoch_bar)
        assert str(sig) == (
            "(epoch: 'int', total: 'int', loss: 'float', val_loss: 'float' = None, oa: 'float' = None, "
            "miou: 'float' = None, aa: 'float' = None, kappa: 'float' = None, interval: 'int' = 20, "
            "prefix: 'str' = '  ') -> 'None'"
        )
        assert display.epoch_bar.__defaults__ == (None, None, None, None, None, 20, "  ")
        assert display.epoch_bar.__doc__ == (
            "\n    Single-line progress bar that fills 0→100% across FULL training.\n\n"
            "    Between validation boundaries: shows epoch/total + bar + loss.\n"
            "    At validation boundaries: same line but with metrics, printed as newline.\n"
            "    Uses \\r to overwrite between boundaries.\n    "
        )

    def test_conversions(self, capsys):
        out = bar_output(capsys, 4.9, 100.0, 1, interval=True)
        assert out.startswith("\r  " + BOLD + "Epoch   4/100" + RESET) and out.endswith("\n")
        assert "Loss " + CYAN + "1.0000" + RESET in out

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            (("5", 100, 0.0), {}, "Argument 'epoch' has incorrect type (expected int, got str)"),
            ((5, 100, "x"), {}, "must be real number, not str"),
            ((5, 100, 0.0), {"val_loss": "x"}, "Argument 'val_loss' has incorrect type (expected float, got str)"),
            ((5, 100, 0.0), {"aa": []}, "Argument 'aa' has incorrect type (expected float, got list)"),
            ((5, 100, 0.0), {"prefix": None}, "Argument 'prefix' has incorrect type (expected str, got NoneType)"),
            ((5, 100), {}, "epoch_bar() takes at least 3 positional arguments (2 given)"),
            ((5, 100, 0.0) + (None,) * 7 + ("",), {}, "epoch_bar() takes at most 10 positional arguments (11 given)"),
            ((5, 100, 0.0), {"accuracy": 0.5}, "epoch_bar() got an unexpected keyword argument 'accuracy'"),
            ((5, 100, 0.0), {"epoch": 5}, "epoch_bar() got multiple values for keyword argument 'epoch'"),
            # numbers are converted before the exact-type tests, whatever their order
            ((5, 100, 0.0), {"prefix": 1, "kappa": "x"}, "Argument 'kappa' has incorrect type (expected float, got str)"),
        ],
    )
    def test_errors_print_nothing(self, capsys, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            display.epoch_bar(*args, **kwargs)
        assert str(info.value) == message
        assert capsys.readouterr().out == ""

    def test_str_subclass_prefix(self, capsys):
        class Prefix(str):
            pass

        with pytest.raises(TypeError, match=r"^Argument 'prefix' has incorrect type \(expected str, got Prefix\)."):
            display.epoch_bar(1, 100, 0.0, prefix=Prefix("  "))
        assert capsys.readouterr().out == ""

    def test_no_references_leak_on_failure(self):
        prefix = "leak-check prefix"
        before = sys.getrefcount(prefix)
        for _ in range(100):
            with pytest.raises(ZeroDivisionError):
                display.epoch_bar(1, 0, 0.0, prefix=prefix)
        assert sys.getrefcount(prefix) == before


class TestModuleGlobals:
    def test_rebound_colours(self, capsys, monkeypatch):
        monkeypatch.setattr(display, "RESET", "<r>")
        monkeypatch.setattr(display, "BOLD", "<b>")
        monkeypatch.setattr(display, "YELLOW", "<y>")
        out = bar_output(capsys, 5, 100, 0.5)
        assert out == "\r  <b>Epoch   5/100<r> | <y>" + FULL + LIGHT * 23 + "<r> " + GRAY + "  5%<r> | Loss " + CYAN + "0.5000<r>"

    def test_replaced_colour_function(self, capsys, monkeypatch):
        calls = []

        def fake_c(text, *codes):
            calls.append((text, codes))
            return f"<{text}>"

        monkeypatch.setattr(display, "_c", fake_c)
        out = bar_output(capsys, 20, 100, 0.5, oa=0.8)
        assert calls == [(FULL * 4 + LIGHT * 20, (YELLOW,)), (" 20%", (GRAY,)), ("0.5000", (CYAN,)), ("0.8000", (YELLOW,))]
        assert out == "\r  " + BOLD + "Epoch  20/100" + RESET + " | <" + FULL * 4 + LIGHT * 20 + "> < 20%> | Loss <0.5000> | OA <0.8000>\n"

    def test_colour_function_result_is_formatted(self, capsys, monkeypatch):
        monkeypatch.setattr(display, "_c", lambda text, *codes: len(text))
        monkeypatch.setattr(display, "BOLD", 7)
        assert bar_output(capsys, 5, 100, 0.5, prefix="") == "\r7Epoch   5/100" + RESET + " | 24 4 | Loss 6"

    def test_failure_inside_colour_function_propagates(self, capsys, monkeypatch):
        def broken(text, *codes):
            raise LookupError("broken colours")

        monkeypatch.setattr(display, "_c", broken)
        with pytest.raises(LookupError, match="broken colours"):
            display.epoch_bar(5, 100, 0.5)
        assert capsys.readouterr().out == ""

    def test_failing_stdout(self, monkeypatch):
        class Broken:
            def write(self, text):
                raise OSError("disk full")

        monkeypatch.setattr(sys, "stdout", Broken())
        with pytest.raises(OSError, match="disk full"):
            display.epoch_bar(1, 100, 0.0)
