# Cross build for Windows with Debian's mingw-w64, for the processor the including toolchain
# file names in ZODIVA_MINGW_PROCESSOR (x86_64 or i686). The posix flavour of the compiler is
# used because it carries std::thread and std::mutex; everything is linked statically, so the
# programs run on a bare Windows (or Wine) without extra DLLs.
set(_triplet ${ZODIVA_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ZODIVA_MINGW_PROCESSOR})
set(CMAKE_C_COMPILER ${_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
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
