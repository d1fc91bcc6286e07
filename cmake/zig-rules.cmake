# Rules that zig's linker needs, read after the platform's own (CMAKE_USER_MAKE_RULES_OVERRIDE).
# Its Mach-O linker crashes on -bundle: the macOS modules are dylibs, which the interpreter loads
# as it loads bundles.
if(APPLE)
  set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared -Wl,-headerpad_max_install_names")
endif()
