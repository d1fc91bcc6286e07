# Cross-building for 64-bit ARM Linux (Debian's arm64) with Debian's cross compiler, against the
# arm64 interpreter in build/aarch64/sysroot (tools/targets/aarch64.sh), run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(DEBIAN_TARGET aarch64)
set(DEBIAN_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
