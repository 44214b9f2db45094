# Cross-compiles the Windows build with Debian's mingw-w64 (x86_64, POSIX threads model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VEXO_MINGW_PREFIX x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${VEXO_MINGW_PREFIX}-gcc-posix ${VEXO_MINGW_PREFIX}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${VEXO_MINGW_PREFIX}-g++-posix ${VEXO_MINGW_PREFIX}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${VEXO_MINGW_PREFIX}-windres windres)
if(NOT CMAKE_C_COMPILER OR NOT CMAKE_CXX_COMPILER OR NOT CMAKE_RC_COMPILER)
  message(FATAL_ERROR "mingw-w64 cross compilers not found: install Debian's mingw-w64 package "
                      "(scripts/setup-debian.sh does).")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${VEXO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests of the Windows build run under wine, through the script that sets up its environment
# (prefix, display, persistent wineserver) and then runs wine.
find_program(VEXO_WINE NAMES wine wine64)
if(VEXO_WINE)
  get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-env.sh
                         ABSOLUTE)
else()
  message(WARNING "wine not found: the Windows build's tests cannot run here.")
endif()
