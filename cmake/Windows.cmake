# The Windows build (mingw-w64, see the toolchain files beside this one). The engine is
# compiled against the real Win32 API: platform/win32 holds only what Windows lacks, and its
# headers stand in front of platform/ on the include path, so "platform/windows.h" and the
# others name the system's API plus those few additions.
# _POSIX_THREAD_SAFE_FUNCTIONS: localtime_r and gmtime_r from the C library's headers.
add_compile_definitions(NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601 _POSIX_THREAD_SAFE_FUNCTIONS)
include_directories(BEFORE ${CMAKE_SOURCE_DIR}/platform/win32/include)

file(GLOB _win32_platform CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/win32/*.cpp)
add_library(zodiva_platform STATIC ${_win32_platform})
target_include_directories(zodiva_platform PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(zodiva_platform PUBLIC Threads::Threads ws2_32)

# TLS needs OpenSSL built for Windows, which Debian does not ship for mingw-w64. Without it the
# network layer is built with a TLS session that refuses, with a message saying why.
function(zodiva_windows_net)
  find_package(OpenSSL 3 QUIET)
  if(OpenSSL_FOUND)
    zodiva_library(zodiva_net net zodiva_support OpenSSL::SSL)
    return()
  endif()
  message(STATUS "OpenSSL for Windows not found: building without TLS")
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/net/*.cpp)
  list(FILTER _src EXCLUDE REGEX "/TlsSession\\.cpp$")
  add_library(zodiva_net STATIC ${_src} ${CMAKE_SOURCE_DIR}/net/win32/TlsUnavailable.cpp)
  target_include_directories(zodiva_net PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(zodiva_net PUBLIC zodiva_support)
endfunction()

# The front ends. No metrics endpoint (its HTTP library is not built for Windows here) and
# no built-in demo server (it is written for Linux): both options say so when asked for.
function(zodiva_windows_programs)
  file(GLOB _core CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/app/core/*.cpp)
  list(FILTER _core EXCLUDE REGEX "/StopSignals\\.cpp$")
  add_library(zodiva_frontend STATIC ${_core} ${CMAKE_SOURCE_DIR}/app/win32/StopSignals.cpp
    ${CMAKE_SOURCE_DIR}/app/metrics/ListenAddress.cpp ${CMAKE_SOURCE_DIR}/app/reg/SettingKeys.cpp)
  target_include_directories(zodiva_frontend PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_definitions(zodiva_frontend PUBLIC ZODIVA_NO_METRICS ZODIVA_NO_DEMO)
  target_link_libraries(zodiva_frontend PUBLIC zodiva_engine)

  add_executable(zodiva ${CMAKE_SOURCE_DIR}/app/main.cpp)
  target_link_libraries(zodiva PRIVATE zodiva_frontend)
  install(TARGETS zodiva)
endfunction()
