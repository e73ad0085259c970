#pragma once
// What a message box answers when nobody is there to answer it, the same on both systems.
#include <cstdio>

#include "platform/Messages.h"

namespace platform::detail {

// Writes the box to stderr and answers as a user who cannot: IDOK for MB_OK, otherwise the
// refusing choice (IDCANCEL, IDNO, IDABORT).
inline int AnswerUnattended(LPCSTR text, LPCSTR caption, UINT type) {
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "Error",
                 text != nullptr ? text : "");
    switch (type & MB_TYPEMASK) {
        case MB_OK:
            return IDOK;
        case MB_ABORTRETRYIGNORE:
            return IDABORT;
        case MB_YESNO:
            return IDNO;
        default:
            return IDCANCEL;  // MB_OKCANCEL, MB_YESNOCANCEL, MB_RETRYCANCEL
    }
}

}  // namespace platform::detail
