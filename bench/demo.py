"""Times the demo: the whole run of examples/demo.py, as `make demo` makes it, in a fresh process.

The README presents it as a short run on two cores; this prints each run's wall time and their
median against that minute. A figure only: the test suite checks what the demo shows, not how
fast a machine runs it.

    python bench/demo.py [--runs N]
"""

import argparse
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHORT_RUN_S = 60


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1)
    options = parser.parse_args()
    times = []
    for _ in range(options.runs):
        with tempfile.TemporaryDirectory() as out_dir:
            start = time.perf_counter()
            subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py"), out_dir], cwd=ROOT, check=True,
                           stdout=subprocess.DEVNULL)  # fmt: skip
            times.append(time.perf_counter() - start)
    print("demo runs: " + ", ".join(f"{t:.1f} s" for t in times))
    median = statistics.median(times)
    print(f"median {median:.1f} s: {'within' if median < SHORT_RUN_S else 'over'} the {SHORT_RUN_S} s of a short run")
    return 0


if __name__ == "__main__":
    sys.exit(main())
