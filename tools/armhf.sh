#!/usr/bin/env bash
# Cross-builds both modules for 32-bit ARM hard-float Linux and runs the suite under qemu-arm.
#
# On a Debian host (root, or sudo) this installs Debian's cross compiler and qemu-user, and
# unpacks Debian 12's armhf CPython 3.11 with its standard library and headers, NumPy and pytest
# and all they depend on into build/armhf/sysroot (tools/debian.sh; the host's interpreter and
# apt are left alone). The wheel is built with cmake/armhf.cmake in build/armhf/3.11/cmake and
# unpacked into build/armhf/3.11/site, and build/armhf/python (the armhf interpreter under
# qemu-arm, also as sys.executable for child processes) runs the whole suite against it. No torch
# exists for armhf: the routing module is cross-built, and its tests there are the clean failure
# of its import.
#
# Extra arguments go to pytest, e.g. tools/armhf.sh -k progress.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/debian.sh

top=build/armhf

t=$(now)
host_packages "arm-linux-gnueabihf-g++ qemu-arm" g++-arm-linux-gnueabihf qemu-user
host_cmake
tools_s=$(since "$t")

t=$(now)
armhf_sysroot
sysroot_s=$(since "$t")

t=$(now); debian_wheel $top 3.11 armhf; build_s=$(since "$t")

t=$(now)
status=0
debian_suite $top 3.11 "$@" || status=$?
tests_s=$(since "$t")
echo "armhf: host tools ${tools_s}s, sysroot ${sysroot_s}s, cross-built wheel ${build_s}s, tests under qemu-arm ${tests_s}s"
[ "$status" = 0 ] || { echo "the suite failed under qemu-arm; log in $top/3.11/pytest.log" >&2; exit 1; }
