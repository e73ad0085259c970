#pragma once
// The real Windows headers, included in the one order that works (Winsock 2 before windows.h).
// NOMINMAX and WIN32_LEAN_AND_MEAN come from the build.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <process.h>
