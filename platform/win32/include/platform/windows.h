#pragma once
// The Windows operations the engine is written against: the real API, plus the few things of
// ours that it lacks (the test clock, the front end's message box, multi-family lookups).
#include "platform/Win32Api.h"
#include "platform/Kernel.h"
#include "platform/Time.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/Messages.h"
#include "platform/Winsock.h"
