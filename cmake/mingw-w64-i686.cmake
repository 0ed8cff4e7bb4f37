# Cross build for 32-bit Windows (x86) with Debian's mingw-w64 compilers. Its programs run on
# 32-bit Windows and, through WoW64, on 64-bit Windows.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SCANFLASH_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
