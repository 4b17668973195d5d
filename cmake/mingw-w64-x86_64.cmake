# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix threads, which GoogleTest needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELTRANE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELTRANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELTRANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELTRANE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELTRANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the programs then import nothing but system DLLs and run from any folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
