# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads, so
# that std::thread and friends work). Chain-loaded by the Windows Qt's
# qt.toolchain.cmake through QT_CHAINLOAD_TOOLCHAIN_FILE; see docs/building.md.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Test programs and tools built here run under Wine.
find_program(CORVA_WINE NAMES wine wine64)
if(CORVA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVA_WINE})
endif()
