# Cross-building for macOS on Apple silicon, 11.0 and later, with zig's clang, libc++ and libSystem
# stubs (tools/targets/macos.sh). Nothing here runs what it builds.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
zig_target(aarch64-macos.11.0)
