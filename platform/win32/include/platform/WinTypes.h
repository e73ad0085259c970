#pragma once
// On Windows the basic types and constants are the system's own.
#include "platform/Win32Api.h"
