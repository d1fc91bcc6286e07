#!/usr/bin/env bash
# The macOS wheels, arm64 (macOS 11 and later) and x86_64 (10.13 and later), for each CPython
# from 3.9 to 3.15: the headers of 3.9 to 3.13 come from this machine's interpreters, those of 3.14
# and 3.15 from Debian unstable's in build/sid-amd64 (unpacked here, unless
# tools/targets/matrix.sh wheels has done it).
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

# The include folder of CPython $1's headers. Debian's pyconfig.h picks the real one by the
# compiler's target, and knows no macOS: for 3.14 and 3.15, build/macos/include/<version> holds the
# headers with the x86-64 one in its place.
headers_of() {
    local v=$1 sysroot=build/sid-amd64/sysroot dir=$root/include/$1
    case $v in
        3.14 | 3.15)
            headers_with_config "$dir" "$sysroot/usr/include/python$v" \
                "$sysroot/usr/include/x86_64-linux-gnu/python$v/pyconfig.h"
            echo "$dir" ;;
        *) "$(native_python "$v")" -c 'import sysconfig; print(sysconfig.get_paths()["include"])' ;;
    esac
}

macos_wheel() {
    local v=$1 arch=$2 include=$3 native
    # Only the interpreter's version and tags reach the wheel: any CPython $v of this machine's,
    # or Debian's under its loader, gives them.
    case $v in
        3.14 | 3.15) native=$PWD/build/sid-amd64/sysroot/usr/bin/host-python$v ;;
        *) native=$(native_python "$v") ;;
    esac
    _PYTHON_HOST_PLATFORM="macosx-$(minimum_of "$arch")-$arch" SETUPTOOLS_EXT_SUFFIX=".cpython-${v/./}-darwin.so" \
        skbuild_wheel "$native" "$root/$arch/$v" "macOS $arch CPython $v" \
        cmake.python-hints=false \
        "cmake.define.CMAKE_TOOLCHAIN_FILE=$PWD/cmake/macos-$arch.cmake" \
        "cmake.define.Python_EXECUTABLE=$native" \
        "cmake.define.Python_INCLUDE_DIR=$include"
}

host_packages "$LLVM_TOOLS" llvm-16
host_cmake
zig_tools
case " $versions " in *" 3.14 "* | *" 3.15 "*) sid_amd64_sysroot ;; esac
rm -rf "$root/wheelhouse"
mkdir -p "$root/wheelhouse"
failed=0
for arch in $archs; do
    for v in $versions; do
        t=$(now)
        if whl=$(macos_wheel "$v" "$arch" "$(headers_of "$v")") && python3 tools/targets/check_binary.py "$whl"; then
            cp "$whl" "$root/wheelhouse/"
            echo "macOS $arch, CPython $v: $(basename "$whl"), $(du -k "$whl" | cut -f1) KiB ($(since "$t")s)"
        else
            failed=1
        fi
    done
done
[ "$failed" = 0 ] || { echo "a macOS wheel failed to build or its check; logs in build/macos/<arch>/<version>/" >&2; exit 1; }
