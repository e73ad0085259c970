#include "support/TraceLogWriter.h"

#include <cstring>

#include "platform/Time.h"
#include "support/DiskSpaceGuard.h"
#include "support/LogText.h"

namespace {

constexpr int kRenameAttempts = 64;

std::string InFolder(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

std::string TraceLogHeader(std::int64_t fileTime) {
    std::string header =
        "##-------------------------------------------------\n"
        "##  Quorrel Log File\n"
        "##\n"
        "## Created: ";
    AppendDateTimeStampAt(header, fileTime);
    header += "\n##\n";
    return header;
}

TraceLogWriter::TraceLogWriter(std::string folder, std::string name)
    : m_name(InFolder(folder, name)),
      m_inWorkingFolder(folder.empty()),
      m_copies(folder, name),
      m_buffer(new char[kBufferBytes]),
      m_lines(new Line[kBufferLines]) {}

void TraceLogWriter::Add(const char* text, std::size_t size) {
    Add(text, size, platform::CurrentFileTime());
}

void TraceLogWriter::Add(const char* text, std::size_t size, std::int64_t now) {
    if (m_lineCount == 0)
        LookBeforeFirstPendingLine(now);
    if (m_fileKnown && m_size + m_used > kSizeLimit) {
        Flush();
        if (m_fileKnown && m_size > kSizeLimit)
            Rotate(now);
    }
    if (m_used + size > kBufferBytes || m_lineCount == kBufferLines)
        Flush();
    const std::int64_t held = platform::MonotonicTime();
    if (size > kBufferBytes) {
        const Line alone{static_cast<std::uint32_t>(size), now, held};
        Write(text, &alone, 1);
        return;
    }
    std::memcpy(m_buffer.get() + m_used, text, size);
    m_lines[m_lineCount++] = Line{static_cast<std::uint32_t>(m_used + size), now, held};
    m_used = m_used + size;
    if (held - m_lines[0].held >= kHoldAtMost)
        Flush();
}

// The first line of a batch looks at the file as a line-by-line writer would, so a change
// made while nothing was pending takes effect at exactly this line.
void TraceLogWriter::LookBeforeFirstPendingLine(std::int64_t now) {
    std::uint64_t size = 0;
    if (m_fileKnown && m_file.Check(m_name, size) == platform::AppendFile::NameState::kThisFile &&
        size == m_size)
        return;
    m_fileKnown = false;
    m_file.Close();
    OpenAsBeforeALine(now);
}

void TraceLogWriter::Flush() {
    if (m_lineCount == 0)
        return;
    Write(m_buffer.get(), m_lines.get(), m_lineCount);
    m_lineCount = 0;
    m_used = 0;
}

void TraceLogWriter::FlushIfDue() {
    if (m_lineCount != 0 && platform::MonotonicTime() >= DueTime())
        Flush();
}

void TraceLogWriter::Open() {
    Flush();
    const std::int64_t now = platform::CurrentFileTime();
    LookBeforeFirstPendingLine(now);
    if (m_fileKnown && m_size > kSizeLimit)
        Rotate(now);
}

void TraceLogWriter::WriteFromSignalHandler() const {
    m_file.AppendFromSignalHandler(m_buffer.get(), m_used);
}

void TraceLogWriter::Write(const char* data, const Line* lines, std::size_t count) {
    std::uint64_t size = 0;
    if (m_fileKnown && m_file.Check(m_name, size) == platform::AppendFile::NameState::kThisFile &&
        size == m_size) {
        AppendToFile(data, lines[count - 1].end);
        return;
    }
    WriteOneByOne(data, lines, count);
}

// The file is not as the writer left it: take each line as a line-by-line writer would,
// against what is there now. Contiguous lines still go out in one write.
void TraceLogWriter::WriteOneByOne(const char* data, const Line* lines, std::size_t count) {
    m_fileKnown = false;
    m_file.Close();
    if (!OpenAsBeforeALine(lines[0].time))
        return;  // lost: the file cannot be written now
    std::size_t written = 0;
    for (std::size_t i = 1; i < count; ++i) {
        const std::size_t start = lines[i - 1].end;
        if (m_size + (start - written) <= kSizeLimit)
            continue;
        AppendToFile(data + written, start - written);
        written = start;
        Rotate(lines[i].time);
        if (!m_fileKnown)
            return;
    }
    AppendToFile(data + written, lines[count - 1].end - written);
}

// Before a line: a missing file is created with its header, one over the limit rotated,
// any other opened for appending. False when there is no file to write to.
bool TraceLogWriter::OpenAsBeforeALine(std::int64_t time) {
    std::uint64_t size = 0;
    const auto state = m_file.Check(m_name, size);
    if (state == platform::AppendFile::NameState::kMissing)
        return CreateWithHeader(time);
    if (size > kSizeLimit) {
        Rotate(time);
        return m_fileKnown;
    }
    m_fileKnown = m_file.Open(m_name, false, m_size);
    return m_fileKnown;
}

void TraceLogWriter::Rotate(std::int64_t time) {
    m_file.Close();
    m_fileKnown = false;
    if (DiskSpaceLow())
        ReplaceOldestCopy();
    else
        MoveToNumberedCopy();
    CreateWithHeader(time);
}

// The file becomes the copy with the first free number; a number found taken (a copy made
// behind the writer's back) is noted and the next one tried.
void TraceLogWriter::MoveToNumberedCopy() {
    for (int attempt = 0; attempt < kRenameAttempts; ++attempt) {
        const int number = m_copies.FirstFree();
        const std::string copy = m_copies.NameOf(number);
        switch (platform::RenameWithoutReplacing(m_name, copy)) {
            case platform::RenameOutcome::kDone: {
                std::int64_t age = platform::CurrentFileTime();
                platform::ModificationTime(copy, age);
                m_copies.Made(number, age);
                if (m_keepCopies >= 0)
                    DropCopiesOverTheLimit(m_keepCopies);
                return;
            }
            case platform::RenameOutcome::kTargetExists:
                m_copies.Taken(number);
                break;
            case platform::RenameOutcome::kFailed:
                return;  // the old content is lost; the log starts afresh all the same
        }
    }
    m_copies.Forget();
}

// Short of space: no new copy. The oldest copy is replaced; with none, the content goes.
void TraceLogWriter::ReplaceOldestCopy() {
    const int oldest = m_copies.Oldest();
    if (oldest == 0)
        return;
    const std::string copy = m_copies.NameOf(oldest);
    if (!platform::RenameReplacing(m_name, copy)) {
        m_copies.Forget();
        return;
    }
    std::int64_t age = platform::CurrentFileTime();
    platform::ModificationTime(copy, age);
    m_copies.Made(oldest, age);
}

void TraceLogWriter::DropCopiesOverTheLimit(int keep) {
    while (m_copies.Count() > keep) {
        const int oldest = m_copies.Oldest();
        if (oldest == 0 || !platform::RemoveFile(m_copies.NameOf(oldest))) {
            m_copies.Forget();  // look at the folder afresh next time
            return;
        }
        m_copies.Removed(oldest);
    }
}

bool TraceLogWriter::CreateWithHeader(std::int64_t time) {
    m_fileKnown = m_file.Open(m_name, true, m_size);
    // The working folder deleted and made again: the process must go back to it by name.
    if (!m_fileKnown && m_inWorkingFolder && platform::ReenterDeletedWorkingFolder())
        m_fileKnown = m_file.Open(m_name, true, m_size);
    if (!m_fileKnown)
        return false;
    const std::string header = TraceLogHeader(time);
    AppendToFile(header.data(), header.size());
    return true;
}

void TraceLogWriter::AppendToFile(const char* data, std::size_t size) {
    if (size != 0)
        m_size += m_file.Append(data, size);
}
