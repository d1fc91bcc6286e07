#!/bin/sh
# Builds both modules under AddressSanitizer and UndefinedBehaviorSanitizer into build/sanitize and
# runs the whole suite and several seeds of tools/random_calls.py against that build. Any report
# fails the run. Needs the virtual environment that `make test` sets up. With --build-only it
# builds and stops (tools/alloc_failure.py --build sanitize runs against the same build).
set -eu
cd "$(dirname "$0")/.."
PY="$PWD/.venv/bin/python"
BUILD="$PWD/build/sanitize"
SEEDS="${SANITIZE_SEEDS:-11 12 13}"

PATH="$PWD/.venv/bin:$PATH" cmake -S . -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$PY" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
PATH="$PWD/.venv/bin:$PATH" cmake --build "$BUILD"
[ "${1:-}" != "--build-only" ] || exit 0

# The interpreter itself is not instrumented: the runtimes are preloaded, and its own
# allocations, which it keeps until exit, are not reported as leaks. Objects go through malloc
# so that a freed one is caught when it is touched. A request beyond 2 GiB fails as MemoryError,
# as it does under the address-space cap of the release runs, instead of ending the process.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
# Locals whose address is taken live on a separate stack, which also catches a use after return:
# a thread that the interpreter ends unwinds our frames without running their epilogues, and
# marks those would leave on the thread's own stack trip the runtime's next stack check.
ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=2048:abort_on_error=1"
ASAN_OPTIONS="$ASAN_OPTIONS:detect_stack_use_after_return=1"
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
PYTHONMALLOC=malloc
PYTHONPATH="$BUILD/python"
export LD_PRELOAD ASAN_OPTIONS UBSAN_OPTIONS PYTHONMALLOC PYTHONPATH

# The modules must come from this build, not from the installed one.
"$PY" -c 'import korva.utils.display as d, korva.rssp.tarvex as t, sys
for m in (d, t):
    assert m.__file__.startswith(sys.argv[1]), m.__file__' "$BUILD"

"$PY" -m pytest -q -p no:cacheprovider
# Each refused huge request prints a warning of the sanitizer's: kept out of the way unless the run fails.
for seed in $SEEDS; do
    log="$BUILD/random_calls-$seed.log"
    "$PY" tools/random_calls.py --seed "$seed" --calls 20000 --router-calls 40 --log "$BUILD/random_calls-$seed.calls" \
        2>"$log" || { tail -n 80 "$log"; echo "random calls, seed $seed: failed (last call: $(tail -n 1 "$BUILD/random_calls-$seed.calls"))"; exit 1; }
done
