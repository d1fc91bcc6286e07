#!/usr/bin/env bash
# Builds and runs what this machine can of the platforms beyond GCC on Linux:
#
# - tools/platform_check.cpp, the platform layer alone (stack bounds on the main thread and on
#   another, the guard's floor, the plain C++ overflow checks), built with each toolchain here and
#   run: g++; g++ without stack bounds; clang with libc++; mingw-w64's g++ for Windows, linked
#   statically and run under wine. macOS's branch is compiled with the modules by
#   tools/targets/macos.sh (make wheels), never run.
# - both modules built with clang and libc++ (macOS's C++ runtime), warnings as errors, in
#   build/clang, and the whole suite against them;
# - both modules built without stack bounds (KORVA_STACK_BOUNDS=none, what a system with no way to
#   read them gets), warnings as errors, in build/stack-none, and the display and shared-layer
#   suites (nesting on every thread stack size among them) and the random calls against them.
#
# Installs Debian's clang, libc++, mingw-w64 and wine where they are missing (as root, or with
# sudo). Needs the virtual environment that `make test` sets up. Prints a line per step with its
# time; the build's and pytest's output are in build/clang/ and build/stack-none/. Arguments go to both suites' pytest.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/targets/debian.sh

PY=$PWD/.venv/bin/python
CLANG=clang++-16
WINE=/usr/lib/wine/wine64
top=build/platforms
failed=0
summary=()

host_packages "$CLANG x86_64-w64-mingw32-g++-posix $WINE" clang-16 libc++-16-dev libc++abi-16-dev \
    g++-mingw-w64-x86-64-posix wine64
mkdir -p "$top"

# The check program built by `compiler...` as $top/$1, run by the command in $2 (empty: natively).
check_program() {
    local name=$1 runner=$2 t out
    shift 2
    t=$(now)
    if "$@" -std=c++20 -O2 -Wall -Wextra -Werror -o "$top/$name" tools/platform_check.cpp src/pycore/platform.cpp \
            && out=$($runner "$top/$name"); then
        summary+=("check program, $name: $out ($(since "$t")s)")
    else
        summary+=("check program, $name: FAILED ${out:-} ($(since "$t")s)")
        failed=1
    fi
}

# Both modules built in build/$1 with the CMake arguments that follow.
build_modules() {
    local dir=$PWD/build/$1
    shift
    mkdir -p "$dir"
    PATH="$PWD/.venv/bin:$PATH" cmake -S . -B "$dir" -G Ninja -DPython_EXECUTABLE="$PY" \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log" >&2; return 1; }
    PATH="$PWD/.venv/bin:$PATH" cmake --build "$dir" > "$dir/build.log" 2>&1 || { tail -n 40 "$dir/build.log" >&2; return 1; }
}

# pytest against the modules of build/$1 (they, not the installed ones, must be the ones imported).
suite() {
    local name=$1 dir=$PWD/build/$1 status=0
    shift
    PYTHONPATH=$dir/python "$PY" -c 'import korva.utils.display as d, korva.rssp.tarvex as t, sys
for m in (d, t):
    assert m.__file__.startswith(sys.argv[1]), m.__file__' "$dir/python"
    PYTHONPATH=$dir/python "$PY" -m pytest -q -p no:cacheprovider -rs "$@" > "$dir/pytest.log" 2>&1 || status=$?
    grep -E '^(FAILED|ERROR|SKIPPED)' "$dir/pytest.log" || true
    tail -n 1 "$dir/pytest.log"
    return "$status"
}

step() {  # step NAME COMMAND...: runs it, keeps its time and outcome for the summary
    local name=$1 t
    shift
    t=$(now)
    if "$@"; then
        summary+=("$name: passed ($(since "$t")s)")
    else
        summary+=("$name: FAILED ($(since "$t")s)")
        failed=1
    fi
}

check_program linux-gcc "" g++ -pthread
check_program linux-gcc-no-bounds "" g++ -pthread -DPYCORE_STACK_BOUNDS_NONE
check_program linux-clang-libc++ "" "$CLANG" -stdlib=libc++ -pthread
# The program's own prefix, so that wine neither needs nor touches the user's.
WINEPREFIX=$PWD/$top/wine WINEDEBUG=-all check_program windows-mingw.exe "$WINE" \
    x86_64-w64-mingw32-g++-posix -static

step "clang $($CLANG -dumpversion) with libc++, build" build_modules clang -DCMAKE_CXX_COMPILER="$CLANG" \
    -DCMAKE_CXX_FLAGS=-stdlib=libc++
step "clang with libc++, the whole suite" suite clang "$@"

step "without stack bounds, build" build_modules stack-none -DKORVA_STACK_BOUNDS=none
KORVA_TEST_STACK_BOUNDS=none step "without stack bounds, display and shared-layer suites, random calls" \
    suite stack-none tests/display tests/pycore tests/test_random_calls.py "$@"

printf '%s\n' "${summary[@]}"
[ "$failed" = 0 ] || { echo "a platform step failed; logs in build/clang, build/stack-none" >&2; exit 1; }
