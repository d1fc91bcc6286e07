"""The save confirmation and the follow-up commands: the fourteen lines, shell quoting, argument errors."""

import random
import shlex
import shutil
import subprocess
from pathlib import PurePosixPath

import pytest

from korva.utils import display as d
from colours import RESET, BOLD, CYAN, GREEN, GRAY


class Recorder:
    """A stdout that keeps every write, so that print calls can be counted."""

    def __init__(self, fail_after=None):
        self.writes, self.fail_after = [], fail_after

    def write(self, text):
        if self.fail_after is not None and len(self.writes) >= self.fail_after:
            raise OSError("disk full")
        self.writes.append(text)

    def flush(self):
        pass


def lines_of(monkeypatch, *args):
    out = Recorder()
    monkeypatch.setattr("sys.stdout", out)
    d.print_save_and_next(*args)
    monkeypatch.undo()
    # print writes its text, then the line break, once per call
    assert out.writes[1::2] == ["\n"] * (len(out.writes) // 2)
    return out.writes[0::2]


def test_the_fourteen_lines(monkeypatch):
    assert lines_of(monkeypatch, "runs/a", "model.pt", "data/ip.mat", "data/ip_gt.mat", 0.7, 1) == [
        "\n" + GREEN + BOLD + "  Saved →" + RESET + " runs/a/model.pt",
        "\n" + BOLD + CYAN + "  What's next?" + RESET,
        "\n" + GRAY + "  # Evaluate all routing modes:" + RESET,
        "  korva predict \\",
        "    --data  data/ip.mat \\",
        "    --gt    data/ip_gt.mat \\",
        "    --model runs/a/model.pt \\",
        "    --routing all --out-dir runs/a",
        "\n" + GRAY + "  # Visualize predictions:" + RESET,
        "  korva visualize \\",
        "    --data  data/ip.mat \\",
        "    --gt    data/ip_gt.mat \\",
        "    --model runs/a/model.pt \\",
        "    --out-dir runs/a\n",
    ]


def test_model_path_is_plain_concatenation(monkeypatch):
    lines = lines_of(monkeypatch, "runs/", "", "d", "g", 1, 0)
    assert lines[0] == "\n" + GREEN + BOLD + "  Saved →" + RESET + " runs//"
    assert lines[6] == lines[12] == "    --model runs// \\"


def test_paths_are_quoted_for_the_shell_but_not_in_the_saved_line(monkeypatch):
    lines = lines_of(monkeypatch, "my runs", "it's.pt", "", "ü.mat", 0.5, 0.5)
    assert lines[0] == "\n" + GREEN + BOLD + "  Saved →" + RESET + " my runs/it's.pt"
    assert lines[4:8] == [
        "    --data  '' \\",
        "    --gt    'ü.mat' \\",
        "    --model 'my runs/it'\"'\"'s.pt' \\",
        "    --routing all --out-dir 'my runs'",
    ]
    assert lines[13] == "    --out-dir 'my runs'\n"


AWKWARD = [
    "plain/path-1.2_x", "A-Z@%+=:,./", "", "with space", "it's", "''", "a'b'c", '"double"', "$HOME", "`id`",
    "a;b", "a&b", "a|b", "x*?[a]", "~/data", "tab\there", "new\nline", "back\\slash", "-dash", "#hash", "!bang",
    "ümlaut", "日本/データ", "emoji😀", "a\x7fb", "(paren)", "{brace}", "<in>", "a^b",
]


def random_path(rng):
    alphabet = "ab/._-@%+=:,' \"$`\\\t\n*?~!#;&|()<>éß日😀\udc80"
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 12)))


def test_quoting_matches_shlex_quote(monkeypatch):
    rng = random.Random(3)
    paths = AWKWARD + [random_path(rng) for _ in range(300)]
    for path in paths:
        lines = lines_of(monkeypatch, path, "m.pt", path, "g", 1, 1)
        assert lines[4] == lines[10] == "    --data  " + shlex.quote(path) + " \\"
        assert lines[6] == "    --model " + shlex.quote(path + "/m.pt") + " \\"
        assert lines[7] == "    --routing all --out-dir " + shlex.quote(path)
        assert lines[13] == "    --out-dir " + shlex.quote(path) + "\n"


@pytest.mark.skipif(shutil.which("sh") is None, reason="needs a POSIX shell")
def test_pasted_commands_pass_the_paths_unchanged(monkeypatch):
    for out_dir, data, gt in zip(AWKWARD, reversed(AWKWARD), AWKWARD[3:] + AWKWARD[:3]):
        lines = lines_of(monkeypatch, out_dir, "model.pt", data, gt, 1, 1)
        script = "korva() { printf '%s\\0' \"$@\"; }\n" + "\n".join(lines[3:8]) + "\n" + "\n".join(lines[9:14])
        words = subprocess.run(["sh", "-c", script], capture_output=True, check=True).stdout.decode().split("\0")
        common = ["--data", data, "--gt", gt, "--model", out_dir + "/model.pt"]
        assert words == [
            "predict", *common, "--routing", "all", "--out-dir", out_dir, "visualize", *common, "--out-dir", out_dir, ""
        ]


def test_failing_stdout_keeps_earlier_lines(monkeypatch):
    out = Recorder(fail_after=9)
    monkeypatch.setattr("sys.stdout", out)
    with pytest.raises(OSError, match="disk full"):
        d.print_save_and_next("r", "m", "d", "g", 1, 1)
    monkeypatch.undo()
    assert "".join(out.writes) == (
        "\n" + GREEN + BOLD + "  Saved →" + RESET + " r/m\n"
        "\n" + BOLD + CYAN + "  What's next?" + RESET + "\n"
        "\n" + GRAY + "  # Evaluate all routing modes:" + RESET + "\n"
        "  korva predict \\\n"
        "    --data  d \\"
    )


def test_colours_are_read_at_each_line(capsys, monkeypatch):
    monkeypatch.setattr(d, "CYAN", "<cyan>")
    monkeypatch.delattr(d, "GRAY")
    with pytest.raises(NameError, match="'GRAY'"):
        d.print_save_and_next("r", "m", "d", "g", 1, 1)
    assert capsys.readouterr().out == (
        "\n" + GREEN + BOLD + "  Saved →" + RESET + " r/m\n" + "\n" + BOLD + "<cyan>  What's next?" + RESET + "\n"
    )


class PathLike(str):
    pass


@pytest.mark.parametrize(
    "args, message",
    [
        (("r", "m", "d", "g", None, 0.5), "must be real number, not NoneType"),
        (("r", "m", "d", "g", 0.5, "0.5"), "must be real number, not str"),
        ((None, "m", "d", "g", None, 0.5), "must be real number, not NoneType"),  # numbers are converted first
        ((PurePosixPath("r"), "m", "d", "g", 1, 1), r"Argument 'out_dir' has incorrect type \(expected str, got Pure"),
        (("r", "m", "d", PathLike("g"), 1, 1), r"Argument 'gt_path' .* got PathLike\)\. Subclasses"),
        (("r", "m", "d", "g", 1), r"takes exactly 6 positional arguments \(5 given\)"),
        (("r", "m", "d", "g", 1, 1, 1), r"takes exactly 6 positional arguments \(7 given\)"),
    ],
)
def test_argument_errors_print_nothing(capsys, args, message):
    with pytest.raises(TypeError, match=message):
        d.print_save_and_next(*args)
    assert capsys.readouterr().out == ""


def test_keywords_and_signature(capsys):
    d.print_save_and_next(out_dir="o", save_file="s", data_path="d", gt_path="g", train_ratio=1, val_ratio=0.5)
    assert capsys.readouterr().out.count("\n") == 14 + 5
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'test_ratio'"):
        d.print_save_and_next("o", "s", "d", "g", 1, 1, test_ratio=1)
    assert d.print_save_and_next.__doc__ == "Print save confirmation and suggest next commands."
    assert d.print_save_and_next.__defaults__ is None
    assert d.print_save_and_next.__annotations__ == {
        "out_dir": "str", "save_file": "str", "data_path": "str", "gt_path": "str", "train_ratio": "float",
        "val_ratio": "float",
    }
