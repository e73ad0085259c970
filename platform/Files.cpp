// Files over open/write/close/unlink. Share modes are kept in a table of the files this
// process has open (by device and inode), so a file opened without sharing cannot be
// opened again or deleted until it is closed, as the callers expect of Windows.
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/detail/KernelObject.h"

namespace {

constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOSPC:
        case EDQUOT:
            return ERROR_HANDLE_DISK_FULL;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EIO:
            return ERROR_WRITE_FAULT;
        default:
            return ERROR_GEN_FAILURE;
    }
}

void SetLastErrorFromErrno() {
    SetLastError(ErrorFromErrno(errno));
}

struct FileIdentity {
    dev_t device;
    ino_t inode;
    bool operator==(const FileIdentity&) const = default;
};

bool WantsRead(DWORD access) {
    return (access & GENERIC_READ) != 0;
}
bool WantsWrite(DWORD access) {
    return (access & (GENERIC_WRITE | FILE_APPEND_DATA)) != 0;
}

// The open handles of this process with their access and share modes.
class ShareTable {
public:
    struct Entry {
        FileIdentity file;
        DWORD access;
        DWORD share;
    };

    bool Allows(const FileIdentity& file, DWORD access, DWORD share) const {
        for (const Entry& entry : m_entries) {
            if (!(entry.file == file))
                continue;
            if (WantsWrite(access) && !(entry.share & FILE_SHARE_WRITE))
                return false;
            if (WantsRead(access) && !(entry.share & FILE_SHARE_READ))
                return false;
            if (WantsWrite(entry.access) && !(share & FILE_SHARE_WRITE))
                return false;
            if (WantsRead(entry.access) && !(share & FILE_SHARE_READ))
                return false;
        }
        return true;
    }

    bool AllowsDelete(const FileIdentity& file) const {
        for (const Entry& entry : m_entries) {
            if (entry.file == file && !(entry.share & FILE_SHARE_DELETE))
                return false;
        }
        return true;
    }

    void Add(const Entry& entry) { m_entries.push_back(entry); }

    void Remove(const FileIdentity& file, DWORD access, DWORD share) {
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->file == file && it->access == access && it->share == share) {
                m_entries.erase(it);
                return;
            }
        }
    }

    std::mutex& Mutex() { return m_mutex; }

private:
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

ShareTable& Shares() {
    static ShareTable* table = new ShareTable;  // file handles may outlive static destructors
    return *table;
}

class FileObject : public KernelObject {
public:
    FileObject(int fd, FileIdentity file, DWORD access, DWORD share)
        : m_fd(fd), m_file(file), m_access(access), m_share(share) {}
    ~FileObject() override {
        if (m_fd >= 0)
            Close();
    }

    bool Close() override {
        {
            std::lock_guard<std::mutex> lock(Shares().Mutex());
            Shares().Remove(m_file, m_access, m_share);
        }
        // Linux frees the descriptor even when close reports an error, so the handle is
        // gone either way; a retry would close someone else's descriptor.
        close(m_fd);
        m_fd = -1;
        return true;
    }

    bool Write(const void* buffer, DWORD count, DWORD& written) {
        written = 0;
        const char* bytes = static_cast<const char*>(buffer);
        while (written < count) {
            const ssize_t n = write(m_fd, bytes + written, count - written);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                SetLastErrorFromErrno();
                return false;
            }
            written += static_cast<DWORD>(n);
        }
        return true;
    }

    bool CanWrite() const { return WantsWrite(m_access); }
    int Descriptor() const { return m_fd; }

private:
    int m_fd;
    FileIdentity m_file;
    DWORD m_access;
    DWORD m_share;
};

class FindObject : public KernelObject {};

int OpenFlags(DWORD access) {
    int flags = O_CLOEXEC;
    if (WantsRead(access) && WantsWrite(access))
        flags |= O_RDWR;
    else if (WantsWrite(access))
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if ((access & FILE_APPEND_DATA) && !(access & GENERIC_WRITE))
        flags |= O_APPEND;
    return flags;
}

// Opens according to the disposition; existed tells whether the file was there before.
int OpenWithDisposition(const char* name, int flags, DWORD disposition, bool& existed) {
    existed = false;
    switch (disposition) {
        case CREATE_NEW:
            return open(name, flags | O_CREAT | O_EXCL, 0666);
        case CREATE_ALWAYS:
        case OPEN_ALWAYS: {
            const int fd = open(name, flags | O_CREAT | O_EXCL, 0666);
            if (fd >= 0 || errno != EEXIST)
                return fd;
            existed = true;
            return open(name, flags);
        }
        case OPEN_EXISTING:
        case TRUNCATE_EXISTING:
            existed = true;
            return open(name, flags);
        default:
            errno = EINVAL;
            return -1;
    }
}

bool IdentityOf(int fd, FileIdentity& file, struct stat& info) {
    if (fstat(fd, &info) != 0)
        return false;
    file = FileIdentity{info.st_dev, info.st_ino};
    return true;
}

FILETIME FileTimeFromTimespec(const timespec& time) {
    const std::int64_t units =
        platform::kFileTimeUnixEpoch +
        static_cast<std::int64_t>(time.tv_sec) * platform::kFileTimeUnitsPerSecond +
        time.tv_nsec / 100;
    return platform::UInt64ToFileTime(static_cast<std::uint64_t>(units));
}

bool CopyContents(int in, HANDLE target) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(in, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetLastErrorFromErrno();
            return false;
        }
        if (!WriteFile(target, buffer, static_cast<DWORD>(n), nullptr, nullptr))
            return false;
    }
}

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD, HANDLE) {
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool truncate =
        creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;
    if (creationDisposition == TRUNCATE_EXISTING && !(desiredAccess & GENERIC_WRITE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lock(Shares().Mutex());
    bool existed = false;
    const int fd =
        OpenWithDisposition(name, OpenFlags(desiredAccess), creationDisposition, existed);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return INVALID_HANDLE_VALUE;
    }
    FileIdentity file{};
    struct stat info {};
    DWORD error = 0;
    if (!IdentityOf(fd, file, info))
        error = ErrorFromErrno(errno);
    else if (S_ISDIR(info.st_mode))
        error = ERROR_ACCESS_DENIED;
    else if (!Shares().Allows(file, desiredAccess, shareMode))
        error = ERROR_SHARING_VIOLATION;
    else if (truncate && info.st_size != 0 && ftruncate(fd, 0) != 0)
        error = ErrorFromErrno(errno);
    if (error != 0) {
        close(fd);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    Shares().Add({file, desiredAccess, shareMode});
    const bool reportsExisting =
        creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
    SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : 0);
    return platform::RegisterKernelObject(
        std::make_shared<FileObject>(fd, file, desiredAccess, shareMode));
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD written, LPOVERLAPPED) {
    if (written != nullptr)
        *written = 0;
    auto file = platform::FindKernelObjectAs<FileObject>(handle);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!file->CanWrite()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (buffer == nullptr && count != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    const bool ok = file->Write(buffer, count, done);
    if (written != nullptr)
        *written = done;
    return ok ? TRUE : FALSE;
}

BOOL DeleteFileA(LPCSTR name) {
    if (name == nullptr || *name == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(Shares().Mutex());
    struct stat info {};
    if (lstat(name, &info) != 0) {
        SetLastErrorFromErrno();
        return FALSE;
    }
    if (S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!Shares().AllowsDelete(FileIdentity{info.st_dev, info.st_ino})) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (unlink(name) != 0) {
        SetLastErrorFromErrno();
        return FALSE;
    }
    return TRUE;
}

BOOL CopyFileA(LPCSTR existingName, LPCSTR newName, BOOL failIfExists) {
    if (existingName == nullptr || newName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HANDLE source = CreateFileA(existingName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (source == INVALID_HANDLE_VALUE)
        return FALSE;
    const int in = platform::FindKernelObjectAs<FileObject>(source)->Descriptor();
    struct stat info {};
    if (fstat(in, &info) != 0) {
        SetLastErrorFromErrno();
        CloseHandle(source);
        return FALSE;
    }
    HANDLE target =
        CreateFileA(newName, GENERIC_WRITE, 0, nullptr, failIfExists ? CREATE_NEW : CREATE_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (target == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        CloseHandle(source);
        SetLastError(error);
        return FALSE;
    }
    const bool ok = CopyContents(in, target);
    const DWORD error = GetLastError();
    CloseHandle(target);
    CloseHandle(source);
    if (!ok) {
        unlink(newName);  // a partial copy is worse than none
        SetLastError(error);
        return FALSE;
    }
    chmod(newName, info.st_mode & 07777);
    SetLastError(0);
    return TRUE;
}

HANDLE FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA findData) {
    if (name == nullptr || *name == '\0' || findData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    if (stat(name, &info) != 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    std::memset(findData, 0, sizeof *findData);
    DWORD attributes = 0;
    if (S_ISDIR(info.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (!(info.st_mode & S_IWUSR))
        attributes |= FILE_ATTRIBUTE_READONLY;
    findData->dwFileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    findData->ftCreationTime = FileTimeFromTimespec(info.st_ctim);
    findData->ftLastAccessTime = FileTimeFromTimespec(info.st_atim);
    findData->ftLastWriteTime = FileTimeFromTimespec(info.st_mtim);
    const auto size = static_cast<std::uint64_t>(info.st_size);
    findData->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    findData->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    std::strncpy(findData->cFileName, BaseName(name), MAX_PATH - 1);
    return platform::RegisterKernelObject(std::make_shared<FindObject>());
}

BOOL FindClose(HANDLE find) {
    if (!platform::FindKernelObjectAs<FindObject>(find)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(find);
}
