# Building against a Debian interpreter that tools/targets/debian.sh unpacked into DEBIAN_SYSROOT, with
# this machine's compiler and C library. Included by the toolchain file of each target, which sets
# DEBIAN_TARGET (the folder under build/) and, for another architecture, the compilers and
# DEBIAN_EMULATOR.
#
# A cross build's FindPython runs the target interpreter under CMAKE_CROSSCOMPILING_EMULATOR to
# ask it for its include folder and SOABI; that needs policy CMP0190 NEW, given on the command
# line (-DCMAKE_POLICY_DEFAULT_CMP0190=NEW), as this file is read too late to set it.
if(NOT DEFINED DEBIAN_SYSROOT)
  get_filename_component(DEBIAN_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/${DEBIAN_TARGET}/sysroot" ABSOLUTE)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DEBIAN_SYSROOT)

# The compiler's own libc and libstdc++ stay in use: a newer release's headers would ask for
# symbols that this machine's C library, and the wheels' manylinux tags, do not have. Debian's
# pyconfig.h includes <TRIPLET/python3.X/pyconfig.h>; python-include holds that alone.
set(CMAKE_CXX_FLAGS_INIT "-isystem ${DEBIAN_SYSROOT}/python-include")

if(DEFINED DEBIAN_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DEBIAN_EMULATOR} -L "${DEBIAN_SYSROOT}")
  set(CMAKE_FIND_ROOT_PATH "${DEBIAN_SYSROOT}")
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
endif()
