#pragma once
// Text that came from a server (a greeting, a reply line) is shown to a person: on a
// terminal, in the dialog, in a JSON document. Control bytes in it must not reach a terminal
// (an escape sequence could rewrite the screen or the title), so they are shown as \xNN.
#include <cstddef>
#include <string>
#include <string_view>

// Bytes below 0x20 other than tab, 0x7F, C1 controls (U+0080..U+009F) and bytes that are
// not part of valid UTF-8 become "\xNN" (each byte of the sequence); everything else is kept.
std::string ShowSafely(std::string_view text);

// `text` as valid UTF-8: every byte that is not part of a valid UTF-8 sequence (a stray
// continuation byte, a cut or overlong sequence, a surrogate) is read as Latin-1, so nothing
// of it is lost ("\xe9t\xe9" becomes "été").
std::string ValidUtf8(std::string_view text);

// `value` as printf writes it with `format`, which holds one number ("%.2f KiB/s"); "null"
// for NaN and infinities, as the JSON lines write them.
std::string FormatNumber(const char* format, double value);
// `value` as printf writes it with `format`, whatever it is ("nan" and "inf" included).
std::string FormatPrintf(const char* format, double value);

// A rate given in KiB/s (1024 bytes, as "KBps" counts) written in decimal units, the largest
// that keeps the number at 1 or more, one decimal: "512 B/s", "10.2 kB/s", "192.5 MB/s",
// "1.2 GB/s" (1 kB = 1000 bytes, 1 MB = 10^6 bytes).
std::string HumanRate(double kibPerSecond);

// "--check 'TEXT': MESSAGE at column N" and, on the next two lines, TEXT with a caret under
// column N (1-based): how an option's value with a fault in it is reported.
std::string DescribeFaultAt(const std::string& option, std::string_view text, std::size_t column,
                            const std::string& message);
