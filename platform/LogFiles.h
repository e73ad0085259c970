#pragma once
// The few file-system calls the trace log's writer needs beyond the Windows file API: a file
// held open for appending and checked against its name, renames that do or do not replace,
// a directory listing and a watch for removed names, the free space of a file system, and
// a hook run on a crash signal. A Windows build supplies its own versions of these.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Which file a name or a descriptor refers to.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A file opened for appending (every write goes to its end), kept open between writes.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile() { Close(); }
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens or creates name; truncate empties it. False (and nothing held) on failure.
    // size receives the file's size after opening.
    bool Open(const std::string& name, bool truncate, std::uint64_t& size);
    void Close();
    bool IsOpen() const { return m_descriptor >= 0; }

    enum class NameState { kThisFile, kMissing, kOtherFile };
    // What name refers to now: this very file (size receives its size), nothing, or
    // another file (replaced, or a folder).
    NameState Check(const std::string& name, std::uint64_t& size) const;

    // Writes all bytes unless the file system refuses; the bytes actually written.
    std::size_t Append(const char* data, std::size_t size);

    // For a crash handler: one best-effort write, async-signal-safe.
    void AppendFromSignalHandler(const char* data, std::size_t size) const;

private:
    int m_descriptor = -1;
    FileIdentity m_identity;
};

// Identity of a folder ("" names the working folder); false when it cannot be read.
bool FolderIdentity(const std::string& folder, FileIdentity& identity);

enum class RenameOutcome { kDone, kTargetExists, kFailed };
// Moves from to to, failing with kTargetExists when to exists.
RenameOutcome RenameWithoutReplacing(const std::string& from, const std::string& to);
// Moves from to to, replacing to.
bool RenameReplacing(const std::string& from, const std::string& to);
bool RemoveFile(const std::string& name);
// Modification time of a file as a FILETIME value; false when it cannot be read.
bool ModificationTime(const std::string& name, std::int64_t& fileTime);
// The names in a folder ("" is the working folder), without "." and "..".
bool ListFolder(const std::string& folder, std::vector<std::string>& names);

// Reports names that appear in or leave one folder, without asking about each file.
class FolderWatch {
public:
    FolderWatch() = default;
    ~FolderWatch() { Stop(); }
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // False when the system cannot watch; the caller then lists the folder instead.
    bool Start(const std::string& folder);
    void Stop();
    bool IsWatching() const { return m_descriptor >= 0; }

    struct Change {
        std::string name;
        bool removed;  // left the folder (deleted or moved away); else appeared
    };
    // The changes since the last call, without waiting. False when changes were lost
    // (the system's queue overflowed, or the folder itself went away): list it again.
    bool TakeChanges(std::vector<Change>& changes);

private:
    int m_descriptor = -1;
};

struct FileSystemSpace {
    std::uint64_t freeBytes = 0;   // available to this user
    std::uint64_t totalBytes = 0;
};
// The space of the file system that holds folder ("" is the working folder).
bool GetFileSystemSpace(const std::string& folder, FileSystemSpace& space);
// Tests replace the answer (nullptr restores the real one).
using FileSystemSpaceHook = bool (*)(const std::string& folder, FileSystemSpace& space);
void SetFileSystemSpaceHook(FileSystemSpaceHook hook);

// The working folder by its path. A process whose working folder is deleted keeps the
// deleted one, where nothing can be made, even after a folder of the same name is made
// again; the log goes back to the path when it finds itself there.
void RememberWorkingFolder(const std::string& path);
// True when the working folder had been deleted and the process is now in the folder of the
// remembered path again.
bool ReenterDeletedWorkingFolder();

// Runs hook (which must be async-signal-safe) on SIGSEGV, SIGBUS, SIGFPE, SIGILL and
// SIGABRT, then lets the signal take its course with the handler that was there before.
void RunOnCrashSignal(void (*hook)());

}  // namespace platform
