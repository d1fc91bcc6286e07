# zig's clang as the compiler of a target other than this machine's, from ZIG_ROOT (build/zig,
# which tools/targets/zig.sh fills): `zig c++ -target TRIPLE`, with its own libc++ linked in, and
# the wrappers zig-ar and zig-ranlib, since CMake takes those as one command.
if(NOT DEFINED ZIG_ROOT)
  get_filename_component(ZIG_ROOT "${CMAKE_CURRENT_LIST_DIR}/../build/zig" ABSOLUTE)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_ROOT)

macro(zig_target triple)
  # A compiler given as a list: the first entry is the command, the rest arguments it always gets.
  set(CMAKE_C_COMPILER "${ZIG_ROOT}/bin/zig" cc -target ${triple})
  set(CMAKE_CXX_COMPILER "${ZIG_ROOT}/bin/zig" c++ -target ${triple})
  set(CMAKE_AR "${ZIG_ROOT}/bin/zig-ar")
  set(CMAKE_RANLIB "${ZIG_ROOT}/bin/zig-ranlib")
  set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/zig-rules.cmake)
endmacro()
