# Cross-building for Windows x64 with zig's clang, libc++ and mingw-w64's UCRT libraries, against
# the official CPython of one version (tools/targets/windows.sh): that version's headers with
# cmake/windows/pyconfig.h in PYTHON_WINDOWS_INCLUDE, linked straight against its python3X.dll.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/zig.cmake)
zig_target(x86_64-windows-gnu)
