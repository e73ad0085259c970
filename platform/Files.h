#pragma once
// The file operations the engine and the logs use, over open/write/close/unlink. Paths are
// taken as they are (relative paths name the current directory). File handles are kernel
// handles: CloseHandle closes them.
#include "platform/Kernel.h"

using LPCVOID = const void*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_APPEND_DATA = 0x00000004;  // every write goes to the end of the file

constexpr DWORD FILE_SHARE_READ = 0x00000001;

constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;

constexpr int MAX_PATH = 260;

// Opens or creates a file. The share mode is not looked at: every caller opens its own file
// under a name of its own. Returns INVALID_HANDLE_VALUE on failure, with GetLastError set.
HANDLE CreateFileA(LPCSTR name, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES attributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
// One write of count bytes; *written (when given) receives the bytes actually written.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED overlapped);
BOOL DeleteFileA(LPCSTR name);
// Copies the contents; with failIfExists TRUE an existing target is left alone and the
// call fails with ERROR_FILE_EXISTS. A copy onto the file itself fails
// (ERROR_SHARING_VIOLATION) and leaves it alone.
BOOL CopyFileA(LPCSTR existingName, LPCSTR newName, BOOL failIfExists);

// What a search finds (the callers only ask whether a name exists).
struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    char cFileName[MAX_PATH];
};
using LPWIN32_FIND_DATAA = WIN32_FIND_DATAA*;

// Looks for exactly the given name (no wildcards: "*" and "?" are taken literally).
// Returns a search handle to close with FindClose, or INVALID_HANDLE_VALUE when nothing
// is found (ERROR_FILE_NOT_FOUND).
HANDLE FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA findData);
BOOL FindClose(HANDLE find);
