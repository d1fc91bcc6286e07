"""The display module's frame: globals in order, _c, the pictures and their printing."""

import builtins
import contextlib
import copy
import inspect
import pickle
import sys
import traceback

import pytest

import korva.utils.display as d
from colours import RESET, BOLD, DIM, CYAN, GREEN, YELLOW, BLUE, MAGENTA, RED, WHITE, GRAY
from conftest import ROOT, pointer_text, run_python

sys.path.insert(0, str(ROOT / "art"))
import generate  # noqa: E402

BLANK = "\u2800"
DELETED = object()


def test_globals_in_initialisation_order():
    # A fresh interpreter: other tests delete and restore globals, which moves them to the end.
    proc = run_python(
        "import korva.utils.display as d\n"
        "print(' '.join(k for k in vars(d) if not (k.startswith('__') and k.endswith('__'))))"
    )
    assert proc.stdout.split() == [
        "subprocess",
        "RESET", "BOLD", "DIM", "CYAN", "GREEN", "YELLOW", "BLUE", "MAGENTA", "RED", "WHITE", "GRAY",
        "_c",
        "KORVA_LOGO", "KORVA_PREDICT", "KORVA_FLOWER", "KORVA_TRAINING", "KORVA_DONE",
        "BAR_WIDTH",
        "epoch_bar", "forest_banner", "node_banner", "gpu_stats", "forest_done_line",
        "print_logo", "print_predict_start", "print_visualize_start", "print_training_start", "print_training_done",
        "print_config_box", "print_results_box", "print_per_class_iou", "print_save_and_next",
    ]  # fmt: skip
    assert d.__doc__ == "\nkorva/utils/display\nAll CLI visual candy: ASCII art, progress bars, styled prints.\n"
    assert d.subprocess is sys.modules["subprocess"]
    assert type(d.BAR_WIDTH) is int and d.BAR_WIDTH == 24
    assert (d.RESET, d.BOLD, d.DIM, d.CYAN, d.GREEN, d.YELLOW, d.BLUE, d.MAGENTA, d.RED, d.WHITE, d.GRAY) == (
        RESET, BOLD, DIM, CYAN, GREEN, YELLOW, BLUE, MAGENTA, RED, WHITE, GRAY,
    )  # fmt: skip


class TestColourFunction:
    @pytest.mark.parametrize(
        "args, expected",
        [
            (("x",), "x" + RESET),
            (("",), RESET),
            ((5, RED, BOLD), RED + BOLD + "5" + RESET),
            ((None, GREEN), GREEN + "None" + RESET),
            (("ä✓", CYAN), CYAN + "ä✓" + RESET),
            (("\ud800", CYAN), CYAN + "\ud800" + RESET),
        ],
    )
    def test_codes_text_reset(self, args, expected):
        assert d._c(*args) == expected

    def test_text_by_keyword_only_name(self):
        assert d._c(text="y") == "y" + RESET
        with pytest.raises(TypeError, match=r"^_c\(\) takes at least 1 positional argument \(0 given\)$"):
            d._c()
        with pytest.raises(TypeError, match=r"^_c\(\) got an unexpected keyword argument 'codes'$"):
            d._c("x", codes=RED)
        with pytest.raises(TypeError, match=r"^_c\(\) got multiple values for keyword argument 'text'$"):
            d._c("x", RED, text="y")

    def test_non_str_code_fails_in_the_join(self):
        with pytest.raises(TypeError, match="sequence item 0: expected str instance, int found"):
            d._c("x", 1)

    def test_text_conversion_error_propagates(self):
        class Bad:
            def __str__(self):
                raise ValueError("no text")

        with pytest.raises(ValueError, match="no text"):
            d._c(Bad(), RED)

    def test_str_subclass_text_is_converted(self):
        class S(str):
            def __str__(self):
                return "converted"

        assert d._c(S("raw"), RED) == RED + "converted" + RESET

        # A str subclass returned by __str__ is added with its own operators, as "".join(codes) + str(text) is.
        class Marked(str):
            def __radd__(self, other):
                return Marked(other + "[" + str(self) + "]")

            def __add__(self, other):
                return str(self) + "{" + other + "}"

        class Text:
            def __str__(self):
                return Marked("m")

        assert d._c(Text(), RED) == RED + "[m]{" + RESET + "}"
        assert d._c(Text()) == "[m]{" + RESET + "}"

    def test_c_as_its_texts_str_is_a_recursion_error(self):
        # str(text) calls _c again with no Python frame in between: the interpreter's limit stops it,
        # in str() or in _c, whichever meets it first, which one frame more or less changes.
        class Itself:
            __str__ = d._c

        def nested(frames):
            return nested(frames - 1) if frames else d._c(Itself(), RED)

        for frames in (0, 1):
            with pytest.raises(RecursionError, match="^maximum recursion depth exceeded"):
                nested(frames)

    def test_reads_reset_at_call_time(self, monkeypatch):
        monkeypatch.setattr(d, "RESET", "<end>")
        assert d._c("x", RED) == RED + "x<end>"
        monkeypatch.delattr(d, "RESET")
        with pytest.raises(NameError, match="name 'RESET' is not defined"):
            d._c("x")


PICTURES = [
    # constant, printer, prefix, bitmap, lines, cells, caption
    ("KORVA_PREDICT", "print_predict_start", CYAN + BOLD, "predict", 15, 28, "Predicting..."),
    ("KORVA_FLOWER", "print_visualize_start", CYAN, "flower", 16, 34, "Visualizing..."),
    ("KORVA_TRAINING", "print_training_start", CYAN + BOLD, "logo", 7, 43, "Training initiated..."),
    ("KORVA_DONE", "print_training_done", GREEN + BOLD, "done", 8, 43, "Training complete!"),
]


class TestPictures:
    @pytest.mark.parametrize("name, printer, prefix, bitmap, lines, cells, caption", PICTURES)
    def test_structure_matches_bitmap(self, name, printer, prefix, bitmap, lines, cells, caption):
        art = getattr(d, name)
        assert art.startswith(prefix + "\n") and art.endswith("\n" + RESET)
        body = art[len(prefix) : -len(RESET)]
        assert len(body) == {15: 453, 16: 579, 7: 334, 8: 375}[lines]
        picture = body[1:-1].split("\n")
        assert picture[-1] == BLANK + "  " + caption
        picture = picture[:-1]
        assert picture == generate.render(generate.load(bitmap))
        assert len(picture) == lines
        for line in picture:
            assert len(line) == cells
            assert all(0x2800 <= ord(ch) <= 0x28FF for ch in line)
        assert any(ch != BLANK for line in picture for ch in line)

    def test_logo_text_beside_the_figure(self):
        art = d.KORVA_LOGO
        assert art.startswith(CYAN + BOLD + "\n") and art.endswith("\n" + RESET)
        lines = art[len(CYAN + BOLD) + 1 : -len("\n" + RESET)].split("\n")
        figure = generate.render(generate.load("logo"))
        assert len(lines) == 7
        assert lines[:3] == figure[:3]
        assert lines[3] == figure[3][:29] + "  K O R V A"
        for i, (cells, gap) in enumerate([(29, "  "), (29, "  "), (30, " ")], start=4):
            assert lines[i][:cells] == figure[i][:cells]
            assert lines[i][cells : cells + len(gap)] == gap
            assert lines[i][cells + len(gap)].isalpha()
            assert set(figure[i][cells:]) == {BLANK}

    def test_training_figure_is_the_logo_figure(self):
        logo_lines = d.KORVA_LOGO.split("\n")[1:8]
        training_lines = d.KORVA_TRAINING.split("\n")[1:8]
        for logo, training in zip(logo_lines, training_lines):
            figure = "".join(ch for ch in logo if 0x2800 <= ord(ch) <= 0x28FF)
            assert training == figure.ljust(43, BLANK)

    @pytest.mark.parametrize("name, printer", [("KORVA_LOGO", "print_logo")] + [p[:2] for p in PICTURES])
    def test_printer_writes_the_constant(self, capsys, name, printer):
        assert getattr(d, printer)() is None
        assert capsys.readouterr().out == getattr(d, name) + "\n"

    def test_print_is_the_builtin_resolved_at_import(self, capsys, monkeypatch):
        def broken(*args, **kwargs):
            raise AssertionError("print was looked up again")

        monkeypatch.setattr(builtins, "print", broken)
        d.print_training_done()
        assert capsys.readouterr().out.startswith(GREEN + BOLD + "\n")

    def test_constant_read_at_call_time(self, capsys, monkeypatch):
        monkeypatch.setattr(d, "KORVA_DONE", "replaced")
        d.print_training_done()
        assert capsys.readouterr().out == "replaced\n"
        monkeypatch.delattr(d, "KORVA_DONE")
        with pytest.raises(NameError, match="name 'KORVA_DONE' is not defined") as info:
            d.print_training_done()
        last = traceback.extract_tb(info.tb)[-1]
        assert (last.name, last.filename) == ("print_training_done", "korva/utils/display")

    def test_art_keeps_the_colours_of_import_time(self, monkeypatch):
        before = d.KORVA_LOGO
        monkeypatch.setattr(d, "CYAN", "")
        assert d.KORVA_LOGO == before

    @pytest.mark.parametrize("call", [lambda: d.print_logo(1), lambda: d.print_logo(x=1)])
    def test_no_arguments_accepted(self, capsys, call):
        with pytest.raises(TypeError, match=r"^print_logo\(\) takes no (keyword )?arguments"):
            call()
        assert capsys.readouterr().out == ""

    def test_failing_stdout_propagates(self, monkeypatch):
        class Broken:
            def write(self, text):
                raise OSError("disk full")

        monkeypatch.setattr(sys, "stdout", Broken())
        with pytest.raises(OSError, match="disk full"):
            d.print_logo()


class TestFunctionObjects:
    def test_attributes(self):
        f = d.print_logo
        assert (f.__name__, f.__qualname__, f.__module__) == ("print_logo", "print_logo", "korva.utils.display")
        assert f.__doc__ is None and f.__defaults__ is None and f.__kwdefaults__ is None
        assert f.__annotations__ == {}
        f.__dict__["note"] = 1
        assert f.note == 1
        del f.__dict__["note"]
        assert inspect.isroutine(f) and callable(f)

    @pytest.mark.parametrize(
        "name, value, error",
        [
            ("__name__", "renamed", None),
            ("__name__", 5, "__name__ must be set to a string object"),
            ("__name__", DELETED, "__name__ must be set to a string object"),
            ("__qualname__", "Holder.renamed", None),
            ("__qualname__", b"x", "__qualname__ must be set to a string object"),
            ("__qualname__", DELETED, "__qualname__ must be set to a string object"),
            ("__annotations__", {"return": "int"}, None),
            ("__annotations__", [], "__annotations__ must be set to a dict object"),
            ("__annotations__", None, None),
            ("__annotations__", DELETED, None),
        ],
    )
    def test_writable_attributes_as_for_a_python_function(self, monkeypatch, name, value, error):
        def written_in_python():
            pass

        for f in (written_in_python, d.print_logo):
            monkeypatch.setattr(f, name, getattr(f, name))  # put back after the test
            with pytest.raises(TypeError) if error else contextlib.nullcontext() as info:
                delattr(f, name) if value is DELETED else setattr(f, name, value)
            if error:
                assert str(info.value) == error
            else:
                # Deleted or None annotations are read again as a new empty dict.
                assert getattr(f, name) == ({} if value in (None, DELETED) else value)
            assert repr(f) == f"<function {f.__qualname__} at {pointer_text(id(f))}>"

    def test_signature_and_help(self):
        assert str(inspect.signature(d._c)) == "(text, *codes)"
        assert str(inspect.signature(d.print_logo)) == "()"
        text = __import__("pydoc").render_doc(d._c, renderer=__import__("pydoc").plaintext)
        assert "_c(text, *codes)" in text

    def test_binds_as_a_method(self):
        class Holder:
            colour = d._c

        assert Holder.colour is d._c
        bound = Holder().colour
        assert bound.__func__ is d._c
        assert bound(RED) == RED + str(bound.__self__) + RESET

    def test_pickle_and_copy_by_reference(self):
        assert pickle.loads(pickle.dumps(d._c)) is d._c
        assert copy.deepcopy(d.print_logo) is d.print_logo
