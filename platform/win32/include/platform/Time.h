#pragma once
// System time and local time come from Windows; what is ours is the engine's clock with the
// test clock hook (platform/Clock.h). The engine therefore reads the time through
// platform::CurrentFileTime and platform::MonotonicTime.
#include "platform/Win32Api.h"

#include "platform/Clock.h"
