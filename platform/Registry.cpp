// Read-only registry over the registry file. Opening a key reads the file and keeps a
// snapshot of that key's values for the handle; nothing is ever written.
#include "platform/Registry.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/RegFile.h"
#include "platform/detail/HandleTable.h"

namespace {

// Access rights that would change the registry.
constexpr REGSAM kWriteAccess = 0x0002 | 0x0004 | 0x0020 | 0x00010000 | 0x00040000 | 0x00080000;

struct OpenKey {
    std::string path;
    std::vector<platform::RegFileValue> values;
};

using KeyTable = platform::detail::HandleTable<OpenKey, HKEY, 0x2000>;

KeyTable& Keys() {
    static KeyTable* table = new KeyTable;
    return *table;
}

const char* RootName(HKEY key) {
    if (key == HKEY_CLASSES_ROOT)
        return "HKEY_CLASSES_ROOT";
    if (key == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    if (key == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    if (key == HKEY_USERS)
        return "HKEY_USERS";
    return nullptr;
}

// The full path of a key given by its parent (a root or an open key) and subkey.
bool ResolvePath(HKEY parent, LPCSTR subKey, std::string& path) {
    if (const char* root = RootName(parent)) {
        path = root;
    } else if (auto open = Keys().Find(parent)) {
        path = open->path;
    } else {
        return false;
    }
    if (subKey != nullptr && *subKey != '\0') {
        path += '\\';
        path += subKey;
    }
    return true;
}

// A key exists when the file names it, or names a key below it.
bool KeyExists(const platform::RegFile& file, const std::string& path) {
    const std::string prefix = path + '\\';
    for (const platform::RegFileKey& key : file.keys) {
        if (key.path.size() > prefix.size() &&
            platform::SameRegKeyPath(std::string_view(key.path).substr(0, path.size()), path) &&
            key.path[path.size()] == '\\')
            return true;
    }
    return false;
}

bool SameValueName(const std::string& a, const char* b) {
    const std::string_view other = b != nullptr ? b : "";
    if (a.size() != other.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; };
        if (fold(a[i]) != fold(other[i]))
            return false;
    }
    return true;
}

// Copies value data as the Reg* functions do: size only, too small, or copied.
LONG CopyData(const platform::RegFileValue& value, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (type != nullptr)
        *type = value.type;
    const DWORD needed = static_cast<DWORD>(value.data.size());
    if (size == nullptr)
        return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    if (data == nullptr) {
        *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return static_cast<LONG>(ERROR_MORE_DATA);
    }
    if (needed != 0)
        std::memcpy(data, value.data.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

}  // namespace

namespace platform {

std::string RegistryFilePath() {
    const char* explicitPath = std::getenv("QUORREL_REGISTRY");
    if (explicitPath != nullptr && *explicitPath != '\0')
        return explicitPath;
    std::string base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && *config != '\0') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.config";
    }
    return base + "/Tarnley/Quorrel.reg";
}

}  // namespace platform

LONG RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (desired & kWriteAccess)
        return ERROR_ACCESS_DENIED;
    std::string path;
    if (!ResolvePath(parent, subKey, path))
        return ERROR_INVALID_HANDLE;
    platform::RegFile file;
    if (!platform::LoadRegFile(platform::RegistryFilePath(), file))
        return ERROR_FILE_NOT_FOUND;
    OpenKey key;
    if (const platform::RegFileKey* found = file.FindKey(path)) {
        key.path = found->path;
        key.values = found->values;
    } else if (KeyExists(file, path)) {
        key.path = path;
    } else {
        return ERROR_FILE_NOT_FOUND;
    }
    *result = Keys().Add(std::make_shared<OpenKey>(std::move(key)));
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY handle, DWORD index, LPSTR valueName, LPDWORD nameLength, LPDWORD,
                   LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    auto key = Keys().Find(handle);
    if (!key)
        return ERROR_INVALID_HANDLE;
    if (valueName == nullptr || nameLength == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (index >= key->values.size())
        return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
    const platform::RegFileValue& value = key->values[index];
    if (*nameLength <= value.name.size())
        return static_cast<LONG>(ERROR_MORE_DATA);
    std::memcpy(valueName, value.name.c_str(), value.name.size() + 1);
    *nameLength = static_cast<DWORD>(value.name.size());
    return CopyData(value, type, data, dataSize);
}

LONG RegQueryValueExA(HKEY handle, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
    auto key = Keys().Find(handle);
    if (!key)
        return ERROR_INVALID_HANDLE;
    for (const platform::RegFileValue& value : key->values) {
        if (SameValueName(value.name, valueName))
            return CopyData(value, type, data, dataSize);
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY handle) {
    if (RootName(handle) != nullptr)
        return ERROR_SUCCESS;
    return Keys().Remove(handle) != nullptr ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
