#!/usr/bin/env bash
# Cross-builds both modules for 32-bit ARM hard-float Linux and runs the suite under qemu-arm.
#
# On a Debian host (root, or sudo) this installs Debian's cross compiler and qemu-user, fetches
# the armhf interpreter, its standard library and headers, numpy and pytest with `apt-get
# download`, and unpacks them with `dpkg -x` into build/armhf/sysroot; the host's interpreter is
# left alone. The modules are built in build/armhf/cmake with cmake/armhf.cmake, and
# build/armhf/python (the armhf interpreter under qemu-arm, also as sys.executable for child
# processes) runs the display and shared-layer tests against them. No torch exists for armhf:
# the routing module is cross-built, and its tests there are the clean failure of its import.
#
# Extra arguments go to pytest, e.g. tools/armhf.sh -k progress.
set -euo pipefail
cd "$(dirname "$0")/.."

top=$PWD/build/armhf
sysroot=$top/sysroot
debs=$top/debs
# The interpreter and what its modules load, numpy with its BLAS, and pytest with its
# dependencies (pure Python, architecture "all").
armhf_packages="libc6 libgcc-s1 libstdc++6 python3.11-minimal libpython3.11-minimal libpython3.11-stdlib
    libpython3.11-dev libexpat1 zlib1g libssl3 libbz2-1.0 libcrypt1 libffi8 liblzma5 libuuid1
    python3-numpy libblas3 liblapack3 libgfortran5"
all_packages="python3-pytest python3-pluggy python3-iniconfig python3-packaging python3-py python3-attr
    python3-more-itertools"

now() { date +%s%N; }
since() {
    local ms=$((($(now) - $1) / 1000000))
    printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100))
}
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

host_tools() {
    local updated=0
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        as_root dpkg --add-architecture armhf
    fi
    if ! command -v arm-linux-gnueabihf-g++ >/dev/null || ! command -v qemu-arm >/dev/null; then
        as_root apt-get update -qq
        updated=1
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            g++-arm-linux-gnueabihf qemu-user >/dev/null
    fi
    # apt knows the armhf packages only after an update with the architecture added.
    if [ "$updated" = 0 ] && ! apt-cache show python3.11-minimal:armhf >/dev/null 2>&1; then
        as_root apt-get update -qq
    fi
    # FindPython asks a cross-compiled target's interpreter only from CMake 4.1 on (CMP0190).
    cmake_bin=$(command -v cmake || true)
    if [ -z "$cmake_bin" ] || ! printf '4.1\n%s\n' "$("$cmake_bin" --version | sed -n 's/^cmake version //p')" \
            | sort -VC || ! command -v ninja >/dev/null; then
        [ -x "$top/tools/bin/cmake" ] || {
            python3 -m venv "$top/tools"
            "$top/tools/bin/python" -m pip install --quiet --disable-pip-version-check cmake==4.4.4 ninja==1.13.2
        }
        export PATH=$top/tools/bin:$PATH
        cmake_bin=$top/tools/bin/cmake
    fi
}

# Unpacked again whenever the package list changes.
make_sysroot() {
    local wanted
    wanted=$(echo $armhf_packages $all_packages)
    if [ -f "$sysroot/.packages" ] && [ "$(cat "$sysroot/.packages")" = "$wanted" ]; then
        return
    fi
    rm -rf "$sysroot" "$debs"
    mkdir -p "$sysroot" "$debs"
    local p names=()
    for p in $armhf_packages; do names+=("$p:armhf"); done
    for p in $all_packages; do names+=("$p"); done
    # apt-get download runs as the unprivileged _apt user where it can; a folder it may write to.
    chmod 777 "$debs"
    (cd "$debs" && apt-get download -qq "${names[@]}")
    for p in "$debs"/*.deb; do dpkg -x "$p" "$sysroot"; done
    # The reference BLAS and LAPACK under the names that Debian's alternatives would give them.
    local lib=$sysroot/usr/lib/arm-linux-gnueabihf
    ln -s blas/libblas.so.3 "$lib/libblas.so.3"
    ln -s lapack/liblapack.so.3 "$lib/liblapack.so.3"
    echo "$wanted" > "$sysroot/.packages"
}

# The armhf interpreter as a host command; with -0 its sys.executable is this script, so the
# children it starts run under qemu-arm too.
make_wrapper() {
    cat > "$top/python" <<WRAPPER
#!/bin/sh
export PYTHONHOME="$sysroot/usr"
exec qemu-arm -L "$sysroot" -0 "\$0" "$sysroot/usr/bin/python3.11" "\$@"
WRAPPER
    chmod +x "$top/python"
}

build() {
    "$cmake_bin" -S . -B "$top/cmake" -G Ninja --log-level=WARNING \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf.cmake" -DARMHF_SYSROOT="$sysroot" \
        -DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DPython_EXECUTABLE="$sysroot/usr/bin/python3.11" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    "$cmake_bin" --build "$top/cmake"
}

t=$(now); host_tools; tools_s=$(since "$t")
t=$(now); make_sysroot; make_wrapper; sysroot_s=$(since "$t")
t=$(now); build; build_s=$(since "$t")
ls "$top"/cmake/python/korva/*/*.so
t=$(now)
status=0
PYTHONPATH=$top/cmake/python "$top/python" -m pytest -q -p no:cacheprovider -rs "$@" > "$top/pytest.log" 2>&1 || status=$?
tests_s=$(since "$t")
grep -E '^(FAILED|ERROR|SKIPPED)' "$top/pytest.log" || true
tail -n 1 "$top/pytest.log"
echo "armhf: host tools ${tools_s}s, sysroot ${sysroot_s}s, cross-build ${build_s}s, tests under qemu-arm ${tests_s}s"
[ "$status" = 0 ] || { echo "the suite failed under qemu-arm; log in $top/pytest.log" >&2; exit 1; }
