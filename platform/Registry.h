#pragma once
// The read-only registry. On Linux the keys live in one registry export file (.reg, as the
// Windows registry editor writes it); see platform/RegFile.h for the file itself and
// RegistryFilePath for where it is. A key opened with RegOpenKeyExA is a snapshot of the
// file at that moment.
#include <string>

#include "platform/Kernel.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LPBYTE = BYTE*;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000003)))

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Results: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND (no such key or value), ERROR_MORE_DATA
// (buffer too small; the needed size is stored), ERROR_NO_MORE_ITEMS (enumeration done),
// ERROR_INVALID_HANDLE, ERROR_ACCESS_DENIED (write access asked for: the registry is
// read-only here).
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
// nameLength: in, the buffer size in characters including the NUL; out, the length
// without the NUL. REG_SZ data is UTF-8 and NUL-terminated.
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD nameLength, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD dataSize);
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);
LONG RegCloseKey(HKEY key);

namespace platform {

// The registry file: $QUORREL_REGISTRY when set and not empty, otherwise
// ${XDG_CONFIG_HOME:-$HOME/.config}/Tarnley/Quorrel.reg.
std::string RegistryFilePath();

}  // namespace platform
