# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The -posix compilers are used: GoogleTest needs their std::thread and
# std::mutex, which the win32 thread model lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DTK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DTK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DTK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${DTK_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DTK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked in, the C++ runtime and winpthreads included, so that
# the programs need only the DLLs that come with Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
