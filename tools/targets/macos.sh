#!/usr/bin/env bash
# The macOS wheels, arm64 (macOS 11 and later) and x86_64 (10.13 and later), for each CPython
# whose headers are at hand: 3.9 to 3.13 from this machine's interpreters, 3.14 and 3.15 from
# Debian unstable's in build/sid-amd64 (tools/targets/matrix.sh wheels unpacks them) where present.
#
# Each is built by scikit-build-core with cmake/macos-<arch>.cmake (zig's clang, libc++ and
# libSystem stubs), warnings as errors, in build/macos/<arch>/<version>/; on 64-bit macOS the
# sizes and features in those Linux headers' pyconfig.h are the same. The modules resolve the
# interpreter's symbols when it loads them (-undefined dynamic_lookup). tools/targets/check_binary.py
# checks each module's architecture, minimum macOS, libraries and exports against the wheel's tag.
# No macOS machine or emulator can be reached from here: these wheels are built, never run, and so
# go to build/macos/wheelhouse/, not build/wheelhouse/.
#
# MACOS_VERSIONS="3.13" and MACOS_ARCHS="arm64" narrow the lists.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/targets/debian.sh
. tools/targets/zig.sh

versions=${MACOS_VERSIONS:-3.9 3.10 3.11 3.12 3.13 3.14 3.15}
archs=${MACOS_ARCHS:-arm64 x86_64}
root=$PWD/build/macos
LLVM_TOOLS="llvm-readobj-16 llvm-objdump-16"

minimum_of() {
    case $1 in
        arm64) echo 11.0 ;;
        x86_64) echo 10.13 ;;
    esac
}

# The include folder of CPython $1's headers, and the flags that reach the rest of them; nothing
# when none is at hand.
headers_of() {
    local v=$1 sysroot=$PWD/build/sid-amd64/sysroot native
    case $v in
        3.14 | 3.15)
            # Debian's pyconfig.h includes <x86_64-linux-gnu/python3.X/pyconfig.h>.
            [ -f "$sysroot/usr/include/python$v/Python.h" ] || return 0
            echo "$sysroot/usr/include/python$v" "-isystem $sysroot/python-include" ;;
        *)
            native=$(native_python "$v") || return 0
            "$native" -c 'import sysconfig; print(sysconfig.get_paths()["include"])' ;;
    esac
}

macos_wheel() {
    local v=$1 arch=$2 include=$3 flags=$4 out=$root/$2/$1 site native
    site=$(pep517_tools)
    # Only the interpreter's version and tags reach the wheel: any CPython $v of this machine's,
    # or Debian's under its loader, gives them.
    case $v in
        3.14 | 3.15) native=$PWD/build/sid-amd64/sysroot/usr/bin/host-python$v ;;
        *) native=$(native_python "$v") ;;
    esac
    rm -rf "$out/dist"
    mkdir -p "$out/dist"
    if ! _PYTHON_HOST_PLATFORM="macosx-$(minimum_of "$arch")-$arch" \
            SETUPTOOLS_EXT_SUFFIX=".cpython-${v/./}-darwin.so" PYTHONPATH=$site \
            "$native" - "$out" "$PWD/cmake/macos-$arch.cmake" "$include" "$flags" "${v/./}" > "$out/wheel.log" 2>&1 <<'PYTHON'
import sys
from scikit_build_core.build import build_wheel

out, toolchain, include, flags, tag = sys.argv[1:]
build_wheel(f"{out}/dist", {
    "build-dir": f"{out}/cmake",
    "cmake.python-hints": "false",
    "cmake.define.CMAKE_TOOLCHAIN_FILE": toolchain,
    "cmake.define.Python_EXECUTABLE": sys.executable,
    "cmake.define.Python_INCLUDE_DIR": include,
    "cmake.define.Python_SOABI": f"cpython-{tag}-darwin",
    "cmake.define.CMAKE_CXX_FLAGS": flags,
    "cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR": "ON",
})
PYTHON
    then
        tail -n 40 "$out/wheel.log" >&2
        echo "the macOS $arch wheel for CPython $v failed to build; log in $out/wheel.log" >&2
        return 1
    fi
    ls "$out"/dist/korva_native-*.whl
}

host_packages "$LLVM_TOOLS" llvm-16
host_cmake
zig_tools
rm -rf "$root/wheelhouse"
mkdir -p "$root/wheelhouse"
failed=0
for arch in $archs; do
    for v in $versions; do
        read -r include flags <<< "$(headers_of "$v")"
        if [ -z "$include" ]; then
            echo "macOS $arch, CPython $v: no headers at hand, not built"
            continue
        fi
        t=$(now)
        if whl=$(macos_wheel "$v" "$arch" "$include" "${flags:-}") && python3 tools/targets/check_binary.py "$whl"; then
            cp "$whl" "$root/wheelhouse/"
            echo "macOS $arch, CPython $v: $(basename "$whl"), $(du -k "$whl" | cut -f1) KiB ($(since "$t")s)"
        else
            failed=1
        fi
    done
done
[ "$failed" = 0 ] || { echo "a macOS wheel failed to build or its check; logs in build/macos/<arch>/<version>/" >&2; exit 1; }
