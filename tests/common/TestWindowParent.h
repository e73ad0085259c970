#pragma once
// The parent of the tests' windows. On Windows they are message-only, as the engine's hidden
// windows are: such a window needs no desktop (Wine without a display has none).
#include "platform/windows.h"

#ifdef _WIN32
inline HWND const kNoParent = HWND_MESSAGE;
#else
inline HWND const kNoParent = nullptr;
#endif
