#pragma once
// On Windows the settings are read from the real registry (advapi32).
#include "platform/Win32Api.h"
