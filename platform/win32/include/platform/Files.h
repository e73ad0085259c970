#pragma once
// On Windows the file API is the system's own.
#include "platform/Kernel.h"
#include "platform/Time.h"
