"""The shared number formatting, checked against the interpreter's own format() through the display texts."""

import random
import re
import struct

import pytest

import korva.utils.display as d

np = pytest.importorskip("numpy")

RESET = "\x1b[0m"


@pytest.fixture
def no_gpu(monkeypatch):
    monkeypatch.setattr(d, "gpu_stats", lambda: "")


def fixed4(value):
    """The .4f text of `value` as forest_done_line writes its mIoU."""
    text = d.forest_done_line(0, 1, value, 1, 0.0, 0.0, 0.0, "")
    return re.search(r"mIoU \x1b\[9\dm(.*?)" + re.escape(RESET), text).group(1)


def random_doubles(rng, count):
    """Finite doubles from every exponent, both signs."""
    out = []
    while len(out) < count:
        (x,) = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))
        if x == x and abs(x) != float("inf"):
            out.append(x)
    return out


AWKWARD = [
    0.0, -0.0, 5e-324, -5e-324, 1e-300, 2.5e-5, 0.00005, -0.00005, 0.00004999, -0.00004999,
    0.03125, 0.09375, -0.03125, 0.15625, 0.5, 0.99995, 9.99995, 1.00005, 0.12345, 123456.78905,
    # Around 2**52 / 10**4, where the exact short path hands over to the general conversion.
    450359962737.0495, 450359962737.0496, 450359962737.0497, 450359962737.04965,
    1e15, 1e16, 2.0**53, 1e22, 1e300, -1e300, 1.7976931348623157e308, -1.7976931348623157e308,
    float("nan"), -float("nan"), float("inf"), -float("inf"),
]


@pytest.mark.usefixtures("no_gpu")
class TestFixed4:
    @pytest.mark.parametrize("value", AWKWARD, ids=repr)
    def test_awkward_values(self, value):
        assert fixed4(value) == format(value, ".4f")

    def test_exact_ties_round_to_even(self):
        # k / 2**5 / 5**4 * 625 lands exactly halfway between two steps of 0.0001 for odd k * 625.
        for k in range(1, 400, 2):
            value = k * 625 / 20000
            assert fixed4(value) == format(value, ".4f"), value
            assert fixed4(-value) == format(-value, ".4f"), -value

    def test_random_doubles_of_every_size(self):
        rng = random.Random(20240611)
        for value in random_doubles(rng, 3000):
            assert fixed4(value) == format(value, ".4f"), repr(value)

    def test_random_values_near_the_rounding_point(self):
        rng = random.Random(7)
        for _ in range(3000):
            value = (rng.randrange(-10**9, 10**9) + 0.5) / 10**4
            value = value * (1 + rng.choice((-1, 0, 1)) * 2.0**-52)
            assert fixed4(value) == format(value, ".4f"), repr(value)


class TestIntWidths:
    NUMBERS = [0, 7, -5, 99, 999, 1000, -1000, 2**31, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64, 10**30, -(10**30)]

    @pytest.mark.parametrize("epoch", NUMBERS)
    def test_right_aligned_width_three(self, capsys, epoch):
        d.epoch_bar(epoch, 10**40, 0.5)
        out = capsys.readouterr().out
        assert re.search(r"Epoch (.*?)/", out).group(1) == format(epoch, "3d")

    def test_every_digit_count_and_its_edges(self, capsys):
        # The digit count decides where the rest of the text goes and how much padding comes
        # first: each power of ten and its neighbours, both signs, across the 64-bit range and
        # just past it.
        values = [sign * (10**k + delta) for k in range(21) for delta in (-1, 0, 1) for sign in (1, -1)]
        values += [2**32 - 1, 2**32, 2**63 - 1, -(2**63)]
        for value in values:
            assert d.forest_banner(0, 1, value, "n").endswith(f"  seed={value}  node='n'"), value
            d.print_per_class_iou({value: 0.5}, {value: value})
            row = capsys.readouterr().out.splitlines()[2]
            assert row.startswith("  Class " + format(value, "2d") + "  "), value
            assert "(" + format(value, ">5d") + " px)" in row, value

    @pytest.mark.parametrize("value", NUMBERS + [True, np.int64(-3), np.uint8(200)], ids=repr)
    def test_class_and_count_fields(self, capsys, value):
        d.print_per_class_iou({value: 0.5}, {value: value})
        row = capsys.readouterr().out.splitlines()[2]
        assert row.startswith("  Class " + format(value, "2d") + "  ")
        assert "(" + format(value, ">5d") + " px)" in row


class TestTextBuilding:
    """Texts of every kind and length go through the builder unchanged."""

    ALPHABETS = {
        "ascii": "abcxyz019 '\\",
        "latin1": "aé\xff\x80z",
        "bmp": "a─═█\u26a0é\ud800",  # a lone surrogate is kept, as concatenation keeps it
        "astral": "a\U0001f600é─\U0010ffff",
    }

    @pytest.mark.parametrize("alphabet", ALPHABETS.values(), ids=ALPHABETS.keys())
    def test_random_texts_of_every_length(self, alphabet):
        rng = random.Random(len(alphabet))
        for length in list(range(0, 40)) + [63, 64, 65, 511, 512, 513, 3000]:
            text = "".join(rng.choice(alphabet) for _ in range(length))
            assert d._c(text, "\x1b[1m") == "\x1b[1m" + text + RESET
            assert d.forest_banner(0, 1, 2, text).endswith("  node='" + text + "'")

    def test_short_texts_joined_in_any_order(self):
        rng = random.Random(3)
        pieces = ["", "a", "ab", "abc", "abcd", "é", "─", "\U0001f600", "x" * 7, "y" * 8, "z" * 15, "w" * 16]
        for _ in range(500):
            codes = rng.sample(pieces, 4)
            text = rng.choice(pieces)
            assert d._c(text, *codes) == "".join(codes) + text + RESET
