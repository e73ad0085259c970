# Cross build for 32-bit Windows with Debian's mingw-w64 (the mingw32 presets).
set(ZODIVA_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
