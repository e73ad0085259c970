#pragma once
// How many files, sockets and other kernel objects the test process holds open: the entries of
// /proc/self/fd on Linux, the process's entries in the system's handle table on Windows. Tests
// compare two moments.
#include <cstddef>

std::size_t OpenHandleCount();
