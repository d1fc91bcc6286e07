#!/usr/bin/env bash
# Builds the package and runs the whole suite on the newest CPython releases, 3.14 and 3.15, with
# Debian unstable's interpreters, torch and NumPy in a chroot: they need a newer C library than
# this machine's.
#
# As root (it starts itself again with sudo otherwise) this installs debootstrap, makes
# build/current/chroot (minbase, with apt's Release-file validity check off) when it is missing,
# and installs there what the packages list below names; an existing chroot is kept. For each version it makes a venv in
# build/current/3.X/venv, builds a wheel there with g++'s warnings as errors, installs it and runs
# the whole suite; the pytest output is in build/current/3.X/pytest.log, and a table of times and
# test counts in build/current/summary.txt.
#
# 3.14 sees all of Debian's Python packages, torch 2.14 included, so the routing module's tests
# run. Debian's torch is built for 3.14 alone, and importing it on 3.15 fails with an ImportError
# that pytest does not take for a missing module: the 3.15 venv gets every Debian package but
# torch's, so that 3.15 runs as a machine without torch does.
#
# The chroot runs in a mount namespace of its own (unshare), so its /proc and the clone, mounted
# at the same path in there, go away with the command. CURRENT_VERSIONS="3.15" narrows the list; extra arguments go
# to pytest.
set -euo pipefail
[ "$(id -u)" = 0 ] || exec sudo "$0" "$@"
cd "$(dirname "$0")/../.."
. tools/targets/debian.sh

versions=${CURRENT_VERSIONS:-3.14 3.15}
top=build/current
chroot=$PWD/$top/chroot
packages="python3.14-dev python3.14-venv python3.15-dev python3.15-venv python3-torch python3-numpy python3-pytest
    python3-pil python3-scikit-build-core g++ cmake ninja-build"

# Runs a command in the chroot with a clean environment, in the clone. The clone keeps its path in
# there, so that what is written in one place (pytest's rewritten tests, say) holds in the other.
in_chroot() {
    local keep=() name
    # The host's OpenBLAS settings, where it has them, hold for the same processor in there.
    for name in OPENBLAS_CORETYPE OPENBLAS_L2_SIZE; do
        [ -z "${!name:-}" ] || keep+=("$name=${!name}")
    done
    unshare --mount --pid --fork --mount-proc="$chroot/proc" sh -c '
        mkdir -p "$2$1" && mount --bind "$1" "$2$1" && mount -t tmpfs tmpfs "$2/dev/shm" && root=$2 && shift 2 &&
        exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 "$@"
    ' sh "$PWD" "$chroot" "${keep[@]}" sh -c 'cd "$0" && "$@"' "$PWD" "$@"
}

make_chroot() {
    host_packages debootstrap debootstrap
    if [ ! -f "$chroot/.debootstrapped" ]; then
        rm -rf "$chroot"
        mkdir -p "$top"
        debootstrap --variant=minbase sid "$chroot" "$debian_mirror" > "$top/debootstrap.log" 2>&1 || {
            tail -n 20 "$top/debootstrap.log" >&2
            echo "debootstrap failed; log in $top/debootstrap.log" >&2
            return 1
        }
        # Unstable's Release file may be past its Valid-Until date.
        echo 'Acquire::Check-Valid-Until "false";' > "$chroot/etc/apt/apt.conf.d/99no-valid-until"
        touch "$chroot/.debootstrapped"
    fi
    local wanted
    wanted=$(echo $packages)
    if [ ! -f "$chroot/.packages" ] || [ "$(cat "$chroot/.packages")" != "$wanted" ]; then
        in_chroot apt-get update -qq
        # shellcheck disable=SC2086
        in_chroot env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $wanted \
            > "$top/apt.log" 2>&1 || { tail -n 20 "$top/apt.log" >&2; return 1; }
        echo "$wanted" > "$chroot/.packages"
    fi
}

# A venv for CPython $1, made again with the chroot's packages.
make_venv() {
    local v=$1 venv=$PWD/$top/$1/venv
    rm -rf "$top/$v/venv"
    if [ "$v" = 3.14 ]; then
        in_chroot "python$v" -m venv --system-site-packages "$venv"
    else
        in_chroot "python$v" -m venv "$venv"
        in_chroot sh -c '
            site=$("$1/bin/python" -c "import sysconfig; print(sysconfig.get_path(\"purelib\"))")
            torch=$(dpkg -L python3-torch | sed -n "s|^/usr/lib/python3/dist-packages/\([^/]*\)\$|\1|p")
            for entry in /usr/lib/python3/dist-packages/*; do
                echo "$torch" | grep -qxF "${entry##*/}" || ln -s "$entry" "$site/"
            done
        ' sh "$venv"
    fi
}

build_and_install() {
    local v=$1 dir=$PWD/$top/$1
    rm -rf "$top/$v/dist"
    in_chroot "$dir/venv/bin/python" -m pip wheel --quiet --no-index --no-build-isolation --no-deps \
        --wheel-dir "$dir/dist" --config-settings=build-dir="$dir/cmake" \
        --config-settings=cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON .
    in_chroot sh -c '"$1/venv/bin/python" -m pip install --quiet --no-index --no-deps --force-reinstall "$1"/dist/korva_native-*.whl' \
        sh "$dir"
}

t=$(now); make_chroot; chroot_s=$(since "$t")
echo "chroot: ${chroot_s}s"
summary=$top/summary.txt
printf '%-8s %-7s %-8s %-8s %s\n' python venv_s build_s tests_s result > "$summary"
failed=0
for v in $versions; do
    echo "== CPython $v (Debian unstable)"
    mkdir -p "$top/$v"
    log=$top/$v/pytest.log
    t=$(now); make_venv "$v"; venv_s=$(since "$t")
    t=$(now); build_and_install "$v"; build_s=$(since "$t")
    t=$(now)
    in_chroot "$PWD/$top/$v/venv/bin/python" -m pytest -q -p no:cacheprovider -rs "$@" > "$log" 2>&1 || failed=1
    tests_s=$(since "$t")
    grep -E '^(FAILED|ERROR|SKIPPED)' "$log" || true
    result=$(tail -n 1 "$log")
    echo "$result"
    printf '%-8s %-7s %-8s %-8s %s\n' "$v" "$venv_s" "$build_s" "$tests_s" "$result" >> "$summary"
done
cat "$summary"
[ "$failed" = 0 ] || { echo "the suite failed on at least one interpreter; logs in $top/<version>/pytest.log" >&2; exit 1; }
