#pragma once
// The options a connection takes from the engine beside the stored settings: the front ends
// fill them from the command line, and the connection reads each one where it needs it, with
// its default at that place. Values are whole seconds written as text.
namespace connection_options {

inline constexpr const char* kReceiveTimeout = "ReceiveTimeout";  // silence before giving up
inline constexpr const char* kErrorDelay = "ErrorDelay";          // wait before a retry
inline constexpr const char* kRejectDelay = "RejectDelay";        // wait after a refusal

}  // namespace connection_options
