"""Calls the public functions of both native modules with random and hostile arguments.

No input may crash the interpreter: every call either returns or raises an exception. This
script makes many seeded calls: arguments drawn by each parameter's annotation (mostly the
right type, with awkward values: NaN, infinities, huge ints, surrogates, empty texts), now and
then objects whose __format__, __mul__, comparisons or __repr__ run code that rebinds the
display module's globals or changes the containers being walked, and display globals rebound
to odd values between calls. The routing module gets small random training problems with
mismatched shapes, dtypes, devices and node layouts.

A crash ends the process with a signal (faulthandler prints where); otherwise the script
prints how the calls ended and exits 0. With --log FILE each call is written there before it
runs, so the last line names the call that crashed. The address space is capped (--memory)
so that a bar of billions of cells fails with MemoryError rather than exhausting the machine;
under AddressSanitizer, which cannot start under a cap, its allocator's size limit does that,
and under qemu-user, which ignores the cap, the emulated address space's size (QEMU_RESERVED_VA).

Run: python tools/random_calls.py [--seed N] [--calls N] [--router-calls N] [--memory GIB] [--log FILE]
"""

import argparse
import collections
import contextlib
import decimal
import faulthandler
import fractions
import gc
import inspect
import io
import os
import random
import resource
import sys
import warnings


def hostile_objects(rng, module_dict, pool):
    """Objects that run code of their own in the middle of a call."""
    names = ["RED", "GREEN", "YELLOW", "RESET", "BOLD", "CYAN", "DIM", "_c", "BAR_WIDTH"]

    class RebindingFormat:
        def __format__(self, spec):
            module_dict[rng.choice(names)] = rng.choice(pool)
            if rng.random() < 0.3:
                raise ValueError("from __format__")
            return rng.choice(["x", "\u2500", "\U0001f600", "", "a" * 300])

    class DeletingInt(int):
        def __format__(self, spec):
            module_dict.pop(rng.choice(names), None)
            return "E"

        def __add__(self, other):
            gc.collect()
            return rng.choice(pool)

        def __mul__(self, other):
            return rng.choice(pool)

    class OddFloat(float):
        def __mul__(self, other):
            return rng.choice([0, 3, -2, 20, float("nan"), "x", None, 2**70])

        def __ge__(self, other):
            module_dict["GREEN"] = rng.choice(pool)
            return rng.choice([True, False, NotImplemented, 0])

        def __lt__(self, other):
            raise RuntimeError("from __lt__")

        def __float__(self):
            return rng.choice([1.0, float("nan")])

    class OddStr(str):
        def __format__(self, spec):
            return 5

        def __contains__(self, item):
            raise KeyError("from __contains__")

    class Mutating:
        """Clears and refills the container it was put in while that container is walked."""

        def __init__(self, target):
            self.target = target

        def __format__(self, spec):
            if isinstance(self.target, dict):
                self.target.clear()
                self.target.update({i: i / 50 for i in range(50)})
            else:
                self.target[:] = range(40)
            return "m"

        def __repr__(self):
            if isinstance(self.target, list):
                self.target.clear()
            return "r"

    class BadRepr:
        def __repr__(self):
            return 3

    class HugeIndex:
        def __index__(self):
            return 2**80

        def __int__(self):
            raise OverflowError("from __int__")

    def rebinding_c(*args):
        if rng.random() < 0.1:
            module_dict.pop("RESET", None)
        return rng.choice(pool)

    shared_list, shared_dict = [1, 2, 3], {1: 0.5, 2: 0.25}
    return [
        RebindingFormat(), DeletingInt(3), OddFloat(0.5), OddStr("focal"), BadRepr(), HugeIndex(), rebinding_c,
        Mutating(shared_list), Mutating(shared_dict), shared_list, shared_dict,
        {1: OddFloat(0.3)}, {DeletingInt(1): 0.4}, {1: Mutating(shared_dict)}, [(Mutating(shared_list), 1)],
        {"mIoU": float("nan"), "OA": OddFloat(0.9), "Dice": RebindingFormat()}, [BadRepr(), 1],
    ]


def plain_values():
    import numpy as np

    ints = [0, 1, -1, 2, 24, 100, 2**31, 2**63 - 1, 2**63, -(2**63) - 1, 10**30, True, np.int64(5), -3]
    floats = [0.0, -0.0, 0.5, 0.9999, 1.0, float("nan"), -float("nan"), float("inf"), -float("inf"), 1e300, 5e-324,
              np.float32(0.9), np.float64("nan"), decimal.Decimal("0.9"), decimal.Decimal("NaN"), fractions.Fraction(1, 3)]
    strs = ["", "root", "root/left", "\u2500" * 3, "\U0001f600", "a\x00b", "it's", "\ud800", "x" * 600, "focal", "bce",
            "a b$c", "\u00e9"]
    return {
        "int": ints,
        "float": floats + ints[:4],
        "str": strs,
        "list": [[], [1, 2, 3], [1, "a", 2.5, None], list(range(100)), [2**70, -0.0, float("nan")]],
        "dict": [{}, {1: 0.5}, {0: 0.9, 1: float("nan"), 2: -float("inf")}, {"mIoU": 0.6, "OA": 0.95, "Dice": 0.2},
                 {i: i / 30 for i in range(30)}, {1: 10**30}, {"a": "b"}],
        "items": [[], [("a", 1)], [("k", "v"), (1, 2.5)], [(1,)], [1], [(1, 2, 3)], [("\u2500" * 40, "x" * 200)]],
        "other": [None, b"bytes", (1, 2), object(), 1j, np.array([1.0, 2.0])],
    }


def draw(rng, annotation, values, hostile):
    """An argument for a parameter annotated `annotation`: usually of that type."""
    if rng.random() < 0.08:
        return rng.choice(hostile)
    if rng.random() < 0.07:
        return rng.choice(values["other"] + values["int"] + values["str"])
    if "None" in annotation and rng.random() < 0.3:
        return None
    for key in ("int", "float", "str"):
        if annotation.startswith(key):
            return rng.choice(values[key])
    if annotation.startswith("list[tuple"):
        return rng.choice(values["items"])
    if annotation.startswith("list"):
        return rng.choice(values["list"])
    if annotation.startswith("dict"):
        return rng.choice(values["dict"])
    return rng.choice(values["other"] + values["str"] + values["float"])


def display_calls(rng, count, log):
    import korva.utils.display as display

    module_dict = vars(display)
    original = dict(module_dict)
    values = plain_values()
    pool = [v for group in values.values() for v in group]
    hostile = hostile_objects(rng, module_dict, pool)
    pool += hostile
    globals_to_rebind = ["RED", "GREEN", "YELLOW", "RESET", "BOLD", "CYAN", "DIM", "GRAY", "WHITE", "MAGENTA", "BLUE",
                         "_c", "BAR_WIDTH"]
    functions = [(name, value, inspect.signature(value)) for name, value in sorted(original.items())
                 if callable(value) and name not in ("subprocess", "gpu_stats") and not name.startswith("__")]

    def restore():
        module_dict.clear()
        module_dict.update(original)

    outcomes = collections.Counter()
    sink = io.StringIO()
    for n in range(count):
        name, function, signature = rng.choice(functions)
        params = list(signature.parameters.values())
        args, kwargs = [], {}
        skipped = False
        for p in params:
            if p.kind is p.VAR_POSITIONAL:
                args += [draw(rng, "str", values, hostile) for _ in range(rng.randint(0, 3))]
            elif p.default is not p.empty and rng.random() < 0.5:
                skipped = True  # the parameters after it go by keyword
            else:
                value = draw(rng, str(p.annotation), values, hostile)
                if skipped or kwargs or rng.random() < 0.15:
                    kwargs[p.name] = value
                else:
                    args.append(value)
        if rng.random() < 0.05:  # one argument too many
            if rng.random() < 0.5:
                args.append(1)
            else:
                kwargs["unknown"] = 1
        if rng.random() < 0.05 and args:
            args.pop()
        if rng.random() < 0.2:
            module_dict[rng.choice(globals_to_rebind)] = rng.choice(pool)
        if log:
            log.write(f"{n} {name} {len(args)} positional, keywords {sorted(kwargs)}\n")
            log.flush()
        with contextlib.redirect_stdout(sink):
            try:
                function(*args, **kwargs)
                outcomes["returned"] += 1
            except Exception as exc:
                outcomes[type(exc).__name__] += 1
        if rng.random() < 0.2:
            restore()
        if n % 256 == 0:
            sink.seek(0)
            sink.truncate()
    restore()
    return outcomes


def router_calls(rng, count, log):
    import numpy as np
    import torch
    from korva.rssp import tarvex

    torch.set_num_threads(1)
    np_rng = np.random.default_rng(rng.randrange(2**32))
    class_lists = [[1], [2], [], [1, 2], [0, 1, 2, 3], [2**70], [1.0], [True], ["a"], [np.int64(1)], [-1], [2.0**53],
                   [[1]]]

    def node():
        sides = {"left": {"classes": rng.choice(class_lists)}, "right": {"classes": rng.choice(class_lists)}}
        if rng.random() < 0.8:
            return sides
        return rng.choice([{}, {"left": {}}, None, [], {"left": {"classes": 5}, "right": sides["right"]}])

    def labels(h, w):
        t = torch.from_numpy(np_rng.integers(0, 4, (h, w)))
        if rng.random() < 0.7:
            return t
        return rng.choice([t.to(torch.int32), t.to(torch.uint8), t.float(), t.bool(), t.reshape(-1), t.numpy(),
                           torch.empty(0), t.to("meta"), t.t(), t[:, ::2], None])

    def coords(h, w, k):
        c = np.stack([np_rng.integers(0, h, k), np_rng.integers(0, w, k)], 1)
        if rng.random() < 0.8:
            return c
        return rng.choice([c.astype(np.int32), c.astype(np.uint64), c.astype(np.float64), c[:, :1], c.reshape(-1),
                           np.empty((0, 2), np.int64), c + 100, -c - 1, torch.from_numpy(c), c.tolist(), c[::-1]])

    def fp_map(h, w, d):
        f = torch.randn(h, w, d)
        if rng.random() < 0.8:
            return f
        return rng.choice([f.double(), f[..., :1], f.reshape(h * w, d), f.numpy(), f.to("meta"),
                           torch.randn(h, w, d + 1), f.requires_grad_(), f.to(torch.bfloat16)])

    outcomes = collections.Counter()
    sink = io.StringIO()
    for n in range(count):
        h, w, d = rng.randint(1, 6), rng.randint(1, 6), rng.randint(1, 4)
        args = [node(), labels(h, w), coords(h, w, rng.randint(0, 20)), coords(h, w, rng.randint(0, 8)), fp_map(h, w, d)]
        # Odd settings three times in ten; otherwise each is of its type and plausible. Epochs is
        # a loop count: a huge positive one would train for ever, as any Python loop would.
        odd = rng.random() < 0.3
        kwargs = {"d_model": rng.choice([d, 0, -1, 2.5, True, "3", 2**70, np.int64(d)]) if odd else d,
                  "epochs": rng.choice([0, -5, 1.9, True, -(2**70), np.int32(2), "2", None]) if odd else rng.randint(1, 3),
                  "device": rng.choice(["meta", "bogus", 0, None, torch.device("cpu")]) if odd else "cpu"}
        if rng.random() < 0.5:
            kwargs["lr"] = rng.choice([0, -1.0, float("nan"), float("inf"), "x", 1, 2**2000, np.float32(0.1)]) if odd else 0.01
        if log:
            log.write(f"{n} train_router {kwargs!r}\n")
            log.flush()
        try:
            with contextlib.redirect_stdout(sink):
                router = tarvex.train_router(*args, **kwargs)
            outcomes["trained" if router is not None else "returned None"] += 1
            if router is not None:
                router(torch.randn(rng.randint(0, 3), d))
                router(torch.randn(1, d, 2, 2))
        except Exception as exc:
            outcomes[type(exc).__name__] += 1
        if rng.random() < 0.2:
            try:
                head = tarvex.SSSRRouter(rng.choice([0, 1, 3, -1, 2.5, "a", None, 2**40, True]))
                head(rng.choice([torch.randn(2, 3), torch.randn(1, 3, 2, 2), torch.randn(3), torch.empty(0), None, 5]))
                outcomes["head ran"] += 1
            except Exception as exc:
                outcomes[f"head {type(exc).__name__}"] += 1
        if n % 64 == 0:
            sink.seek(0)
            sink.truncate()
    return outcomes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--calls", type=int, default=100_000, help="display calls (default 100000)")
    parser.add_argument("--router-calls", type=int, default=300, help="train_router calls (default 300)")
    parser.add_argument("--memory", type=int, default=2,
                        help="address space cap in GiB (default 2; 0: none; never under AddressSanitizer)")
    parser.add_argument("--log", help="write each call here before it runs")
    options = parser.parse_args()

    # AddressSanitizer reserves terabytes of address space for itself and cannot run under a cap;
    # its allocator's own size limit plays the cap's part there.
    under_asan = "libasan" in os.environ.get("LD_PRELOAD", "")
    if options.memory > 0 and not under_asan:
        cap = options.memory << 30
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
        ignored = resource.getrlimit(resource.RLIMIT_AS)[0] != cap
        if ignored and sys.maxsize > 2**32 and "QEMU_RESERVED_VA" not in os.environ:
            # qemu-user accepts the cap and keeps it from the emulated program; there the size of
            # the program's address space is QEMU_RESERVED_VA, read at start: start again with it.
            # A 32-bit program's address space is small enough as it is (and qemu-arm 7.2 aborts
            # with a reserve below 4 GiB).
            env = dict(os.environ, QEMU_RESERVED_VA=f"{options.memory}G")
            os.execve(sys.executable, [sys.executable, *sys.argv], env)
    faulthandler.enable()
    warnings.simplefilter("ignore")
    rng = random.Random(options.seed)
    with open(options.log, "w") if options.log else contextlib.nullcontext() as log:
        for label, run, count in (("display", display_calls, options.calls),
                                  ("router", router_calls, options.router_calls)):
            if count > 0:
                outcomes = run(rng, count, log)
                summary = ", ".join(f"{kind} {n}" for kind, n in outcomes.most_common())
                print(f"{label}: {count} calls, seed {options.seed}: {summary}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
