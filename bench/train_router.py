"""Times train_router against its plain-Python transcription on the CPU, one thread.

Each size runs both versions in interleaved pairs (alternating which goes first) from the
same seed, checks that they return the same weights, and prints the median times and the
median over pairs of reference / native (above 1.0: the native module is faster), both as
elapsed time and as the calling thread's CPU time.

    python bench/train_router.py [--repeats N]
"""

import argparse
import contextlib
import io
import pathlib
import statistics
import sys
import time

import numpy as np
import torch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "tarvex"))

from korva.rssp.tarvex import train_router  # noqa: E402
from reference_router import reference_train_router  # noqa: E402

D_MODEL = 64
NODE = {"left": {"classes": [0, 1, 2]}, "right": {"classes": [3, 4]}}

# (training pixels, validation pixels, epochs)
SIZES = [(300, 100, 200), (4_000, 1_000, 200), (100_000, 25_000, 1)]


def make_scene(n_train, n_val, seed=0):
    """A label map holding only the node's classes, so every coordinate is a training pixel."""
    rng = np.random.default_rng(seed)
    side = int(np.ceil(np.sqrt(n_train + n_val)))
    labels = torch.from_numpy(rng.integers(0, 5, size=(side, side)).astype(np.int64))
    offsets = rng.standard_normal((5, D_MODEL)).astype(np.float32)
    fp = rng.standard_normal((side, side, D_MODEL)).astype(np.float32) + offsets[labels.numpy()]
    coords = np.stack(np.meshgrid(np.arange(side), np.arange(side), indexing="ij"), -1).reshape(-1, 2)
    coords = coords[rng.permutation(len(coords))].astype(np.int64)
    return labels, coords[:n_train], coords[n_train:n_train + n_val], torch.from_numpy(fp)


def timed(fn, scene, epochs):
    """(wall seconds, CPU seconds of this thread, router) of one call."""
    torch.manual_seed(0)
    sink = io.StringIO()
    wall, cpu = time.perf_counter(), time.thread_time()
    with contextlib.redirect_stdout(sink):
        router = fn(NODE, *scene, d_model=D_MODEL, epochs=epochs, lr=0.001, device="cpu")
    return time.perf_counter() - wall, time.thread_time() - cpu, router


def compare(first, second, scene, epochs, repeats, check_weights=True):
    """Median times of both and the median over interleaved pairs of second / first."""
    # One untimed pair: first-call costs (allocator, imports) fall on neither side.
    timed(first, scene, epochs)
    timed(second, scene, epochs)
    times = ([], [])
    for rep in range(repeats):
        order = [0, 1] if rep % 2 == 0 else [1, 0]
        states = [None, None]
        for side in order:
            wall, cpu, router = timed((first, second)[side], scene, epochs)
            times[side].append((wall, cpu))
            states[side] = router.state_dict()
        a, b = states
        if check_weights and any(not torch.equal(a[k], b[k]) for k in a):
            sys.exit("native and reference weights differ")
    medians = [statistics.median(t[i] for t in side) for side in times for i in (0, 1)]
    # The two runs of a pair share the machine's conditions: compare within pairs.
    ratios = [statistics.median(s[i] / f[i] for f, s in zip(*times)) for i in (0, 1)]
    return medians, ratios


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=15)
    parser.add_argument("--noise", action="store_true",
                        help="also pair the native module with itself, to show the noise floor of the ratio")
    args = parser.parse_args()
    torch.set_num_threads(1)

    print(f"torch {torch.__version__}, numpy {np.__version__}, 1 thread, median of {args.repeats} interleaved pairs")
    print("wall: elapsed seconds; cpu: this thread's CPU seconds (steadier on a shared machine)")
    print(f"{'train px':>9} {'val px':>7} {'epochs':>6} {'native wall':>12} {'ref wall':>9} {'ratio':>6}"
          f" {'native cpu':>11} {'ref cpu':>8} {'ratio':>6}")
    for n_train, n_val, epochs in SIZES:
        scene = make_scene(n_train, n_val)
        (wall_n, cpu_n, wall_r, cpu_r), (wall_ratio, cpu_ratio) = compare(
            train_router, reference_train_router, scene, epochs, args.repeats)
        print(f"{n_train:>9} {n_val:>7} {epochs:>6} {wall_n:>12.4f} {wall_r:>9.4f} {wall_ratio:>6.3f}"
              f" {cpu_n:>11.4f} {cpu_r:>8.4f} {cpu_ratio:>6.3f}")
        if args.noise:
            _, (wall_ratio, cpu_ratio) = compare(train_router, train_router, scene, epochs, args.repeats)
            print(f"{'native / native':>24} {wall_ratio:>30.3f} {cpu_ratio:>27.3f}")


if __name__ == "__main__":
    main()
