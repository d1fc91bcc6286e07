#!/usr/bin/env bash
# Cross-builds both modules for 32-bit ARM hard-float Linux and runs the suite under qemu-arm.
#
# On a Debian host (root, or sudo) this installs Debian's cross compiler and qemu-user, and
# unpacks Debian 12's armhf CPython 3.11 with its standard library and headers, NumPy and pytest
# and all they depend on into build/armhf/sysroot (tools/targets/debian.sh; the host's interpreter and
# apt are left alone). The wheel is built with cmake/armhf.cmake in build/armhf/3.11/cmake and
# unpacked into build/armhf/3.11/site, and build/armhf/python (the armhf interpreter under
# qemu-arm, also as sys.executable for child processes) runs the whole suite against it. No torch
# exists for armhf: the routing module is cross-built, and its tests there are the clean failure
# of its import.
#
# Extra arguments go to pytest, e.g. tools/targets/armhf.sh -k progress.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/targets/debian.sh

emulated_target build/armhf 3.11 armhf armhf_sysroot g++-arm-linux-gnueabihf arm-linux-gnueabihf-g++ qemu-arm "$@"
