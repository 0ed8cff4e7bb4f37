# The part of the cross builds for Windows that both architectures share, with Debian's
# mingw-w64 compilers for SCANFLASH_MINGW_PREFIX (set by mingw-w64-x86_64.cmake or
# mingw-w64-i686.cmake before they include this). The posix flavour is the one whose libstdc++
# has std::thread and std::mutex (over winpthreads), which the tests and the simulated port
# use. Test executables run under Wine through wine-run.sh.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${SCANFLASH_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SCANFLASH_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${SCANFLASH_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SCANFLASH_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: no libstdc++, libgcc or winpthread DLLs to ship or to find.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Each build directory gets its own Wine prefix, made on first use.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh
    ${CMAKE_BINARY_DIR}/wine-prefix)
