# Building on this machine against a newer Debian release's interpreter in build/sid-amd64/sysroot
# (its headers only: the modules link against this machine's C library), for the wheels of
# interpreters that no pyenv here provides (tools/targets/matrix.sh wheels).
set(DEBIAN_TARGET sid-amd64)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
