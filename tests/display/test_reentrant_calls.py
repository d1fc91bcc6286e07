"""Callers whose code runs inside a display call and calls back, changes what is being read, or
frees it. Each case runs in a fresh interpreter, so a crash fails one test."""

import textwrap

import pytest

from conftest import COUNTED_NESTING, ENDED_AT_EXIT, run_python


def run_case(code):
    proc = run_python(textwrap.dedent(code))
    # A crash ends the child with a signal: a negative return code.
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout


NESTING = {
    "print_results_box": 'd.print_results_box({"OA": Nested(0.5)})',
    "node_banner": 'd.node_banner("n", [Nested(1.0)], 2, 3, 4, "ce", 0.5, 6, 7)',
    "print_per_class_iou": "d.print_per_class_iou({1: Nested(0.5)})",
    "print_config_box": 'd.print_config_box("t", [("a", Nested(1.0))])',
    "epoch_bar": "d.BAR_WIDTH = Width(); d.epoch_bar(1, 2, 0.5)",
    "_c": 'd._c(Nested(1.0), "x")',
}


@pytest.mark.parametrize(
    "thread_stack",
    [None, 512 * 1024, 0, 16 * 1024],
    ids=["main thread", "small thread stack", "least thread stack", "nearly least thread stack"],
)
@pytest.mark.parametrize("name", NESTING)
def test_nesting_past_the_stack_is_a_recursion_error(name, thread_stack):
    # The recursion limit is far beyond what the C stack holds: only a guard on the stack itself
    # turns the nesting into an exception. A thread's own, smaller stack is the one that counts;
    # on the main thread's stack a level takes little enough that the nesting goes deep. On the
    # least stack the interpreter accepts, the way out of the refused call must still fit. A
    # build without stack bounds goes as deep on every stack.
    least_depth = COUNTED_NESTING or {None: 100, 512 * 1024: 2}.get(thread_stack, 1)
    out = run_case(
        f"""
        import io, sys, threading
        import korva.utils.display as d
        sys.setrecursionlimit(1_000_000)
        depth = 0

        class Nested(float):
            def __format__(self, spec):
                call()
                return "x"

            def __str__(self):
                call()
                return "x"

            __repr__ = __str__

        class Width:
            def __mul__(self, other):
                call()
                return 3

        def call():
            global depth
            depth += 1
            {NESTING[name]}

        def main():
            sys.stdout = io.StringIO()
            try:
                call()
            except RecursionError:
                sys.__stdout__.write(f"RecursionError {{depth >= {least_depth}}}\\n")

        stack = {thread_stack!r}
        if stack is None:
            main()
        else:
            if stack < 32 * 1024:
                # That many bytes above the least stack the interpreter accepts (32 KiB, or more
                # where its own frames need more).
                least = 32 * 1024
                while True:
                    try:
                        threading.stack_size(least)
                        break
                    except ValueError:
                        least += 4096
                stack += least
            threading.stack_size(stack)
            t = threading.Thread(target=main)
            t.start()
            t.join()
        """
    )
    assert out == "RecursionError True\n"


@pytest.mark.skipif(COUNTED_NESTING is not None, reason="this build reads no stack bounds")
def test_stack_bounds_unreadable_for_a_while():
    # The main thread learns its stack bounds from a file: while every file descriptor is taken
    # a nested call cannot tell how deep it is and is refused with the reason; once descriptors
    # are free again, the guard works as before. The module is imported on another thread, so
    # that the main thread has not read its bounds yet.
    out = run_case(
        """
        import io, os, resource, sys, threading
        importer = threading.Thread(target=__import__, args=("korva.utils.display",))
        importer.start()
        importer.join()
        import korva.utils.display as d
        sys.setrecursionlimit(1_000_000)

        class Nested(float):
            def __format__(self, spec):
                call()
                return "x"

        def call():
            global depth
            depth += 1
            d.print_results_box({"OA": Nested(0.5)})

        def nest():
            global depth
            depth = 0
            sys.stdout = io.StringIO()
            try:
                call()
            except Exception as e:
                return f"{type(e).__name__} {getattr(e, 'errno', None)} {depth if depth < 100 else 'deep'}"
            finally:
                sys.stdout = sys.__stdout__

        resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        held = []
        try:
            while True:
                held.append(os.open(os.devnull, os.O_RDONLY))
        except OSError:
            pass
        unreadable = nest()
        for fd in held:
            os.close(fd)
        print(unreadable)
        print(nest())
        """
    )
    assert out == "OSError 24 2\nRecursionError None deep\n"


def test_gpu_fields_emptied_while_formatted():
    # The fields' own __format__ finds every list that holds them and empties it.
    out = run_case(
        """
        import gc
        import korva.utils.display as d

        class Field:
            def __init__(self, text):
                self.text = text
            def strip(self):
                return self
            def __format__(self, spec):
                for o in gc.get_objects():
                    if type(o) is list and any(x is self for x in o):
                        o.clear()
                gc.collect()
                return self.text

        class Answer:
            def decode(self):
                return self
            def strip(self):
                return self
            def split(self, sep):
                return [Field(t) for t in ("45", "30", "1024", "8192")]

        class Tool:
            DEVNULL = -3
            @staticmethod
            def check_output(*args, **kwargs):
                return Answer()

        d.subprocess = Tool
        print(d.gpu_stats())
        """
    )
    assert out == "GPU 45\u00b0C | 1024 / 8192 MB | 30% util\n"


def test_previous_key_freed_while_the_walk_moves_on():
    # The first key is removed during its own row (another key keeps the size), so the walk holds
    # its last reference; its finalizer replaces the value of the next row, freeing that value.
    out = run_case(
        """
        import io, sys
        import korva.utils.display as d
        d.RED = d.GREEN = d.YELLOW = d.WHITE = d.BOLD = d.RESET = ""
        metrics = {}

        class Key(str):
            def __del__(self):
                metrics["Dice"] = -1.0
                [float(i) + 0.5 for i in range(1000)]  # reuse the memory of the value freed

        class Swap(float):
            def __format__(self, spec):
                del metrics[next(k for k in metrics if type(k) is Key)]
                metrics["later"] = 0.0
                return "swap"

        first = Key("OA")
        metrics[first] = Swap(0.5)
        metrics["Dice"] = float("0.25")
        del first
        sys.stdout = io.StringIO()
        try:
            d.print_results_box(metrics)
        except RuntimeError:
            pass
        rows = sys.stdout.getvalue().splitlines()
        sys.stdout = sys.__stdout__
        print(rows[5].split()[:2])
        """
    )
    assert out == "['Dice', '0.2500']\n"


def test_colour_released_by_the_lookup_is_not_returned():
    # A key of another type with the hash of "RESET", placed before it in the dict, has its __eq__
    # run inside the lookup: it rebinds RESET twice, and the first value rebinds it again and calls
    # a display function when it goes. Where a cache of the module's globals holds that first value
    # (3.11 and older), it goes after the lookup; elsewhere as soon as it is replaced, within the
    # lookup, whose result is then its RESET.
    out = run_case(
        """
        import korva.utils.display as d
        g = vars(d)
        state = {"armed": False, "depth": 0}

        class Colour(str):
            def __del__(self):
                if state["depth"] == 1:
                    state["depth"] = 2
                    g["RESET"] = "\\x1b[0m"
                    d._c("inner")

        class Collider:
            def __hash__(self):
                return hash("RESET")
            def __eq__(self, other):
                if state["armed"] and state["depth"] == 0:
                    state["depth"] = 1
                    g["RESET"] = Colour("<first>")
                    d._c("nested")
                    g["RESET"] = Colour("<second>")
                return False

        reset = g.pop("RESET")
        g[Collider()] = 0
        g["RESET"] = reset
        state["armed"] = True
        print(repr(d._c("x")))
        """
    )
    assert out in ("'x<second>'\n", "'x\\x1b[0m'\n")


@pytest.mark.parametrize(
    "call",
    [
        'd.epoch_bar(3, 10, 0.25); d.print_results_box({"OA": 0.5})',
        'd.print_results_box({"OA": Nested(0.5)})',
    ],
    ids=["calls", "nested calls"],
)
def test_daemon_thread_ended_inside_a_call_at_exit(call):
    # Interpreters before 3.14 end a daemon thread that asks for the lock while the interpreter
    # shuts down by unwinding its C stack, our frames included, without the lock: the process
    # must still exit as usual.
    proc = run_python(
        ENDED_AT_EXIT
        + textwrap.dedent(
            f"""
            import sys
            import korva.utils.display as d

            class Nested(float):
                def __format__(self, spec):
                    print("nested")
                    return "x"

            def report():
                sys.stdout = Slow()
                {call}

            threading.Thread(target=report, daemon=True).start()
            inside.wait()
            """
        )
    )
    assert (proc.returncode, proc.stderr) == (0, "")
