#pragma once
// The Windows operations the engine is written against, provided on Linux.
#include "platform/WinTypes.h"
#include "platform/Kernel.h"    // mutexes, events, threads, waits
#include "platform/Time.h"      // system time, local time, the test clock hook
#include "platform/Files.h"     // create, write, copy, delete, find
#include "platform/Registry.h"  // read-only registry over .reg files
#include "platform/Messages.h"  // message queues, windows, timers, message boxes
#include "platform/Winsock.h"   // the Windows Sockets subset, async select and lookup
