# Cross-building for 32-bit ARM hard-float Linux (Debian's armhf) with Debian's cross compiler.
#
# ARMHF_SYSROOT (default build/armhf/sysroot, which tools/armhf.sh fills) holds the armhf
# interpreter with its standard library and headers, unpacked from Debian's packages. The
# interpreter runs under qemu-arm, so that FindPython asks it for its include folder and SOABI;
# that needs policy CMP0190 NEW, given on the command line (-DCMAKE_POLICY_DEFAULT_CMP0190=NEW),
# as this file is read too late to set it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT DEFINED ARMHF_SYSROOT)
  get_filename_component(ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/armhf/sysroot" ABSOLUTE)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${ARMHF_SYSROOT}")

# The compiler's own libc and libstdc++ stay those of its /usr/arm-linux-gnueabihf; the sysroot
# only adds the interpreter's headers. Debian's pyconfig.h includes
# <arm-linux-gnueabihf/python3.11/pyconfig.h>, so its usr/include is searched too.
# -Wno-psabi: GCC notes that passing a std::span by value changed in GCC 7.1; every caller of
# those functions is compiled here.
set(CMAKE_CXX_FLAGS_INIT "-isystem ${ARMHF_SYSROOT}/usr/include -Wno-psabi")
set(CMAKE_FIND_ROOT_PATH "${ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
