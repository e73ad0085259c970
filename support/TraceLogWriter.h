#pragma once
// The writer behind the trace log: lines are gathered in memory and handed to the file in
// large writes, and the file comes out byte for byte as if every line had been written on
// its own: the same header when the file is created, rotation at the same line (the first
// line that finds the file above the limit moves it to the next numbered copy and starts a
// fresh file), the same bytes in every copy.
//
// How that holds: the writer keeps the file open and knows its size, so it takes the same
// decisions a line-by-line writer takes from a look at the file before each line. Changes
// made to the file from outside (deleted, renamed, replaced, written by someone else) are
// noticed when the pending lines are written: one look at the name then, and if the name no
// longer refers to the file as the writer left it, the pending lines are written one by one
// against what is there, as a line-by-line writer would have written them had the change
// happened just before the first of them.
//
// Pending lines are written within 100 ms (the caller's Add notices when the oldest is due,
// and an idle owner calls FlushIfDue or Flush), when the buffer is full, and at rotation.
// Not thread-safe: the trace log calls it under LogMutex.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/LogFiles.h"
#include "support/NumberedCopies.h"

class TraceLogWriter {
public:
    static constexpr std::size_t kBufferBytes = 128 * 1024;
    static constexpr std::size_t kBufferLines = 4096;
    // A line is written at the latest this long after it was added (100-ns units, measured
    // on the monotonic clock).
    static constexpr std::int64_t kHoldAtMost = 100 * 10000;
    // A file larger than this is rotated before the next line.
    static constexpr std::uint64_t kSizeLimit = 1000000;

    // folder "" is the working folder, looked up anew at every write.
    explicit TraceLogWriter(std::string folder = "", std::string name = "log.txt");
    TraceLogWriter(const TraceLogWriter&) = delete;
    TraceLogWriter& operator=(const TraceLogWriter&) = delete;

    // One line's text (whatever one log call expanded), at the time of the system clock.
    void Add(const char* text, std::size_t size);
    // The same, at a time the caller has just read (the one its line's stamp shows).
    void Add(const char* text, std::size_t size, std::int64_t fileTime);
    // Writes every pending line now.
    void Flush();
    // Writes the pending lines when the oldest has waited its 100 ms.
    void FlushIfDue();
    bool HasPending() const { return m_lineCount != 0; }
    // When the oldest pending line is due, on the monotonic clock (platform::MonotonicTime):
    // the system clock may be set back or forward while a line waits. Meaningful only with
    // pending lines.
    std::int64_t DueTime() const { return m_lines[0].held + kHoldAtMost; }

    // Makes sure the file exists with its header and is rotated when over the limit, as
    // before a line (after writing what is pending).
    void Open();

    // At most this many numbered copies; the oldest go when a new one is made. Negative
    // (the default): all are kept.
    void SetKeepCopies(int copies) { m_keepCopies = copies < 0 ? -1 : copies; }

    // From a crash handler: hands the pending bytes to the file, nothing else.
    void WriteFromSignalHandler() const;

private:
    struct Line {
        std::uint32_t end;  // offset just after the line in the buffer
        std::int64_t time;  // when it was added: the system time its header would show
        std::int64_t held;  // when it was added, on the monotonic clock: its 100 ms count here
    };

    void LookBeforeFirstPendingLine(std::int64_t now);
    void Write(const char* data, const Line* lines, std::size_t count);
    void WriteOneByOne(const char* data, const Line* lines, std::size_t count);
    bool OpenAsBeforeALine(std::int64_t time);
    void Rotate(std::int64_t time);
    void MoveToNumberedCopy();
    void ReplaceOldestCopy();
    void DropCopiesOverTheLimit(int keep);
    bool CreateWithHeader(std::int64_t time);
    void AppendToFile(const char* data, std::size_t size);

    std::string m_name;
    bool m_inWorkingFolder;
    NumberedCopies m_copies;
    platform::AppendFile m_file;
    bool m_fileKnown = false;  // m_file is open and m_size is its size
    std::uint64_t m_size = 0;
    int m_keepCopies = -1;

    std::unique_ptr<char[]> m_buffer;
    std::unique_ptr<Line[]> m_lines;
    // Read by the crash handler, hence volatile; the bytes below it are complete lines.
    volatile std::size_t m_used = 0;
    std::size_t m_lineCount = 0;
};

// The five header lines of a trace log created at fileTime.
std::string TraceLogHeader(std::int64_t fileTime);
