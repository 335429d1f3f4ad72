# Cross-compiles the 32-bit Windows program with Debian's MinGW-w64 (the "posix"
# thread model, which gives std::thread and std::mutex). Used as
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZD_MINGW_PREFIX i686-w64-mingw32)

set(CMAKE_C_COMPILER ${ZD_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZD_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZD_MINGW_PREFIX}-windres)

# Headers and libraries of the target (zlib from libz-mingw-w64-dev) come only from
# the MinGW tree; programs (python3 for the banner) come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ZD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The run-time libraries (libgcc, libstdc++, winpthread) and zlib are linked in, so the
# program needs only the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(ZLIB_USE_STATIC_LIBS ON)
# Tests built for Windows run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
