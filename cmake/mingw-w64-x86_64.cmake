# Cross-compiling the Windows x64 build with Debian's MinGW-w64, with its Win32-threads compilers:
# no threads library of the compiler's (winpthreads) is linked in, so none of its TLS callbacks or
# exception handlers runs in the process of a host that loads the DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)
set(MINGW_WIDL ${MINGW_PREFIX}-widl)
set(MINGW_DLLTOOL ${MINGW_PREFIX}-dlltool)
set(MINGW_OBJDUMP ${MINGW_PREFIX}-objdump)
set(MINGW_OBJCOPY ${MINGW_PREFIX}-objcopy)
set(MINGW_STRIP ${MINGW_PREFIX}-strip)
set(MINGW_NM ${MINGW_PREFIX}-nm)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows programs run under Wine (tools/wine/run.sh sets up the environment).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine/run.sh)
