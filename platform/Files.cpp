// Files over open/write/close/unlink.
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

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

bool WantsRead(DWORD access) {
    return (access & GENERIC_READ) != 0;
}
bool WantsWrite(DWORD access) {
    return (access & (GENERIC_WRITE | FILE_APPEND_DATA)) != 0;
}

class FileObject : public KernelObject {
public:
    FileObject(int fd, DWORD access) : m_fd(fd), m_access(access) {}
    ~FileObject() override {
        if (m_fd >= 0)
            Close();
    }

    bool Close() override {
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
    DWORD m_access;
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

HANDLE CreateFileA(LPCSTR name, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
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
    bool existed = false;
    const int fd =
        OpenWithDisposition(name, OpenFlags(desiredAccess), creationDisposition, existed);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    DWORD error = 0;
    if (fstat(fd, &info) != 0)
        error = ErrorFromErrno(errno);
    else if (S_ISDIR(info.st_mode))
        error = ERROR_ACCESS_DENIED;
    else if (truncate && info.st_size != 0 && ftruncate(fd, 0) != 0)
        error = ErrorFromErrno(errno);
    if (error != 0) {
        close(fd);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    const bool reportsExisting =
        creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
    SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : 0);
    return platform::RegisterKernelObject(std::make_shared<FileObject>(fd, desiredAccess));
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
    struct stat info {};
    if (lstat(name, &info) != 0) {
        SetLastErrorFromErrno();
        return FALSE;
    }
    if (S_ISDIR(info.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
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
    // Opening the target would truncate the source when both names are the same file.
    struct stat existing {};
    if (stat(newName, &existing) == 0 && existing.st_dev == info.st_dev &&
        existing.st_ino == info.st_ino) {
        CloseHandle(source);
        SetLastError(ERROR_SHARING_VIOLATION);
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
