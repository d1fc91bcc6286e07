"""forest_banner, node_banner and forest_done_line: texts returned, nothing printed."""

import inspect
import math
import random
import subprocess
import sys

import pytest

import korva.utils.display as display
from colours import RESET, BOLD, CYAN, GREEN, YELLOW, MAGENTA, RED, GRAY

RULE = BOLD + MAGENTA + "═" * 60 + RESET


@pytest.fixture
def no_gpu(monkeypatch):
    monkeypatch.setattr(display, "gpu_stats", lambda: "")


def done_line(*args):
    return display.forest_done_line(*args)


class TestForestBanner:
    def test_worked_example(self, capsys):
        assert display.forest_banner(0, 3, 42, "root") == "\n  " + BOLD + CYAN + "── Ensemble 1/3" + RESET + "  seed=42  node='root'"
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize(
        "idx, count, seed, shown",
        [
            (4, 3, 0, "5/3" + RESET + "  seed=0"),  # index and count are not compared
            (-1, 0, -42, "0/0" + RESET + "  seed=-42"),
            (2**63 - 1, 2**70, -(2**80), f"{2**63}/{2**70}" + RESET + f"  seed={-(2**80)}"),
            (1.9, 3.99, True, "2/3" + RESET + "  seed=1"),
        ],
    )
    def test_numbers(self, idx, count, seed, shown):
        assert display.forest_banner(idx, count, seed, "n") == "\n  " + BOLD + CYAN + "── Ensemble " + shown + "  node='n'"

    @pytest.mark.parametrize("node_id", ["", "ü", "\ud800", "🌲"])
    def test_node_id_unchanged(self, node_id):
        assert display.forest_banner(0, 1, 1, node_id).endswith("  node='" + node_id + "'")

    def test_rebound_colours(self, monkeypatch):
        monkeypatch.setattr(display, "CYAN", "<c>")
        monkeypatch.setattr(display, "RESET", "<r>")
        assert display.forest_banner(0, 3, 42, "x") == "\n  " + BOLD + "<c>── Ensemble 1/3<r>  seed=42  node='x'"


def node_text(classes="[1, 2]", local=1, epochs=100, ensembles=3, loss="bce", train=1000, val=200, node="root"):
    return "\n".join(
        [
            "",
            RULE,
            "  " + BOLD + "Node" + RESET + " " + CYAN + "'" + node + "'" + RESET,
            "  Classes       : " + classes,
            f"  Local classes : {local}   Epochs: {epochs}   Ensembles: {ensembles}   Loss: {loss}",
            f"  Train pixels  : {train}   Val pixels: {val}",
            RULE,
        ]
    )


class TestNodeBanner:
    def test_worked_example(self):
        text = display.node_banner("root", [3, 7], 2, 60, 5, "focal", 2, 123456, 7890)
        assert text == (
            "\n" + BOLD + MAGENTA + "═" * 60 + RESET
            + "\n  " + BOLD + "Node" + RESET + " " + CYAN + "'root'" + RESET
            + "\n  Classes       : [3, 7]"
            + "\n  Local classes : 1   Epochs: 60   Ensembles: 5   Loss: focal γ=2.0"
            + "\n  Train pixels  : 123456   Val pixels: 7890"
            + "\n" + BOLD + MAGENTA + "═" * 60 + RESET
        )

    @pytest.mark.parametrize(
        "loss, shown",
        [
            ("focal", "focal γ=2.0"),
            ("binary_focal_ce", "binary_focal_ce γ=2.0"),
            ("Focal", "Focal"),
            ("bce", "bce"),
        ],
    )
    def test_focal_suffix(self, loss, shown):
        assert display.node_banner("root", [1, 2], 2, 100, 3, loss, 2.0, 1000, 200) == node_text(loss=shown)

    @pytest.mark.parametrize("gamma", [2, 0.5, 0.1 + 0.2, 1e16, 1e-5, -0.0, math.inf, math.nan, 5e-324])
    def test_gamma_as_its_shortest_text(self, gamma):
        text = display.node_banner("root", [1, 2], 2, 100, 3, "focal", gamma, 1000, 200)
        assert text == node_text(loss="focal γ=" + repr(float(gamma)))

    def test_gamma_always_required_and_converted(self):
        with pytest.raises(TypeError, match="must be real number, not NoneType"):
            display.node_banner("root", [1], 2, 100, 3, "bce", None, 1, 1)

    class Shown:
        def __repr__(self):
            return "<shown>"

    @pytest.mark.parametrize(
        "classes",
        [
            [],
            [0, 1, 2, 3, 4, 5, 6, 7, 8],
            [-5, 2**63, -(2**70)],
            ["a", "it's", 'say "x"', "back\\slash", "tab\t", "ü", "\x7f", "\ud800"],
            ["ü", 1],
            [1.5, 2.0, 1e16, math.nan, -0.0, 0.1 + 0.2],
            [True, None, (1, 2), [3, [4]], {"k": 1}],
            [Shown(), 3],
        ],
    )
    def test_classes_as_the_lists_own_text(self, classes):
        text = display.node_banner("root", classes, 2, 100, 3, "bce", 2.0, 1000, 200)
        assert text == node_text(classes=repr(classes))

    def test_list_containing_itself(self):
        classes = [1]
        classes.append(classes)
        assert "  Classes       : [1, [...]]\n" in display.node_banner("n", classes, 2, 1, 1, "bce", 0.0, 1, 1)

    def test_repr_that_fails_propagates(self):
        class Broken:
            def __repr__(self):
                raise ValueError("no repr")

        with pytest.raises(ValueError, match="no repr"):
            display.node_banner("n", [Broken()], 2, 1, 1, "bce", 0.0, 1, 1)

    @pytest.mark.parametrize("num_classes, local", [(1, 0), (0, -1), (-(2**63), -(2**63) - 1), (7.9, 6)])
    def test_local_classes(self, num_classes, local):
        text = display.node_banner("root", [1, 2], num_classes, 100, 3, "bce", 2.0, 1000, 200)
        assert text == node_text(local=local)

    def test_rebound_colours_and_the_rule_shown_twice(self, monkeypatch):
        monkeypatch.setattr(display, "MAGENTA", "<m>")
        text = display.node_banner("root", [1], 2, 1, 1, "bce", 0.0, 1, 1)
        rule = BOLD + "<m>" + "═" * 60 + RESET
        assert text.startswith("\n" + rule + "\n") and text.endswith("\n" + rule)

    @pytest.mark.parametrize(
        "args, message",
        [
            (("root", (1, 2), 2, 1, 1, "bce", 0.0, 1, 1), "Argument 'node_classes' has incorrect type (expected list, got tuple)"),
            ((None, [1], 2, 1, 1, "bce", 0.0, 1, 1), "Argument 'node_id' has incorrect type (expected str, got NoneType)"),
            (("root", [1], 2, 1, 1, b"bce", 0.0, 1, 1), "Argument 'loss_type' has incorrect type (expected str, got bytes)"),
            # numbers first: the bad count is reported before the bad id given earlier
            ((5, [1], 2, 1, 1, "bce", 0.0, 1, "x"), "Argument 'val_pixels' has incorrect type (expected int, got str)"),
            (("root", [1], 2, 1, 1, "bce", 0.0, 1), "node_banner() takes exactly 9 positional arguments (8 given)"),
        ],
    )
    def test_argument_errors(self, args, message):
        with pytest.raises(TypeError) as info:
            display.node_banner(*args)
        assert str(info.value) == message

    def test_list_subclass(self):
        class Classes(list):
            pass

        with pytest.raises(TypeError, match=r"^Argument 'node_classes' has incorrect type \(expected list, got Classes\)\."):
            display.node_banner("root", Classes([1]), 2, 1, 1, "bce", 0.0, 1, 1)


class TestForestDoneLine:
    def test_worked_example(self, no_gpu, capsys):
        assert done_line(0, 3, 0.7123, 87, 0.9345, 0.8012, 0.64, "1m 02s") == (
            "  " + GREEN + "✓" + RESET + " Ensemble 1/3 done  Best @ epoch " + BOLD + "87" + RESET
            + "  mIoU " + GREEN + "0.7123" + RESET
            + "  OA " + GREEN + "0.9345" + RESET
            + "  AA " + YELLOW + "0.8012" + RESET
            + "  κ " + RED + "0.6400" + RESET
            + "\n    " + GRAY + "1m 02s elapsed" + RESET
        )
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize(
        "position, label, green_from, yellow_from",
        [(2, "mIoU", 0.65, 0.45), (4, "OA", 0.9, 0.7), (5, "AA", 0.9, 0.7), (6, "κ", 0.85, 0.65)],
    )
    def test_thresholds(self, no_gpu, position, label, green_from, yellow_from):
        below = math.nextafter(green_from, 0)
        cases = [(green_from, GREEN), (below, YELLOW), (yellow_from, YELLOW), (math.nextafter(yellow_from, 0), RED),
                 (math.nan, RED), (math.inf, GREEN), (-math.inf, RED)]
        for score, colour in cases:
            args = [0, 1, 0.0, 1, 0.0, 0.0, 0.0, "t"]
            args[position] = score
            text = done_line(*args)
            assert "  " + label + " " + colour + format(score, ".4f") + RESET in text, (label, score)

    def test_scores_formatted_like_format(self, no_gpu):
        rng = random.Random(7)
        values = [0.0, -0.0, 0.03125, 0.99995, 1e300, -math.nan, 2.675] + [rng.uniform(-2, 2) for _ in range(150)]
        for value in values:
            text = done_line(0, 1, value, 1, value, value, value, "t")
            assert text.count(format(value, ".4f") + RESET) == 4, value

    @pytest.mark.parametrize(
        "result, second_line",
        [
            ("GPU 45°C | 1024 / 8192 MB | 30% util", GRAY + "5s elapsed | GPU 45°C | 1024 / 8192 MB | 30% util" + RESET),
            ("", GRAY + "5s elapsed" + RESET),
            (None, GRAY + "5s elapsed" + RESET),
            (42, GRAY + "5s elapsed | 42" + RESET),
        ],
    )
    def test_gpu_text(self, monkeypatch, result, second_line):
        monkeypatch.setattr(display, "gpu_stats", lambda: result)
        assert done_line(0, 1, 0.5, 1, 0.5, 0.5, 0.5, "5s").endswith("\n    " + second_line)

    def test_gpu_called_once_after_colours_and_before_text(self, monkeypatch):
        calls = []

        def fake_gpu(*args, **kwargs):
            calls.append((args, kwargs))
            # whatever it rebinds shows in the text built after it
            monkeypatch.setattr(display, "GRAY", "<g>")
            monkeypatch.setattr(display, "GREEN", "<G>")
            return "T"

        monkeypatch.setattr(display, "gpu_stats", fake_gpu)
        text = done_line(1, 2, 0.9, 3, 0.95, 0.95, 0.95, "E")
        assert calls == [((), {})]
        # the scores' colour was chosen before: GREEN as it stood then
        assert text == (
            "  <G>✓" + RESET + " Ensemble 2/2 done  Best @ epoch " + BOLD + "3" + RESET
            + "  mIoU " + GREEN + "0.9000" + RESET + "  OA " + GREEN + "0.9500" + RESET
            + "  AA " + GREEN + "0.9500" + RESET + "  κ " + GREEN + "0.9500" + RESET
            + "\n    <g>E elapsed | T" + RESET
        )

    def test_missing_colour_of_a_score_raises_before_the_gpu_query(self, monkeypatch):
        calls = []
        monkeypatch.setattr(display, "gpu_stats", lambda: calls.append(1) or "")
        monkeypatch.delattr(display, "RED")
        with pytest.raises(NameError, match="name 'RED' is not defined"):
            done_line(0, 1, 0.1, 1, 0.1, 0.1, 0.1, "t")
        assert calls == []

    def test_gpu_failure_propagates(self, monkeypatch):
        def broken():
            raise KeyError("gpu")

        monkeypatch.setattr(display, "gpu_stats", broken)
        with pytest.raises(KeyError):
            done_line(0, 1, 0.1, 1, 0.1, 0.1, 0.1, "t")

    def test_argument_errors_come_before_the_gpu_query(self, monkeypatch):
        calls = []
        monkeypatch.setattr(display, "gpu_stats", lambda: calls.append(1) or "")
        with pytest.raises(TypeError, match=r"^Argument 'elapsed' has incorrect type \(expected str, got int\)$"):
            done_line(0, 1, 0.1, 1, 0.1, 0.1, 0.1, 5)
        with pytest.raises(TypeError, match="must be real number, not str"):
            done_line(0, 1, 0.1, 1, "0.1", 0.1, 0.1, "t")
        with pytest.raises(TypeError, match=r"^forest_done_line\(\) takes exactly 8 positional arguments \(7 given\)$"):
            done_line(0, 1, 0.1, 1, 0.1, 0.1, 0.1)
        assert calls == []

    def test_converted_numbers(self, no_gpu):
        text = done_line(0.9, 3.5, 1, 12.7, True, 0, 2**70, "t")
        assert " Ensemble 1/3 done  Best @ epoch " + BOLD + "12" + RESET in text
        assert "  mIoU " + GREEN + "1.0000" + RESET + "  OA " + GREEN + "1.0000" + RESET in text
        assert "  κ " + GREEN + format(float(2**70), ".4f") + RESET in text

    def test_replaced_colour_function(self, no_gpu, monkeypatch):
        monkeypatch.setattr(display, "_c", lambda text, *codes: "[" + text + "]")
        text = done_line(0, 1, 0.1, 1, 0.2, 0.3, 0.4, "t")
        assert "  mIoU [0.1000]  OA [0.2000]  AA [0.3000]  κ [0.4000]\n" in text


class TestSignatures:
    @pytest.mark.parametrize(
        "function, text",
        [
            (display.forest_banner, "(forest_idx: 'int', num_forests: 'int', seed: 'int', node_id: 'str') -> 'str'"),
            (
                display.node_banner,
                "(node_id: 'str', node_classes: 'list', num_classes: 'int', epochs: 'int', num_forests: 'int', "
                "loss_type: 'str', focal_gamma: 'float', train_pixels: 'int', val_pixels: 'int') -> 'str'",
            ),
            (
                display.forest_done_line,
                "(forest_idx: 'int', num_forests: 'int', best_miou: 'float', best_epoch: 'int', best_oa: 'float', "
                "best_aa: 'float', best_kappa: 'float', elapsed: 'str') -> 'str'",
            ),
        ],
    )
    def test_signature(self, function, text):
        assert str(inspect.signature(function)) == text
        assert function.__defaults__ is None
        assert function.__doc__ is None

    def test_module_order(self):
        # A fresh process: tests that delete and restore a global move it to the end.
        code = "import korva.utils.display as d; print(' '.join(vars(d)))"
        names = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split()
        order = ["BAR_WIDTH", "epoch_bar", "forest_banner", "node_banner", "gpu_stats", "forest_done_line", "print_logo"]
        assert [names.index(n) for n in order] == sorted(names.index(n) for n in order)
