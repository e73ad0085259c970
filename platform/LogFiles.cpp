#include "platform/LogFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/Time.h"

namespace platform {

namespace {

const char* FolderName(const std::string& folder) {
    return folder.empty() ? "." : folder.c_str();
}

FileIdentity IdentityOf(const struct stat& info) {
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
}

std::atomic<FileSystemSpaceHook> gSpaceHook{nullptr};

}  // namespace

bool AppendFile::Open(const std::string& name, bool truncate, std::uint64_t& size) {
    Close();
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    const int descriptor = open(name.c_str(), flags, 0666);
    if (descriptor < 0)
        return false;
    struct stat opened {};
    if (fstat(descriptor, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        close(descriptor);
        return false;
    }
    m_descriptor = descriptor;
    m_identity = IdentityOf(opened);
    size = static_cast<std::uint64_t>(opened.st_size);
    return true;
}

void AppendFile::Close() {
    if (m_descriptor >= 0)
        close(m_descriptor);
    m_descriptor = -1;
}

AppendFile::NameState AppendFile::Check(const std::string& name, std::uint64_t& size) const {
    struct stat named {};
    if (stat(name.c_str(), &named) != 0)
        return NameState::kMissing;
    size = static_cast<std::uint64_t>(named.st_size);
    if (m_descriptor < 0 || !S_ISREG(named.st_mode) || !(IdentityOf(named) == m_identity))
        return NameState::kOtherFile;
    return NameState::kThisFile;
}

std::size_t AppendFile::Append(const char* data, std::size_t size) {
    std::size_t done = 0;
    while (m_descriptor >= 0 && done < size) {
        const ssize_t written = write(m_descriptor, data + done, size - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;  // a full disk or a broken file: the rest is lost
        done += static_cast<std::size_t>(written);
    }
    return done;
}

void AppendFile::AppendFromSignalHandler(const char* data, std::size_t size) const {
    if (m_descriptor >= 0 && size > 0) {
        [[maybe_unused]] const ssize_t ignored = write(m_descriptor, data, size);
    }
}

bool FolderIdentity(const std::string& folder, FileIdentity& identity) {
    struct stat info {};
    if (stat(FolderName(folder), &info) != 0)
        return false;
    identity = IdentityOf(info);
    return true;
}

RenameOutcome RenameWithoutReplacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return RenameOutcome::kDone;
    if (errno == EEXIST)
        return RenameOutcome::kTargetExists;
    if (errno != EINVAL && errno != ENOSYS)
        return RenameOutcome::kFailed;
    // A file system without the flag: a hard link fails on an existing target just the same.
    if (link(from.c_str(), to.c_str()) != 0)
        return errno == EEXIST ? RenameOutcome::kTargetExists : RenameOutcome::kFailed;
    unlink(from.c_str());
    return RenameOutcome::kDone;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
    return rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFile(const std::string& name) {
    return unlink(name.c_str()) == 0;
}

bool ModificationTime(const std::string& name, std::int64_t& fileTime) {
    struct stat info {};
    if (stat(name.c_str(), &info) != 0)
        return false;
    fileTime = kFileTimeUnixEpoch + static_cast<std::int64_t>(info.st_mtim.tv_sec) *
                                        kFileTimeUnitsPerSecond +
               info.st_mtim.tv_nsec / 100;
    return true;
}

bool ListFolder(const std::string& folder, std::vector<std::string>& names) {
    names.clear();
    DIR* listing = opendir(FolderName(folder));
    if (listing == nullptr)
        return false;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(listing);
    return true;
}

bool FolderWatch::Start(const std::string& folder) {
    Stop();
    const int descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0)
        return false;
    const uint32_t events = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                            IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (inotify_add_watch(descriptor, FolderName(folder), events) < 0) {
        close(descriptor);
        return false;
    }
    m_descriptor = descriptor;
    return true;
}

void FolderWatch::Stop() {
    if (m_descriptor >= 0)
        close(m_descriptor);
    m_descriptor = -1;
}

bool FolderWatch::TakeChanges(std::vector<Change>& changes) {
    changes.clear();
    if (m_descriptor < 0)
        return false;
    alignas(inotify_event) char buffer[16384];
    bool complete = true;
    for (;;) {
        const ssize_t got = read(m_descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;  // EAGAIN: nothing more
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                complete = false;
                continue;
            }
            if (event->len == 0)
                continue;
            changes.push_back({event->name, (event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0});
        }
    }
    return complete;
}

bool GetFileSystemSpace(const std::string& folder, FileSystemSpace& space) {
    if (const FileSystemSpaceHook hook = gSpaceHook.load())
        return hook(folder, space);
    struct statvfs info {};
    if (statvfs(FolderName(folder), &info) != 0)
        return false;
    space.freeBytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
    space.totalBytes = static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize;
    return true;
}

void SetFileSystemSpaceHook(FileSystemSpaceHook hook) {
    gSpaceHook.store(hook);
}

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kCrashSignalCount = sizeof kCrashSignals / sizeof kCrashSignals[0];
std::atomic<void (*)()> gCrashHook{nullptr};
struct sigaction gPreviousCrashActions[kCrashSignalCount];

void OnCrashSignal(int signalNumber) {
    if (void (*hook)() = gCrashHook.exchange(nullptr))
        hook();  // once, even when the hook itself faults
    for (int i = 0; i < kCrashSignalCount; ++i) {
        if (kCrashSignals[i] == signalNumber)
            sigaction(signalNumber, &gPreviousCrashActions[i], nullptr);
    }
    // A fault repeats when the handler returns; a raised signal (abort) is raised again.
    // Either way the previous handler, or the default action, now takes it.
    raise(signalNumber);
}

}  // namespace

void RunOnCrashSignal(void (*hook)()) {
    const bool first = gCrashHook.exchange(hook) == nullptr && hook != nullptr;
    static std::atomic<bool> installed{false};
    if (!first || installed.exchange(true))
        return;
    struct sigaction action {};
    action.sa_handler = &OnCrashSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK;
    for (int i = 0; i < kCrashSignalCount; ++i)
        sigaction(kCrashSignals[i], &action, &gPreviousCrashActions[i]);
}

namespace {
std::mutex gWorkingFolderMutex;
std::string gWorkingFolder;  // guarded by gWorkingFolderMutex
}  // namespace

void RememberWorkingFolder(const std::string& path) {
    std::lock_guard<std::mutex> lock(gWorkingFolderMutex);
    gWorkingFolder = path;
}

bool ReenterDeletedWorkingFolder() {
    struct stat here {};
    // A deleted folder has no links left (or cannot be looked at any more).
    if (::stat(".", &here) == 0 && here.st_nlink > 0)
        return false;
    std::lock_guard<std::mutex> lock(gWorkingFolderMutex);
    return !gWorkingFolder.empty() && ::chdir(gWorkingFolder.c_str()) == 0;
}

}  // namespace platform
