# Cross build for 64-bit Windows with Debian's MinGW-w64 (package g++-mingw-w64-x86-64).
#
# The Win32 thread model is chosen: the tool is single-threaded, and this variant needs no
# winpthread library, so a static link leaves the executables depending on system DLLs only.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FWUPGRADE_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${FWUPGRADE_MINGW_TRIPLE}-g++-win32 ${FWUPGRADE_MINGW_TRIPLE}-g++ REQUIRED)
# C only for GoogleTest's own build, when the unit tests are cross-built too.
find_program(CMAKE_C_COMPILER NAMES ${FWUPGRADE_MINGW_TRIPLE}-gcc-win32 ${FWUPGRADE_MINGW_TRIPLE}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${FWUPGRADE_MINGW_TRIPLE}-windres)
find_program(CMAKE_AR NAMES ${FWUPGRADE_MINGW_TRIPLE}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${FWUPGRADE_MINGW_TRIPLE}-ranlib REQUIRED)

# Libraries and headers come from the MinGW sysroot only; programs (the host tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${FWUPGRADE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Cross-built test programs can be run through Wine when it is there.
find_program(FWUPGRADE_WINE NAMES wine wine64)
if(FWUPGRADE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${FWUPGRADE_WINE})
endif()
