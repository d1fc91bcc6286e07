#!/bin/sh
# Builds both modules with gcov's counters (g++ --coverage, -O0 so that each line keeps its own code)
# into build/coverage, runs the whole suite and the allocation-failure run against that build, and
# prints a table of the lines, branches and functions of src/ that ran, file by file, from gcovr.
# Fails below the floors. Needs the virtual environment that `make test` sets up; gcovr gets a
# virtual environment of its own in build/coverage/gcovr. With --report it only reports the counters
# that the last run left. The lines that did not run are listed in build/coverage/lines.txt.
set -eu
cd "$(dirname "$0")/.."
PY="$PWD/.venv/bin/python"
BUILD="$PWD/build/coverage"
GCOVR_PIN="gcovr==8.8"
LINE_FLOOR=97.5
BRANCH_FLOOR=87

if [ "${1:-}" != "--report" ]; then
    # The modules export __gcov_dump, which the allocation-failure children call before os._exit.
    PATH="$PWD/.venv/bin:$PATH" cmake -S . -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$PY" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_FLAGS="--coverage -O0" \
        -DCMAKE_MODULE_LINKER_FLAGS="--coverage -Wl,--undefined=__gcov_dump" >/dev/null
    PATH="$PWD/.venv/bin:$PATH" cmake --build "$BUILD"
    find "$BUILD" -name '*.gcda' -delete

    PYTHONPATH="$BUILD/python" "$PY" -c 'import korva.utils.display as d, korva.rssp.tarvex as t, sys
for m in (d, t):
    assert m.__file__.startswith(sys.argv[1]), m.__file__' "$BUILD"
    PYTHONPATH="$BUILD/python" "$PY" -m pytest -q -p no:cacheprovider
    "$PY" tools/alloc_failure.py --build release --modules "$BUILD/python"
fi

if [ ! -x "$BUILD/gcovr/bin/gcovr" ]; then
    "$PY" -m venv "$BUILD/gcovr"
    "$BUILD/gcovr/bin/python" -m pip install --quiet --disable-pip-version-check "$GCOVR_PIN"
fi
# Branches taken only by a thrown exception are left out: each call of a function that can throw
# has one, and none of them is a decision of ours.
rm -f "$BUILD/summary.json" "$BUILD/lines.txt"
"$BUILD/gcovr/bin/gcovr" --root . --filter 'src/' --gcov-exclude-directories '.*/CompilerId' --exclude-throw-branches \
    --json-summary "$BUILD/summary.json" --txt "$BUILD/lines.txt" \
    --fail-under-line "$LINE_FLOOR" --fail-under-branch "$BRANCH_FLOOR" || failed=1
"$PY" - "$BUILD/summary.json" "$LINE_FLOOR" "$BRANCH_FLOOR" <<'EOF'
import json, sys

summary = json.load(open(sys.argv[1]))


def cell(covered, total):
    return f"{covered:>5}/{total:<5} {100 * covered / total if total else 100:5.1f}%"


print(f"{'file':<28}  {'lines':^19}  {'branches':^19}  {'functions':^19}")
for f in sorted(summary["files"], key=lambda f: f["filename"]):
    print(f"{f['filename']:<28}  {cell(f['line_covered'], f['line_total'])}  "
          f"{cell(f['branch_covered'], f['branch_total'])}  {cell(f['function_covered'], f['function_total'])}")
s = summary
print(f"{'all of src/':<28}  {cell(s['line_covered'], s['line_total'])}  {cell(s['branch_covered'], s['branch_total'])}  "
      f"{cell(s['function_covered'], s['function_total'])}")
print(f"floors: {sys.argv[2]}% of lines, {sys.argv[3]}% of branches")
EOF
echo "the lines that did not run, file by file: build/coverage/lines.txt"
[ -z "${failed:-}" ] || { echo "coverage: below the floors"; exit 1; }
echo "coverage: passed"
