# Debian's interpreters for other architectures and newer releases, as host commands, and the
# package's wheels built and tested against them. Sourced, from the repository root, by
# tools/targets/armhf.sh, tools/targets/aarch64.sh and tools/targets/matrix.sh (and by tools/targets/current.sh for its helpers).
#
#   debian_sysroot DIR SUITE ARCH PACKAGE...
#       DIR/sysroot: the packages and everything they depend on, as apt resolves them for that
#       suite and architecture, unpacked with dpkg -x. apt keeps its own state in DIR/apt, so the
#       host's apt and dpkg are not touched. Fetched again only when the arguments change.
#       Each interpreter python3.X in it gets DIR/sysroot/usr/bin/host-python3.X, which runs it on
#       this machine: under qemu-user for another architecture, or through the sysroot's own
#       dynamic loader for x86-64 (a newer release needs a newer C library than the host's). The
#       wrapper is the interpreter's sys.executable, so the processes it starts run the same way.
#   debian_bytecode DIR PYTHON
#       compiles the sysroot's standard library and packages with PYTHON, a native interpreter of
#       the same version: dpkg -x leaves no bytecode, and compiling torch under emulation at each
#       import costs minutes.
#   pip_quietly COMMAND...
#       runs a pip command without the warnings this machine's pip prints for every package (its
#       extra local indexes, running as root); its status is pip's.
#   headers_with_config DIR SOURCE PYCONFIG
#       DIR: a copy of the interpreter headers in SOURCE with PYCONFIG as their pyconfig.h, made
#       once (the headers' own folder is searched first for "pyconfig.h", so it cannot be shadowed).
#   native_python VERSION
#       the path of a CPython VERSION of this machine: the newest pyenv has, else python3.X on PATH.
#   skbuild_wheel PYTHON OUT WHAT SETTING=VALUE...
#       OUT/dist/korva_native-*.whl, built by scikit-build-core (the pinned tools below) running in
#       PYTHON, in OUT/cmake, with compiler warnings as errors and the settings given; its log is
#       OUT/wheel.log. WHAT names the wheel where it fails.
#   debian_wheel DIR VERSION TOOLCHAIN
#       DIR/VERSION/dist/korva_native-*.whl, built by skbuild_wheel in host-pythonVERSION with
#       cmake/TOOLCHAIN.cmake: the host's compiler and C library, and only the interpreter's headers
#       from the sysroot.
#   debian_suite DIR VERSION PYTEST_ARGUMENT...
#       unpacks that wheel into DIR/VERSION/site and runs pytest with host-pythonVERSION; the
#       output goes to DIR/VERSION/pytest.log.
#   armhf_sysroot, aarch64_sysroot_of VERSION, sid_amd64_sysroot,
#   amd64_release_sysroot RELEASE VERSION
#       the sysroots of this project's targets, in build/armhf, build/aarch64 (unstable's 3.14),
#       build/aarch64-3.15 or build/aarch64-RELEASE (aarch64_dir VERSION), build/sid-amd64 and
#       build/RELEASE-amd64.

debian_mirror=http://deb.debian.org/debian
debian_keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# What scikit-build-core needs, pure Python, for interpreters that have no venv of ours: from 3.9
# (packaging 26.4 needs 3.10; the last three are what 3.9 and 3.10 lack of 3.11's library).
pep517_pins="scikit-build-core==1.1.2 packaging==26.3 pathspec==1.1.1 tomli==2.5.0 exceptiongroup==1.3.2
    typing-extensions==4.16.0"

now() { date +%s%N; }
since() {  # seconds, one decimal, since a time of now()
    local ms=$((($(now) - $1) / 1000000))
    printf '%d.%d' $((ms / 1000)) $((ms % 1000 / 100))
}
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# Installs Debian packages on the host when one of the commands is missing:
# host_packages "command..." package...
host_packages() {
    local c missing=0 lock
    for c in $1; do command -v "$c" >/dev/null || missing=1; done
    [ "$missing" = 0 ] && return
    # Steps that run at once (make wheels) install one after the other, and look again first.
    mkdir -p build
    exec {lock}> build/.host-packages.lock
    flock "$lock"
    missing=0
    for c in $1; do command -v "$c" >/dev/null || missing=1; done
    shift
    if [ "$missing" = 1 ]; then
        # Another user of the machine may be installing too: wait for dpkg's lock.
        as_root apt-get update -qq -o DPkg::Lock::Timeout=600
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            -o DPkg::Lock::Timeout=600 "$@" >/dev/null
    fi
    exec {lock}>&-
}

# CMake 4.1 or newer and ninja on PATH; FindPython asks a cross-compiled target's interpreter only
# from CMake 4.1 on (CMP0190).
host_cmake() {
    local tools=$PWD/build/host-tools cmake_bin
    cmake_bin=$(command -v cmake || true)
    if [ -n "$cmake_bin" ] && printf '4.1\n%s\n' "$("$cmake_bin" --version | sed -n 's/^cmake version //p')" \
            | sort -VC && command -v ninja >/dev/null; then
        return
    fi
    [ -x "$tools/bin/cmake" ] || {
        python3 -m venv "$tools"
        "$tools/bin/python" -m pip install --quiet --disable-pip-version-check cmake==4.4.4 ninja==1.13.2
    }
    export PATH=$tools/bin:$PATH
}

debian_triplet() {
    case $1 in
        amd64) echo x86_64-linux-gnu ;;
        arm64) echo aarch64-linux-gnu ;;
        armhf) echo arm-linux-gnueabihf ;;
        *) echo "no triplet known for $1" >&2; return 1 ;;
    esac
}

debian_sysroot() {
    local dir=$1 suite=$2 arch=$3
    shift 3
    local sysroot=$dir/sysroot apt=$dir/apt wanted="$suite $arch $*"
    if [ -f "$sysroot/.packages" ] && [ "$(cat "$sysroot/.packages")" = "$wanted" ]; then
        return
    fi
    rm -rf "$sysroot" "$apt"
    mkdir -p "$sysroot" "$apt/etc/parts" "$apt/state/lists/partial" "$apt/cache/archives/partial"
    apt=$(cd "$apt" && pwd)
    : > "$apt/state/status"
    echo "deb [signed-by=$debian_keyring] $debian_mirror $suite main" > "$apt/sources.list"
    # Nothing of the host's configuration: this folder's sources, state and architecture alone.
    # An archive's Release file may be past its Valid-Until date.
    cat > "$apt/apt.conf" <<CONF
Dir::Etc::SourceList "$apt/sources.list";
Dir::Etc::SourceParts "$apt/etc/parts";
Dir::Etc::Parts "$apt/etc/parts";
Dir::Etc::Preferences "$apt/etc/preferences";
Dir::Etc::PreferencesParts "$apt/etc/parts";
Dir::State "$apt/state";
Dir::State::status "$apt/state/status";
Dir::Cache "$apt/cache";
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
APT::Install-Recommends "false";
APT::Sandbox::User "root";
Acquire::Check-Valid-Until "false";
Acquire::Languages "none";
CONF
    APT_CONFIG=$apt/apt.conf apt-get update -qq
    # With an empty package database, installing only to download fetches the whole closure.
    APT_CONFIG=$apt/apt.conf apt-get install -qq -y --download-only "$@" >/dev/null
    local deb
    for deb in "$apt"/cache/archives/*.deb; do dpkg -x "$deb" "$sysroot"; done
    rm -f "$apt"/cache/archives/*.deb

    local triplet lib d name
    triplet=$(debian_triplet "$arch")
    # Newer releases keep everything under usr/; the loader and interpreters are looked up at /lib.
    for d in bin sbin lib lib64; do
        if [ ! -e "$sysroot/$d" ] && [ -d "$sysroot/usr/$d" ]; then ln -s "usr/$d" "$sysroot/$d"; fi
    done
    # BLAS and LAPACK under the names that Debian's alternatives would give them.
    lib=$sysroot/usr/lib/$triplet
    for name in libblas.so.3 liblapack.so.3; do
        for d in "$lib"/*/"$name"; do
            if [ -e "$d" ] && [ ! -e "$lib/$name" ]; then ln -s "${d#"$lib"/}" "$lib/$name"; fi
        done
    done
    # Debian's pyconfig.h includes <TRIPLET/python3.X/pyconfig.h>. python-include holds that alone,
    # so that a compiler given it keeps its own C library's headers.
    mkdir -p "$sysroot/python-include/$triplet"
    for d in "$sysroot/usr/include/$triplet"/python3.*; do
        if [ -d "$d" ]; then ln -s "../../usr/include/$triplet/${d##*/}" "$sysroot/python-include/$triplet/${d##*/}"; fi
    done
    debian_wrappers "$sysroot" "$arch" "$triplet"
    echo "$wanted" > "$sysroot/.packages"
}

debian_wrappers() {
    local sysroot=$1 arch=$2 triplet=$3 python run
    sysroot=$(cd "$sysroot" && pwd)
    case $arch in
        # The loader run as a command reads no ld.so.cache: the search path names the sysroot's
        # folders, lib/ for releases before the merged /usr and usr/lib for trixie's libgloo.
        amd64) run="$sysroot/lib/$triplet/ld-linux-x86-64.so.2"
            run="$run --library-path $sysroot/lib/$triplet:$sysroot/usr/lib/$triplet:$sysroot/usr/lib --argv0" ;;
        # Debian 13 and later build arm64 code with pointer authentication, which qemu's default
        # algorithm (QARMA) makes three times slower to emulate; the implementation-defined one
        # checks the same way, at almost no cost.
        arm64) run="qemu-aarch64 -cpu max,pauth-impdef=on -L $sysroot -0" ;;
        armhf) run="qemu-arm -L $sysroot -0" ;;
    esac
    for python in "$sysroot"/usr/bin/python3.[0-9] "$sysroot"/usr/bin/python3.[0-9][0-9]; do
        [ -f "$python" ] || continue
        # argv[0] is this script, so the interpreter finds its prefix from here and gives it as
        # sys.executable to the processes it starts.
        cat > "$sysroot/usr/bin/host-${python##*/}" <<WRAPPER
#!/bin/sh
exec $run "\$0" $python "\$@"
WRAPPER
        chmod +x "$sysroot/usr/bin/host-${python##*/}"
    done
}

debian_bytecode() {
    local dir=$1 native=$2 sysroot=$1/sysroot version
    version=$("$native" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    # One mark per version: a sysroot with two interpreters shares dist-packages between them.
    [ -f "$sysroot/.bytecode-$version" ] && return
    [ -d "$sysroot/usr/lib/python$version" ] || { echo "$native is not the sysroot's interpreter version" >&2; return 1; }
    # A file that fails here fails again at import, where a test reports it.
    "$native" -m compileall -qq -j 2 "$sysroot/usr/lib/python$version" "$sysroot/usr/lib/python3/dist-packages" || true
    touch "$sysroot/.bytecode-$version"
}

pip_quietly() {
    "$@" 2>&1 | { grep -v "^WARNING: \(Location '.*' is ignored\|Running pip as the 'root' user\)" >&2 || true; }
    return "${PIPESTATUS[0]}"
}

headers_with_config() {
    local dir=$1 source=$2 config=$3
    [ -f "$dir/.ready" ] && return
    rm -rf "$dir"
    mkdir -p "$dir"
    cp -r "$source/." "$dir/"
    cp "$config" "$dir/pyconfig.h"
    touch "$dir/.ready"
}

native_python() {
    local v=$1 found="" pyenv_root
    pyenv_root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
    found=$(ls -d "$pyenv_root/versions/$v".[0-9]* 2>/dev/null | sort -V | tail -n 1)
    [ -n "$found" ] && found=$found/bin/python$v
    [ -n "$found" ] || found=$(command -v "python$v" || true)
    if [ -z "$found" ] || [ ! -x "$found" ]; then
        echo "no CPython $v found (pyenv install $v)" >&2
        return 1
    fi
    echo "$found"
}

pep517_tools() {
    local site=$PWD/build/pep517
    if [ ! -f "$site/.pins" ] || [ "$(cat "$site/.pins")" != "$(echo $pep517_pins)" ]; then
        rm -rf "$site"
        # shellcheck disable=SC2086
        pip_quietly python3 -m pip install --quiet --disable-pip-version-check --target "$site" $pep517_pins
        echo $pep517_pins > "$site/.pins"
    fi
    echo "$site"
}

skbuild_wheel() {
    local python=$1 out=$2 what=$3 site
    shift 3
    site=$(pep517_tools)
    rm -rf "$out/dist"
    mkdir -p "$out/dist"
    if ! PYTHONPATH=$site "$python" - "$out" "$@" > "$out/wheel.log" 2>&1 <<'PYTHON'
import sys
from scikit_build_core.build import build_wheel

out, *settings = sys.argv[1:]
build_wheel(f"{out}/dist", {
    "build-dir": f"{out}/cmake",
    "cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR": "ON",
    **dict(setting.split("=", 1) for setting in settings),
})
PYTHON
    then
        tail -n 40 "$out/wheel.log" >&2
        echo "the $what wheel failed to build; log in $out/wheel.log" >&2
        return 1
    fi
    ls "$out"/dist/korva_native-*.whl
}

debian_wheel() {
    local dir=$1 version=$2 toolchain=$3 sysroot settings
    sysroot=$(cd "$dir/sysroot" && pwd)
    settings=("cmake.define.CMAKE_TOOLCHAIN_FILE=$PWD/cmake/$toolchain.cmake" "cmake.define.DEBIAN_SYSROOT=$sysroot"
        "cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW")
    # A cross build's FindPython runs the interpreter itself under CMAKE_CROSSCOMPILING_EMULATOR;
    # a native one runs the wrapper, which scikit-build-core passes as sys.executable.
    [ "$toolchain" = x86_64 ] || settings+=("cmake.define.Python_EXECUTABLE=$sysroot/usr/bin/python$version")
    skbuild_wheel "$sysroot/usr/bin/host-python$version" "$(cd "$dir" && pwd)/$version" \
        "$toolchain CPython $version" "${settings[@]}"
}

debian_suite() {
    local dir=$1 version=$2 out=$1/$2 whl status=0 arch scale=10
    shift 2
    whl=$(ls "$out"/dist/korva_native-*.whl)
    rm -rf "$out/site"
    python3 -m zipfile -e "$whl" "$out/site"
    # An emulated interpreter starts and runs many times slower: the tests give the processes
    # they start that much more time.
    read -r _ arch _ < "$dir/sysroot/.packages"
    [ "$arch" != amd64 ] || scale=1
    KORVA_TEST_TIME_SCALE=${KORVA_TEST_TIME_SCALE:-$scale} PYTHONPATH=$PWD/$out/site \
        "$dir/sysroot/usr/bin/host-python$version" -m pytest -q -p no:cacheprovider -rs "$@" \
        > "$out/pytest.log" 2>&1 || status=$?
    grep -E '^(FAILED|ERROR|SKIPPED)' "$out/pytest.log" || true
    tail -n 1 "$out/pytest.log"
    return "$status"
}

# The interpreters of each target, named once for the scripts that build or test against them.
# Each list names libstdc++6, which the modules load and an interpreter alone does not bring.

# Debian 12's armhf CPython 3.11 with NumPy and pytest; any CPython 3.11 writes its bytecode, and
# the host's does so natively.
armhf_sysroot() {
    local native
    debian_sysroot build/armhf bookworm armhf python3.11 libpython3.11-dev libstdc++6 python3-numpy python3-pytest
    native=$(command -v python3.11 || true)
    [ -z "$native" ] || debian_bytecode build/armhf "$native"
    ln -sfn sysroot/usr/bin/host-python3.11 build/armhf/python
}

# Debian unstable's x86-64 CPython 3.14 and 3.15 with their headers, NumPy and pytest: the
# interpreters of the x86-64 wheels and of their tests, and the native compiler of the arm64
# interpreter's bytecode.
sid_amd64_sysroot() {
    debian_sysroot build/sid-amd64 sid amd64 python3.14 libpython3.14-dev python3.15 libpython3.15-dev libstdc++6 \
        python3-numpy python3-pytest
}

# Debian unstable's arm64 CPython 3.14 with torch 2.14, NumPy and pytest.
aarch64_sysroot() {
    debian_sysroot build/aarch64 sid arm64 python3.14 libpython3.14-dev libstdc++6 python3-numpy python3-torch \
        python3-pytest
    sid_amd64_sysroot
    debian_bytecode build/aarch64 build/sid-amd64/sysroot/usr/bin/host-python3.14
    ln -sfn sysroot/usr/bin/host-python3.14 build/aarch64/python
}

# Debian unstable's arm64 CPython 3.15 with NumPy and pytest, in a sysroot of its own: Debian's torch
# is built for 3.14 alone, and importing it on 3.15 fails with an ImportError that pytest does not
# take for a missing module, so 3.15 runs as a machine without torch does.
aarch64_315_sysroot() {
    debian_sysroot build/aarch64-3.15 sid arm64 python3.15 libpython3.15-dev libstdc++6 python3-numpy python3-pytest
    sid_amd64_sysroot
    debian_bytecode build/aarch64-3.15 build/sid-amd64/sysroot/usr/bin/host-python3.15
}

# The arm64 interpreter of an older Debian release, with that release's NumPy and pytest, in
# build/aarch64-RELEASE: aarch64_release_sysroot bullseye 3.9, bookworm 3.11 (with torch 1.13.1),
# trixie 3.13 (with torch 2.6.0). Bullseye's torch 1.7.1 is older than the oldest the routing module
# is declared for, whose tests skip it: 3.9 runs as a machine without torch, and saves its fetch.
# A CPython of this machine of the same version (pyenv's, say) writes the bytecode: only the
# version's bytecode format matters, not its patch release.
aarch64_release_sysroot() {
    local release=$1 version=$2 torch=python3-torch
    [ "$release" != bullseye ] || torch=""
    # shellcheck disable=SC2086
    debian_sysroot "build/aarch64-$release" "$release" arm64 "python$version" "libpython$version-dev" libstdc++6 \
        python3-numpy $torch python3-pytest
    debian_bytecode "build/aarch64-$release" "$(native_python "$version")"
}

# Debian's arm64 interpreters, and the folder under build/ of each one's sysroot.
aarch64_versions="3.9 3.11 3.13 3.14 3.15"
aarch64_dir() {
    case $1 in
        3.9) echo build/aarch64-bullseye ;;
        3.11) echo build/aarch64-bookworm ;;
        3.13) echo build/aarch64-trixie ;;
        3.14) echo build/aarch64 ;;
        3.15) echo build/aarch64-3.15 ;;
        *) echo "Debian has no arm64 CPython $1" >&2; return 1 ;;
    esac
}

# The sysroot of arm64 CPython $1.
aarch64_sysroot_of() {
    local dir
    dir=$(aarch64_dir "$1")
    case $1 in
        3.14) aarch64_sysroot ;;
        3.15) aarch64_315_sysroot ;;
        *) aarch64_release_sysroot "${dir#build/aarch64-}" "$1" ;;
    esac
}

# The x86-64 CPython of a Debian release with its torch, NumPy and pytest, in build/RELEASE-amd64:
# amd64_release_sysroot bookworm 3.11 (torch 1.13.1), trixie 3.13 (torch 2.6.0). They run on this
# machine at native speed, through the sysroot's own loader. No bytecode is compiled ahead: a
# native interpreter writes that of what it imports, at about the same cost.
amd64_release_sysroot() {
    local release=$1 version=$2
    debian_sysroot "build/$release-amd64" "$release" amd64 "python$version" "libpython$version-dev" libstdc++6 \
        python3-numpy python3-torch python3-pytest
}

# One emulated target from start to end: Debian's cross compiler and qemu-user on the host, the
# sysroot that the command `make_sysroot` (a function and its arguments) unpacks, the cross-built wheel of CPython `version`, and the tests
# (arguments to pytest) under `emulator`, with a line of the time each part took.
emulated_target() {
    local top=$1 version=$2 target=$3 make_sysroot=$4 compiler_package=$5 compiler=$6 emulator=$7
    shift 7
    local t tools_s sysroot_s build_s tests_s status=0
    t=$(now)
    host_packages "$compiler $emulator" "$compiler_package" qemu-user
    host_cmake
    tools_s=$(since "$t")
    # shellcheck disable=SC2086  # the function's name and its arguments
    t=$(now); $make_sysroot; sysroot_s=$(since "$t")
    t=$(now); debian_wheel "$top" "$version" "$target"; build_s=$(since "$t")
    t=$(now)
    debian_suite "$top" "$version" "$@" || status=$?
    tests_s=$(since "$t")
    echo "$target CPython $version: host tools ${tools_s}s, sysroot ${sysroot_s}s, cross-built wheel ${build_s}s, tests under $emulator ${tests_s}s"
    [ "$status" = 0 ] || { echo "the suite failed under $emulator; log in $top/$version/pytest.log" >&2; exit 1; }
}
