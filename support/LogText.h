#pragma once
// Pieces of log text built without printf or a heap allocation: decimal and hexadecimal
// numbers, and the two time stamps. The time of day is worked out once per second.
#include <cstdint>
#include <string>

void AppendDecimal(std::string& out, int value);
void AppendHex(std::string& out, unsigned value, bool upperCase);
// "Mon DD, YYYY HH:MM:SS: " for a FILETIME value, in local time.
void AppendDateTimeStampAt(std::string& out, std::int64_t fileTime);
// "HH:MM:SS" for a FILETIME value, or now, in local time (each thread keeps its own last
// second).
void AppendTimeStampAt(std::string& out, std::int64_t fileTime);
void AppendTimeStampNow(std::string& out);
