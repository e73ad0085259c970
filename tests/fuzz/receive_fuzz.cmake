# The receive-path fuzz target: a real connection on the message loop over loopback, so it
# needs the whole engine below the NNTP session (platform, support, net, nntp).
# Included from this folder's CMakeLists.txt after fuzz_foundation is defined.
file(GLOB _receive_fuzz_src CONFIGURE_DEPENDS ${ZODIVA_ROOT}/net/*.cpp ${ZODIVA_ROOT}/nntp/*.cpp)
add_library(fuzz_session STATIC ${_receive_fuzz_src})
target_include_directories(fuzz_session PUBLIC ${ZODIVA_ROOT} ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(fuzz_session PUBLIC ${_sanitizers} -fsanitize=fuzzer-no-link)
find_package(OpenSSL 3 REQUIRED)
target_link_libraries(fuzz_session PUBLIC fuzz_foundation OpenSSL::SSL)

# The server's end runs on the system's own sockets (the test kit's RawPeer).
add_executable(receive_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/receive_fuzz.cpp
  ${ZODIVA_ROOT}/tests/common/RawPeer.cpp)
target_link_libraries(receive_fuzz PRIVATE fuzz_session)
target_link_options(receive_fuzz PRIVATE ${_sanitizers} -fsanitize=fuzzer)

# The SOCKS5 client on its own: replies in pieces, no sockets.
add_executable(socks_reply_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/socks_reply_fuzz.cpp)
target_link_libraries(socks_reply_fuzz PRIVATE fuzz_session)
target_link_options(socks_reply_fuzz PRIVATE ${_sanitizers} -fsanitize=fuzzer)

# Replies to GROUP handed to the step that reads them.
add_executable(group_reply_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/group_reply_fuzz.cpp)
target_link_libraries(group_reply_fuzz PRIVATE fuzz_session)
target_link_options(group_reply_fuzz PRIVATE ${_sanitizers} -fsanitize=fuzzer)
