#pragma once
// Kernel objects on Linux: recursive unnamed mutexes, events, threads and waits, with the
// Windows names and codes. Every object is reached through a HANDLE drawn from a counter;
// a handle is never reused, so a stale handle is simply unknown (and closing it does nothing).
#include "platform/WinTypes.h"

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPDWORD = DWORD*;

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;


// Error codes for GetLastError (the subset the kernel and file functions set).
constexpr LONG ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_DISK_FULL = 39;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD ERROR_BADDB = 1009;

// The calling thread's last error, as the kernel and file functions leave it.
DWORD GetLastError();
void SetLastError(DWORD error);

// Mutexes: unnamed and recursive for the owning thread. A name is not supported (NULL only).
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
// Fails (FALSE, ERROR_NOT_OWNER) when the calling thread does not own the mutex.
BOOL ReleaseMutex(HANDLE mutex);

// Events: auto-reset only (one waiter released per SetEvent), unnamed only; a manual-reset
// event is refused (null, ERROR_INVALID_PARAMETER).
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);

// Waits on a mutex, an event or a thread (signalled once the thread has ended).
// Returns WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_ABANDONED (a mutex whose owner ended while
// holding it; the caller now owns it) or WAIT_FAILED (unknown handle or not waitable).
// Time-outs are measured on the steady clock, not on the test clock.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Closes any kernel handle (mutex, event, thread, file, find). Unknown handles: FALSE.
// An object stays alive while a thread waits on it or runs in it.
BOOL CloseHandle(HANDLE handle);

// A process-unique, never reused, non-zero id of the calling thread.
DWORD GetCurrentThreadId();

// Starts a thread running start(argument). Returns the thread handle as a number (0 on
// failure) and stores the new thread's id in *threadId when given; that id equals what
// GetCurrentThreadId returns on the new thread. stackSize 0 means the default. initFlag must
// be 0: the thread starts at once (suspended threads are not provided).
using ThreadStartRoutine = unsigned (*)(void* argument);
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, ThreadStartRoutine start,
                              void* argument, unsigned initFlag, unsigned* threadId);
// Ends the calling thread (started by _beginthreadex; the exit code is not kept); local objects
// of the thread are destroyed on the way out (the stack is unwound, so no noexcept
// function may be on it: that would end the process). Does not return.
[[noreturn]] void _endthreadex(unsigned exitCode);

// A thread cannot be killed safely on Linux. TerminateThread therefore marks the thread as
// terminated: its handle becomes signalled at once (the exit code is not kept), and the thread
// itself is left to run on, detached, until it returns. Code that may run in a thread that
// was given up on checks IsThreadTerminated() at its safe points (a message loop returns
// WM_QUIT then) and stops touching shared state.
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
// True when TerminateThread has been called on the calling thread.
bool IsThreadTerminated();

// A thread's creation time and, once it has ended, its exit time (system time), and the CPU
// time it has used so far (all of it once it has ended). Linux keeps one CPU clock per
// thread: the whole CPU time is given as user time and the kernel time is 0.
struct FILETIME;
BOOL GetThreadTimes(HANDLE thread, FILETIME* creationTime, FILETIME* exitTime,
                    FILETIME* kernelTime, FILETIME* userTime);

// Suspends the calling thread for at least the given real time.
void Sleep(DWORD milliseconds);
