# CMake toolchain: Zig's clang and libc++ (tools/zig/c++) for the target named
# by the environment's QUELLMAR_ZIG_TARGET, e.g. x86_64-linux-gnu.2.17 for
# manylinux2014 wheels (glibc 2.17, libc++ linked in statically),
# aarch64-macos.13.3 or x86_64-windows-gnu (win_amd64, UCRT).  tools/wheels.sh sets it and QUELLMAR_ZIG; with pip:
#
#   QUELLMAR_ZIG=/path/to/zig QUELLMAR_ZIG_TARGET=x86_64-linux-gnu.2.17 \
#   CMAKE_TOOLCHAIN_FILE=$PWD/tools/zig/toolchain.cmake pip wheel .
#
# Zig compiles for the target's baseline CPU (no -march of this machine).
set(_quellmar_target "$ENV{QUELLMAR_ZIG_TARGET}")
if(_quellmar_target STREQUAL "")
    message(FATAL_ERROR "tools/zig/toolchain.cmake: set QUELLMAR_ZIG_TARGET (e.g. x86_64-linux-gnu.2.17)")
endif()
string(REGEX MATCH "^[^-]+" _quellmar_arch "${_quellmar_target}")
if(_quellmar_target MATCHES "-macos")
    set(CMAKE_SYSTEM_NAME Darwin)
    if(_quellmar_arch STREQUAL "aarch64")
        set(CMAKE_OSX_ARCHITECTURES arm64)
    else()
        set(CMAKE_OSX_ARCHITECTURES ${_quellmar_arch})
    endif()
    string(REGEX MATCH "[0-9]+(\\.[0-9]+)*$" CMAKE_OSX_DEPLOYMENT_TARGET "${_quellmar_target}")
    set(CMAKE_SYSTEM_PROCESSOR ${_quellmar_arch})
    set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/darwin-rules.cmake")
elseif(_quellmar_target MATCHES "-windows")
    # x86_64-windows-gnu: a PE module against the UCRT (api-ms-win-crt-*.dll),
    # libc++ and the MinGW-w64 startup code linked in; the headers and import
    # library of the interpreter from Python_INCLUDE_DIR and Python_LIBRARY
    # (tools/wheel-windows.sh gives both)
    set(CMAKE_SYSTEM_NAME Windows)
    set(CMAKE_SYSTEM_PROCESSOR AMD64)
elseif(NOT (CMAKE_HOST_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_HOST_SYSTEM_PROCESSOR STREQUAL _quellmar_arch))
    # another architecture: a cross build, which cannot run the interpreter;
    # the module's suffix comes from Python_SOABI, the headers from
    # Python_INCLUDE_DIR (tools/wheels.sh gives both).  On the machine's own
    # architecture the build stays native, so the interpreter is asked as usual.
    set(CMAKE_SYSTEM_NAME Linux)
    set(CMAKE_SYSTEM_PROCESSOR ${_quellmar_arch})
endif()
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/c++")
# try_compile projects see the same environment; nothing to search in a sysroot
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
