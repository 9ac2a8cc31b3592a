# Cross-builds the Windows client with Debian's MinGW-w64 (posix threads) on Linux.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_prefix}-windres)
# The "-posix" suffix hides the tool prefix from CMake's search, so name the binutils too.
set(CMAKE_AR /usr/bin/${mingw_prefix}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/${mingw_prefix}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP /usr/bin/${mingw_prefix}-strip CACHE FILEPATH "")
set(CMAKE_OBJDUMP /usr/bin/${mingw_prefix}-objdump CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Windows executables run here under Wine (Debian's command is `wine`; there is no `wine64`):
# the tests, and their listing for CTest.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
