#pragma once
// System time in 100-ns units since 1601-01-01 UTC and local calendar time. Both read the
// engine's clock (platform/Clock.h), so a test clock moves them too.
#include "platform/WinTypes.h"

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;      // 1-12
    WORD wDayOfWeek;  // 0 = Sunday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

void GetSystemTimeAsFileTime(LPFILETIME time);
// Local time of the machine (TZ applies), from the same source as GetSystemTimeAsFileTime.
void GetLocalTime(LPSYSTEMTIME time);

#include "platform/Clock.h"
