#!/usr/bin/env bash
# The routing module's tests on the oldest torch of a Debian release that still ships torch for
# x86-64 and an interpreter of ours: Debian 13's torch 2.6.0 on its CPython 3.13, natively.
#
# As root (or with sudo, for the packages that tools/debian.sh may install) this unpacks Debian 13's
# amd64 CPython 3.13 with torch, NumPy and pytest into build/trixie-amd64/sysroot and runs
# tests/tarvex with build/trixie-amd64/sysroot/usr/bin/host-python3.13, the interpreter through
# its own release's loader, against the cp313 wheel: the one `make test-matrix` built and tested
# where there is one (the wheel that `make wheels` ships), else one built here. Arguments replace
# tests/tarvex and go to pytest. Output in build/trixie-amd64/3.13/pytest.log.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/debian.sh

top=build/trixie-amd64
t=$(now); trixie_amd64_sysroot; sysroot_s=$(since "$t")
t=$(now)
rm -rf "$top/3.13/dist"
mkdir -p "$top/3.13/dist"
if ls build/matrix/3.13/dist/korva_native-*.whl > /dev/null 2>&1; then
    cp build/matrix/3.13/dist/korva_native-*.whl "$top/3.13/dist/"
else
    host_cmake
    debian_wheel "$top" 3.13 x86_64 > /dev/null
fi
build_s=$(since "$t")
t=$(now)
status=0
[ "$#" != 0 ] || set -- tests/tarvex
debian_suite "$top" 3.13 "$@" || status=$?
tests_s=$(since "$t")
echo "x86-64 CPython 3.13, torch 2.6.0: sysroot ${sysroot_s}s, wheel ${build_s}s, tests ${tests_s}s"
[ "$status" = 0 ] || { echo "the routing module's tests failed on torch 2.6.0; log in $top/3.13/pytest.log" >&2; exit 1; }
