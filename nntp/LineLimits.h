#pragma once
// The fixed sizes of a connection's receive side.
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kReceiveBufferSize = 16384;
inline constexpr std::size_t kLineBufferSize = 1024;
// Bytes of one line kept in LineBuffer; the rest of a longer line is dropped, so the
// terminating NUL always fits.
inline constexpr std::uint32_t kMaxLineLength = 1021;
