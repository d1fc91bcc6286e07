# Cross-building for macOS on Intel, 10.13 and later (what CPython's own installers for it need),
# with zig's clang, libc++ and libSystem stubs (tools/targets/macos.sh). Nothing here runs what it
# builds.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
zig_target(x86_64-macos.10.13)
