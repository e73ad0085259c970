// The trace log's file calls on Windows. The log is a text file: every LF is written as
// CR LF, as a text-mode stream writes it, and sizes count the bytes on disk. The file is
// opened with delete sharing so that rotation can rename it while it is held open.
#include "platform/LogFiles.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <csignal>

#include "platform/Time.h"

namespace platform {

namespace {

std::string FolderName(const std::string& folder) {
    return folder.empty() ? "." : folder;
}

HANDLE HandleOf(int descriptor) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

// Opens name (a file or a folder) just to look at it.
HANDLE OpenToInspect(const std::string& name) {
    return CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool Inspect(HANDLE handle, FileIdentity& identity, std::uint64_t& size, bool& isFolder) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    identity = FileIdentity{info.dwVolumeSerialNumber,
                            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    isFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

// Writes data with every LF as CR LF; the bytes that reached the file.
std::size_t WriteAsText(HANDLE file, const char* data, std::size_t size) {
    char chunk[8192];
    std::size_t written = 0;
    std::size_t at = 0;
    while (at < size) {
        std::size_t used = 0;
        while (at < size && used + 2 <= sizeof chunk) {
            if (data[at] == '\n')
                chunk[used++] = '\r';
            chunk[used++] = data[at++];
        }
        DWORD done = 0;
        if (!WriteFile(file, chunk, static_cast<DWORD>(used), &done, nullptr)) {
            written += done;
            break;
        }
        written += done;
        if (done != used)
            break;
    }
    return written;
}

std::atomic<FileSystemSpaceHook> gSpaceHook{nullptr};
std::atomic<void (*)()> gCrashHook{nullptr};
LPTOP_LEVEL_EXCEPTION_FILTER gPreviousFilter = nullptr;

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    if (auto hook = gCrashHook.load())
        hook();
    return gPreviousFilter != nullptr ? gPreviousFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

void OnAbort(int) {
    if (auto hook = gCrashHook.load())
        hook();
}

}  // namespace

bool AppendFile::Open(const std::string& name, bool truncate, std::uint64_t& size) {
    Close();
    HANDLE file = CreateFileA(name.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool isFolder = false;
    if (!Inspect(file, m_identity, size, isFolder) || isFolder) {
        CloseHandle(file);
        return false;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(file);
        return false;
    }
    m_descriptor = descriptor;
    return true;
}

void AppendFile::Close() {
    if (m_descriptor >= 0)
        _close(m_descriptor);  // closes the handle as well
    m_descriptor = -1;
}

// A file deleted while this program holds it open keeps its name until the last handle is
// closed (a "delete pending" file); for the writer the name is gone already.
bool DeletePending(int descriptor) {
    FILE_STANDARD_INFO info;
    return descriptor >= 0 &&
           GetFileInformationByHandleEx(HandleOf(descriptor), FileStandardInfo, &info, sizeof info) &&
           info.DeletePending;
}

AppendFile::NameState AppendFile::Check(const std::string& name, std::uint64_t& size) const {
    if (DeletePending(m_descriptor))
        return NameState::kMissing;
    HANDLE named = OpenToInspect(name);
    if (named == INVALID_HANDLE_VALUE)
        return NameState::kMissing;
    FileIdentity identity;
    bool isFolder = false;
    const bool known = Inspect(named, identity, size, isFolder);
    CloseHandle(named);
    if (!known || isFolder || m_descriptor < 0 || !(identity == m_identity))
        return NameState::kOtherFile;
    return NameState::kThisFile;
}

std::size_t AppendFile::Append(const char* data, std::size_t size) {
    if (m_descriptor < 0)
        return 0;
    return WriteAsText(HandleOf(m_descriptor), data, size);
}

void AppendFile::AppendFromSignalHandler(const char* data, std::size_t size) const {
    if (m_descriptor >= 0)
        WriteAsText(HandleOf(m_descriptor), data, size);
}

bool FolderIdentity(const std::string& folder, FileIdentity& identity) {
    HANDLE handle = OpenToInspect(FolderName(folder));
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    std::uint64_t size = 0;
    bool isFolder = false;
    const bool known = Inspect(handle, identity, size, isFolder);
    CloseHandle(handle);
    return known && isFolder;
}

RenameOutcome RenameWithoutReplacing(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), 0))
        return RenameOutcome::kDone;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? RenameOutcome::kTargetExists
                                                                       : RenameOutcome::kFailed;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool RemoveFile(const std::string& name) {
    return DeleteFileA(name.c_str()) != FALSE;
}

bool ModificationTime(const std::string& name, std::int64_t& fileTime) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data))
        return false;
    fileTime = static_cast<std::int64_t>(FileTimeToUInt64(data.ftLastWriteTime));
    return true;
}

bool ListFolder(const std::string& folder, std::vector<std::string>& names) {
    names.clear();
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((FolderName(folder) + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

// No watch here: the writer lists the folder when it needs to know.
bool FolderWatch::Start(const std::string&) {
    return false;
}

void FolderWatch::Stop() {
    m_descriptor = -1;
}

bool FolderWatch::TakeChanges(std::vector<Change>& changes) {
    changes.clear();
    return false;
}

bool GetFileSystemSpace(const std::string& folder, FileSystemSpace& space) {
    if (FileSystemSpaceHook hook = gSpaceHook.load())
        return hook(folder, space);
    ULARGE_INTEGER freeToUser, total, freeTotal;
    if (!GetDiskFreeSpaceExA(FolderName(folder).c_str(), &freeToUser, &total, &freeTotal))
        return false;
    space.freeBytes = freeToUser.QuadPart;
    space.totalBytes = total.QuadPart;
    return true;
}

void SetFileSystemSpaceHook(FileSystemSpaceHook hook) {
    gSpaceHook.store(hook);
}

// A crash on Windows is an unhandled exception (or abort): the hook runs, then whatever
// handled it before.
void RunOnCrashSignal(void (*hook)()) {
    const bool first = gCrashHook.exchange(hook) == nullptr && hook != nullptr;
    static std::atomic<bool> installed{false};
    if (!first || installed.exchange(true))
        return;
    gPreviousFilter = SetUnhandledExceptionFilter(&OnUnhandledException);
    std::signal(SIGABRT, &OnAbort);
}

void RememberWorkingFolder(const std::string&) {}

// Windows does not delete a folder some process is working in.
bool ReenterDeletedWorkingFolder() {
    return false;
}

}  // namespace platform
