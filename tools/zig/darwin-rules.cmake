# Loaded after CMake's Darwin platform rules (CMAKE_USER_MAKE_RULES_OVERRIDE,
# set by toolchain.cmake for macOS targets): Zig's Mach-O linker crashes on
# -bundle, so modules are linked as Mach-O dylibs (-shared), which CPython's
# loader (dlopen) takes alike.
string(REPLACE "-bundle" "-shared" CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "${CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS}")
