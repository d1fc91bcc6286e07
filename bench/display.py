"""Times each function of korva.utils.display against a plain-Python transcription.

Every bench/reference_*.py module beside this file takes part. Each defines the
transcribed functions at module level and

    CASES = [(function_name, args_tuple, kwargs_dict), ...]

the representative calls, and may define PATCHES = {global_name: value}, module globals
bound in both the native module and the reference module while its cases run (for
example a stand-in for `subprocess`). Before timing, each case is run once on both sides
and their results and printed texts are compared; a difference is reported and makes the
script exit with status 1.

Standard output goes to a real text file (os.devnull) while timing. Each case is timed
timeit-style, as the best of several runs (native and reference runs alternate), with the call written out as ordinary source
(f(a0, a1, k=...)), so both sides pay the same call overhead. A function's time is the sum
over its cases; the line shows both times per call and the speed-up, then the median and
the minimum speed-up over all functions.

Run: python bench/display.py [--repeat N]   (against the installed or PYTHONPATH build)
"""

import argparse
import contextlib
import importlib.util
import io
import os
import statistics
import sys
import timeit
from pathlib import Path

import korva.utils.display as native

HERE = Path(__file__).resolve().parent


def load_references():
    modules = []
    for path in sorted(HERE.glob("reference_*.py")):
        spec = importlib.util.spec_from_file_location(f"bench_{path.stem}", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        modules.append(module)
    return modules


@contextlib.contextmanager
def patched(modules, patches):
    saved = []
    for module in modules:
        for name, value in patches.items():
            saved.append((module, name, getattr(module, name)))
            setattr(module, name, value)
    try:
        yield
    finally:
        for module, name, value in reversed(saved):
            setattr(module, name, value)


@contextlib.contextmanager
def stdout_to(stream):
    saved = sys.stdout
    sys.stdout = stream
    try:
        yield
    finally:
        sys.stdout = saved


def outcome(function, args, kwargs):
    """What one call returns and prints, or the exception it raises."""
    captured = io.StringIO()
    with stdout_to(captured):
        try:
            result = ("returned", function(*args, **kwargs))
        except Exception as exc:  # a transcription may differ in its failures too
            result = ("raised", type(exc).__name__, str(exc))
    return result, captured.getvalue()


def call_timer(function, args, kwargs):
    """A timeit.Timer for the call written out as source: f(a0, a1, name=k0)."""
    names = {"f": function}
    pieces = []
    for i, value in enumerate(args):
        names[f"a{i}"] = value
        pieces.append(f"a{i}")
    for i, (key, value) in enumerate(kwargs.items()):
        names[f"k{i}"] = value
        pieces.append(f"{key}=k{i}")
    return timeit.Timer(f"f({', '.join(pieces)})", globals=names)


def best_per_call(native_timer, reference_timer, repeat):
    """Best time per call of each side; their runs alternate, so that a change in the
    machine's load meets both alike."""
    native_number = native_timer.autorange()[0]
    reference_number = reference_timer.autorange()[0]
    native_best = reference_best = float("inf")
    for _ in range(repeat):
        native_best = min(native_best, native_timer.timeit(native_number) / native_number)
        reference_best = min(reference_best, reference_timer.timeit(reference_number) / reference_number)
    return native_best, reference_best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="runs per case; the best counts (default 7)")
    options = parser.parse_args()

    totals = {}  # function name -> [native seconds, reference seconds]
    mismatches = []
    with open(os.devnull, "w") as devnull:
        for reference in load_references():
            patches = getattr(reference, "PATCHES", {})
            with patched([native, reference], patches):
                for name, args, kwargs in reference.CASES:
                    ours, theirs = getattr(native, name), getattr(reference, name)
                    if outcome(ours, args, kwargs) != outcome(theirs, args, kwargs):
                        mismatches.append(f"{reference.__name__}: {name}{args!r} {kwargs!r}")
                    with stdout_to(devnull):
                        native_time, reference_time = best_per_call(
                            call_timer(ours, args, kwargs), call_timer(theirs, args, kwargs), options.repeat)
                    sums = totals.setdefault(name, [0.0, 0.0])
                    sums[0] += native_time
                    sums[1] += reference_time

    print(f"Python {sys.version.split()[0]}, {native.__file__}")
    print(f"{'function':<22}{'native':>12}{'python':>12}{'speed-up':>10}")
    speedups = []
    for name, (native_time, reference_time) in totals.items():
        speedup = reference_time / native_time
        speedups.append(speedup)
        print(f"{name:<22}{native_time * 1e9:>9.0f} ns{reference_time * 1e9:>9.0f} ns{speedup:>9.2f}x")
    if speedups:
        print(f"median speed-up {statistics.median(speedups):.2f}x, minimum {min(speedups):.2f}x")
    for line in mismatches:
        print(f"MISMATCH {line}")
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main())
