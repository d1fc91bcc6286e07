"""gpu_stats: the nvidia-smi query, against real child processes and a stand-in module."""

import os
import random
import subprocess
import sys
import time

import pytest

import korva.utils.display as display

QUERY = [
    "nvidia-smi",
    "--query-gpu=temperature.gpu,utilization.gpu,memory.used,memory.total",
    "--format=csv,noheader,nounits",
]


@pytest.fixture
def fake_tool(tmp_path, monkeypatch):
    """Writes an nvidia-smi shell script and puts its folder first on PATH."""

    def write(body):
        script = tmp_path / "nvidia-smi"
        script.write_text("#!/bin/sh\n" + body + "\n")
        script.chmod(0o755)
        return script

    monkeypatch.setenv("PATH", f"{tmp_path}{os.pathsep}{os.environ.get('PATH', '')}")
    return write


class TestRealChildProcess:
    @pytest.mark.parametrize(
        "body, expected",
        [
            (r"printf '45, 30, 1024, 8192\n'", "GPU 45°C | 1024 / 8192 MB | 30% util"),
            (r"printf '[N/A], [N/A], 0, 81559\n'", "GPU [N/A]°C | 0 / 81559 MB | [N/A]% util"),
            (r"printf ' 31.5 ,08,  7 ,\t9 \n\n'", "GPU 31.5°C | 7 / 9 MB | 08% util"),
            (r"printf '45, 30, 1024, 8192\n46, 31, 2048, 8192\n'", ""),  # two GPUs: seven pieces
            (r"printf '45, 30, 1024\n'", ""),
            (r"printf '45, 30, 1024, 8192, 1\n'", ""),
            ("true", ""),
            (r"printf '4\3775, 30, 1024, 8192\n'", ""),  # not UTF-8
            (r"printf '45, 30, 1024, 8192\n'; exit 3", ""),
            (r"printf '45, 30, 1024, 8192\n' >&2; printf '1,2,3,4'", "GPU 1°C | 3 / 4 MB | 2% util"),
        ],
    )
    def test_outputs(self, fake_tool, body, expected, capsys):
        fake_tool(body)
        assert display.gpu_stats() == expected
        assert capsys.readouterr() == ("", "")  # the tool's stderr goes to the null device

    @pytest.mark.parametrize(
        "raw",
        [
            "\u00a045, 30, 1024, 8192\u2003",  # Unicode white space is stripped like str.strip does
            "\x1c45\x1f,\x0b30\x0c, 1024 , 8192",
            "45°, 30, 1024, 8192",
            "\u3000",
        ],
    )
    def test_white_space_as_the_interpreter_strips_it(self, fake_tool, tmp_path, raw):
        data = tmp_path / "answer"
        data.write_bytes(raw.encode())
        fake_tool(f"cat '{data}'")
        try:
            temp, util, used, total = [x.strip() for x in raw.strip().split(",")]
            expected = f"GPU {temp}°C | {used} / {total} MB | {util}% util"
        except ValueError:
            expected = ""
        assert display.gpu_stats() == expected

    def test_tool_missing(self, tmp_path, monkeypatch):
        monkeypatch.setenv("PATH", str(tmp_path))
        assert display.gpu_stats() == ""

    def test_tool_not_executable(self, fake_tool):
        fake_tool("printf '1,2,3,4'").chmod(0o644)
        assert display.gpu_stats() == ""

    def test_hanging_tool_is_killed_after_five_seconds(self, fake_tool):
        # exec: the shell becomes the sleeping process, so the kill reaches it. The sleep's
        # argument is this run's own, so that other runs of the suite on the machine don't count.
        marker = f"29.{os.getpid()}{random.randrange(10**6):06d}"
        fake_tool(f"exec sleep {marker}")
        start = time.monotonic()
        assert display.gpu_stats() == ""
        elapsed = time.monotonic() - start
        assert 4.5 < elapsed < 15
        assert sleeping_children(marker) == []


def sleeping_children(marker):
    """Children of this process running sleep, and any process (an orphan too) running this run's sleep."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
            with open(f"/proc/{entry}/stat") as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            continue
        if marker.encode() in args or (parent == os.getpid() and b"sleep" in args[0]):
            found.append(int(entry))
    return found


class FakeSubprocess:
    """Stands in for the subprocess module and records each call."""

    DEVNULL = object()

    def __init__(self, answer):
        self.answer = answer
        self.calls = []

    def check_output(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


class TestThroughTheModuleGlobal:
    def test_exact_call(self, monkeypatch):
        fake = FakeSubprocess(b"45, 30, 1024, 8192\n")
        monkeypatch.setattr(display, "subprocess", fake)
        assert display.gpu_stats() == "GPU 45°C | 1024 / 8192 MB | 30% util"
        assert fake.calls == [((QUERY,), {"stderr": fake.DEVNULL, "timeout": 5})]
        assert type(fake.calls[0][1]["timeout"]) is int

    def test_fresh_argument_list_each_call(self, monkeypatch):
        fake = FakeSubprocess(b"1,2,3,4")
        monkeypatch.setattr(display, "subprocess", fake)
        display.gpu_stats()
        fake.calls[0][0][0].append("changed")
        display.gpu_stats()
        assert fake.calls[1][0] == (QUERY,)

    def test_module_global_read_at_each_call(self, monkeypatch):
        monkeypatch.setattr(display, "subprocess", FakeSubprocess(b"1,2,3,4"))
        assert display.gpu_stats() == "GPU 1°C | 3 / 4 MB | 2% util"
        monkeypatch.setattr(display.subprocess, "check_output", lambda *a, **k: b"5,6,7,8")
        assert display.gpu_stats() == "GPU 5°C | 7 / 8 MB | 6% util"
        monkeypatch.setattr(display, "subprocess", FakeSubprocess(b"9,9,9,9"))
        assert display.gpu_stats() == "GPU 9°C | 9 / 9 MB | 9% util"

    class Decoded(bytes):
        def decode(self, *args):
            return " a , b , c , d "

    class SplitCutShort:
        """Output whose text's pieces come from an iterator that fails after two."""

        class Text(str):
            def strip(self):
                return self

            def split(self, separator):
                yield from ("1", "2")
                raise ValueError("cut short")

        def decode(self):
            return self.Text("1, 2, 3, 4")

    @pytest.mark.parametrize(
        "answer, expected",
        [
            (bytearray(b"45, 30, 1024, 8192"), "GPU 45°C | 1024 / 8192 MB | 30% util"),
            (Decoded(b"ignored"), "GPU a°C | c / d MB | b% util"),
            (SplitCutShort(), ""),
            ("45, 30, 1024, 8192", ""),  # a str has no decode
            (None, ""),
            (b"\xff", ""),
        ],
    )
    def test_what_check_output_returns(self, monkeypatch, answer, expected):
        monkeypatch.setattr(display, "subprocess", FakeSubprocess(answer))
        assert display.gpu_stats() == expected

    @pytest.mark.parametrize(
        "error",
        [
            FileNotFoundError(2, "No such file"),
            PermissionError(13, "denied"),
            subprocess.CalledProcessError(9, QUERY),
            subprocess.TimeoutExpired(QUERY, 5),
            MemoryError(),
            RecursionError(),
            ValueError("anything"),
        ],
    )
    def test_exceptions_mean_no_information(self, monkeypatch, error):
        monkeypatch.setattr(display, "subprocess", FakeSubprocess(error))
        assert display.gpu_stats() == ""

    @pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(2), GeneratorExit()])
    def test_other_base_exceptions_propagate(self, monkeypatch, error):
        monkeypatch.setattr(display, "subprocess", FakeSubprocess(error))
        with pytest.raises(type(error)):
            display.gpu_stats()

    def test_module_global_missing_or_incomplete(self, monkeypatch):
        monkeypatch.delattr(display, "subprocess")
        assert display.gpu_stats() == ""
        monkeypatch.setattr(display, "subprocess", object(), raising=False)
        assert display.gpu_stats() == ""

    def test_no_references_leak(self, monkeypatch):
        answer = b"45, 30, 1024, 8192"
        monkeypatch.setattr(display, "subprocess", FakeSubprocess(answer))
        before = sys.getrefcount(answer)
        for _ in range(100):
            display.gpu_stats()
        assert sys.getrefcount(answer) == before


class TestSignature:
    def test_arguments_refused(self):
        with pytest.raises(TypeError, match=r"^gpu_stats\(\) takes no arguments \(1 given\)$"):
            display.gpu_stats(1)
        with pytest.raises(TypeError, match=r"^gpu_stats\(\) takes no keyword arguments$"):
            display.gpu_stats(timeout=1)

    def test_attributes(self):
        assert display.gpu_stats.__doc__ == "Get real GPU stats (temp, utilization, VRAM) via nvidia-smi."
        assert display.gpu_stats.__annotations__ == {"return": "str"}
        assert display.gpu_stats.__defaults__ is None
