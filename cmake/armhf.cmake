# Cross-building for 32-bit ARM hard-float Linux (Debian's armhf) with Debian's cross compiler,
# against the armhf interpreter in build/armhf/sysroot (tools/targets/armhf.sh), run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(DEBIAN_TARGET armhf)
set(DEBIAN_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
# GCC notes that passing a std::span by value changed in GCC 7.1; every caller of those functions
# is compiled here.
string(APPEND CMAKE_CXX_FLAGS_INIT " -Wno-psabi")
