#!/usr/bin/env bash
# Cross-builds both modules for 64-bit ARM Linux and runs the suite under qemu-aarch64.
#
# On a Debian host (root, or sudo) this installs Debian's cross compiler and qemu-user, and
# unpacks Debian unstable's arm64 CPython 3.14 with its standard library and headers, torch,
# NumPy and pytest and all they depend on into build/aarch64/sysroot (tools/debian.sh; the host's
# interpreter and apt are left alone), with bytecode compiled by the same release's x86-64
# CPython 3.14 from build/sid-amd64. The wheel is built with cmake/aarch64.cmake in
# build/aarch64/3.14/cmake and unpacked into build/aarch64/3.14/site, and build/aarch64/python
# (the arm64 interpreter under qemu-aarch64, also as sys.executable for child processes) runs the
# tests against it.
#
# Every interpreter that imports torch spends about a minute doing so under emulation, so by
# default this runs the display and shared-layer tests and the random display calls whole, and
# of the routing module's tests those that train routers in the suite's own process.
# Arguments replace that choice and go to pytest: tools/aarch64.sh tests (everything, about 35
# minutes), tools/aarch64.sh tests/display -k progress.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/debian.sh

selection=(tests/display tests/pycore tests/test_random_calls.py::test_no_input_crashes_the_display_module
    tests/tarvex/test_train_router.py tests/tarvex/test_router_head.py)
[ "$#" = 0 ] || selection=("$@")
emulated_target build/aarch64 3.14 aarch64 aarch64_sysroot g++-aarch64-linux-gnu aarch64-linux-gnu-g++ qemu-aarch64 \
    "${selection[@]}"
