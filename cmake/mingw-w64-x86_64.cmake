# Cross build for 64-bit Windows with Debian's mingw-w64 (the mingw64 presets).
set(ZODIVA_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
