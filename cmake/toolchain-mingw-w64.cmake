# Cross-builds for Windows x64 with Debian's mingw-w64 (posix threads, so
# std::thread works) and runs what it builds under Wine.
#
# ORU_WINDOWS_DEPS names the prefix that scripts/build-windows fills with
# the Windows builds of the outside libraries; the compiler's own sysroot
# holds the rest (zlib from Debian's mingw package, the system libraries).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORU_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORU_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORU_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ORU_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ORU_MINGW_TRIPLET} ${ORU_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Try-compile checks run in a fresh project that must see the same setting.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORU_WINDOWS_DEPS)

# Programs carry the compiler's runtime (libstdc++, libgcc, winpthread)
# inside them, so Wine needs no search path for it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(ZLIB_USE_STATIC_LIBS ON)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
