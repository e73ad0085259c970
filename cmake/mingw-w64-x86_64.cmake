# Cross build for Windows with Debian's mingw-w64 (x86_64). The posix flavour of the compiler
# is used because it carries std::thread and std::mutex; everything is linked statically, so
# the programs run on a bare Windows (or Wine) without extra DLLs.
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
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Test programs are started through Wine when cmake or ctest runs them.
find_program(ZODIVA_WINE NAMES wine)
if(ZODIVA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZODIVA_WINE})
endif()
