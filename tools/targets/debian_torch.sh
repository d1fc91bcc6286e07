#!/usr/bin/env bash
# The routing module's tests on Debian's x86-64 torch releases, natively: Debian 12's torch 1.13.1
# on its CPython 3.11, the oldest torch the module is declared for, and Debian 13's 2.6.0 on its
# CPython 3.13; beside PyPI's 2.13 (make test) and unstable's 2.14 (make test-current).
#
# For each release this unpacks its amd64 CPython with torch, NumPy and pytest into
# build/RELEASE-amd64/sysroot (tools/targets/debian.sh; the host's apt and interpreter are left alone) and
# runs tests/tarvex with build/RELEASE-amd64/sysroot/usr/bin/host-python3.X, the interpreter through
# its own release's loader, against the wheel of that version: the one `make test-matrix` built and
# tested where there is one (the wheel that `make wheels` ships), else one built here. Arguments
# replace tests/tarvex and go to pytest; DEBIAN_TORCH_RELEASES=trixie narrows the list. Output in
# build/RELEASE-amd64/3.X/pytest.log.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/targets/debian.sh

[ "$#" != 0 ] || set -- tests/tarvex
failed=0
for release in ${DEBIAN_TORCH_RELEASES:-bookworm trixie}; do
    case $release in
        bookworm) version=3.11 torch=1.13.1 ;;
        trixie) version=3.13 torch=2.6.0 ;;
        *) echo "no torch of Debian $release is known here" >&2; exit 2 ;;
    esac
    top=build/$release-amd64
    t=$(now); amd64_release_sysroot "$release" "$version"; sysroot_s=$(since "$t")
    t=$(now)
    rm -rf "$top/$version/dist"
    mkdir -p "$top/$version/dist"
    if ls "build/matrix/$version/dist/"korva_native-*.whl > /dev/null 2>&1; then
        cp "build/matrix/$version/dist/"korva_native-*.whl "$top/$version/dist/"
    else
        host_cmake
        debian_wheel "$top" "$version" x86_64 > /dev/null
    fi
    build_s=$(since "$t")
    t=$(now)
    status=0
    debian_suite "$top" "$version" "$@" || status=$?
    tests_s=$(since "$t")
    echo "x86-64 CPython $version, torch $torch: sysroot ${sysroot_s}s, wheel ${build_s}s, tests ${tests_s}s"
    [ "$status" = 0 ] || { echo "the tests failed on torch $torch; log in $top/$version/pytest.log" >&2; failed=1; }
done
[ "$failed" = 0 ]
