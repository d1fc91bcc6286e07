#!/usr/bin/env bash
# Cross-builds both modules for 64-bit ARM Linux and runs the tests under qemu-aarch64, on every
# arm64 interpreter Debian has: 3.9 (Debian 11, whose torch 1.7.1 is left out), 3.11 (Debian 12,
# torch 1.13.1), 3.13 (Debian 13, torch 2.6.0), 3.14 (unstable, torch 2.14) and 3.15 (unstable, no
# torch yet).
#
# On a Debian host (root, or sudo) this installs Debian's cross compiler and qemu-user, and
# unpacks each release's arm64 CPython with its standard library and headers, torch, NumPy and
# pytest and all they depend on into build/aarch64-RELEASE/sysroot, unstable's 3.14 into
# build/aarch64/sysroot and its 3.15 into build/aarch64-3.15/sysroot (tools/targets/debian.sh; the host's
# interpreter and apt are left alone), with bytecode compiled by a native CPython of the same
# version (pyenv's, or unstable's x86-64 one from build/sid-amd64). Each wheel is built with
# cmake/aarch64.cmake in build/aarch64*/3.X/cmake and unpacked into build/aarch64*/3.X/site, and
# the arm64 interpreter under qemu-aarch64 (also as sys.executable for child processes) runs the
# tests against it, with a line of the time each part took.
#
# Every interpreter that imports torch spends about a minute doing so under emulation. 3.14 runs
# the display and shared-layer tests and the random display calls whole, and of the routing
# module's tests those that train routers in the suite's own process. The others run the display
# and shared-layer tests, but for the two that start an interpreter to import torch, and one router
# trained end to end and compared with the plain-Python steps (skipped on 3.15, which has no torch
# yet, and on 3.9, whose torch 1.7.1 is older than the oldest the module is declared for and is not
# fetched). Arguments replace the choice for every interpreter and go to pytest (tools/targets/aarch64.sh
# tests runs everything, tools/targets/aarch64.sh tests/display -k progress a few); AARCH64_VERSIONS="3.9
# 3.14" narrows the list.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/targets/debian.sh

newest=(tests/display tests/pycore tests/test_random_calls.py::test_no_input_crashes_the_display_module
    tests/tarvex/test_train_router.py tests/tarvex/test_router_head.py)
# Two shared-layer tests start an interpreter that imports torch, a minute each: 3.14 runs them.
others=(tests/display tests/pycore
    --deselect "tests/pycore/test_module_frame.py::test_second_initialisation_is_refused[korva.rssp.tarvex-tarvex]"
    --deselect tests/pycore/test_function_lifetime.py::test_function_called_by_a_finalizer_while_the_collector_clears_it)
training=tests/tarvex/test_train_router.py
one_router="$training::TestSameWeightsAsPlainPython::test_generated_problems[seed2-epochs7]"

for version in ${AARCH64_VERSIONS:-$aarch64_versions}; do
    case $version in
        3.14) selection=("${newest[@]}") ;;
        # Without torch pytest finds no test inside the module, only its skip.
        3.9 | 3.15) selection=("${others[@]}" "$training") ;;
        *) selection=("${others[@]}" "$one_router") ;;
    esac
    [ "$#" = 0 ] || selection=("$@")
    emulated_target "$(aarch64_dir "$version")" "$version" aarch64 "aarch64_sysroot_of $version" g++-aarch64-linux-gnu \
        aarch64-linux-gnu-g++ qemu-aarch64 "${selection[@]}"
done
