#include "support/Log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "platform/Kernel.h"
#include "platform/windows.h"
#include "tests/common/TempWorkingDir.h"
#include "tests/common/TestClock.h"
#include "tests/common/TimeZone.h"

namespace {

const std::string kTraceHeader =
    "##-------------------------------------------------\n"
    "##  Quorrel Log File\n"
    "##\n"
    "## Created: Dec 07, 2026 15:22:40: \n"
    "##\n";

const std::string kErrorHeader =
    "##-------------------------------------------------\n"
    "##  Quorrel Error Log File\n"
    "##\n"
    "##  Most of the errors logged to this file are not\n"
    "##  critical.  They are logged to help in tracking\n"
    "##  the cause of any serious problems that may come\n"
    "##  up in the future.\n"
    "##\n"
    "##  It is safe to delete this file.  Quorrel will\n"
    "##  create a new log when the next error occurs.\n"
    "##\n";

// Arguments handed out in order; records how many were taken.
class ListedArguments : public LogArguments {
public:
    ListedArguments(std::vector<int> ints, std::vector<const char*> strings)
        : m_ints(std::move(ints)), m_strings(std::move(strings)) {}
    int NextInt() override { return m_ints.at(m_nextInt++); }
    const char* NextString() override { return m_strings.at(m_nextString++); }
    size_t IntsTaken() const { return m_nextInt; }

private:
    std::vector<int> m_ints;
    std::vector<const char*> m_strings;
    size_t m_nextInt = 0;
    size_t m_nextString = 0;
};

std::string Expand(const char* format, std::vector<int> ints = {},
                   std::vector<const char*> strings = {}) {
    ListedArguments args(std::move(ints), std::move(strings));
    std::string out;
    ExpandLogFormat(format, args, out);
    return out;
}

// Every log test runs in its own folder at 2026-12-07 15:22:40 UTC.
class Logs : public InTempWorkingDir {
protected:
    ScopedTimeZone m_zone{"UTC0"};
    TestClock m_clock;
};

TEST(LogFormat, NumbersAndStrings) {
    EXPECT_EQ(Expand("%d|%x|%X", {-1, 255, 255}), "-1|ff|FF");
    EXPECT_EQ(Expand("%x", {-1}), "ffffffff");
    EXPECT_EQ(Expand("Sending[%d]: %s", {7}, {"GROUP alt.binaries.test\r\n"}),
              "Sending[7]: GROUP alt.binaries.test");
    EXPECT_EQ(Expand("[%s]", {}, {"a\rb\nc\r\n"}), "[abc]");
    EXPECT_EQ(Expand("%s", {}, {nullptr}), "NULL");
    EXPECT_EQ(Expand("%s", {}, {""}), "");
}

TEST(LogFormat, UnknownDirectivesTakeNoArgument) {
    ListedArguments args({1, 2}, {});
    std::string out;
    ExpandLogFormat("100%% %q %5d %d", args, out);
    EXPECT_EQ(out, "100% q 5d 1");
    EXPECT_EQ(args.IntsTaken(), 1u);
}

TEST(LogFormat, LoneTrailingPercentEndsTheText) {
    EXPECT_EQ(Expand("50%"), "50");
    EXPECT_EQ(Expand("%"), "");
    EXPECT_EQ(Expand(""), "");
}

TEST(LogFormat, ErrorTextsAndTimeStamps) {
    ScopedTimeZone zone("UTC0");
    TestClock clock;
    EXPECT_EQ(Expand("%W", {10061}),
              "10061 - No connection could be made because the target machine actively refused "
              "it.");
    EXPECT_EQ(Expand("%w", {600}), "Unknown Error Number");
    EXPECT_EQ(Expand("%T: x", {}), "15:22:40: x");
    EXPECT_EQ(Expand("%t", {}), "Dec 07, 2026 15:22:40: ");
    clock.Set(platform::kFileTimeUnixEpoch + 1767229445LL * 10000000LL);  // 2026-01-01 01:04:05
    EXPECT_EQ(Expand("%t|%T", {}), "Jan 01, 2026 01:04:05: |01:04:05");
}

TEST(LogNumberedNames, BaseNumberAndExtension) {
    EXPECT_EQ(MakeNumberedName("log.txt", 1), "log(1).txt");
    EXPECT_EQ(MakeNumberedName("logs/old/log.txt", 12), "log(12).txt");
    EXPECT_EQ(MakeNumberedName("C:\\temp\\trace", 3), "trace(3)");
    EXPECT_EQ(MakeNumberedName("archive.tar.gz", 2), "archive.tar(2).gz");
    const std::string longBase(300, 'b');
    EXPECT_EQ(MakeNumberedName((longBase + ".txt").c_str(), 1), std::string(255, 'b') + "(1).txt");
}

TEST_F(Logs, FirstTraceLineCreatesTheLogWithItsHeader) {
    DebugLogPrintf("%T: SelectGroup1(): Group already selected. Returning\n");
    m_clock.AdvanceSeconds(1);
    DebugLogPrintf("%T: Connect4(%d)\n", 3);
    EXPECT_EQ(ReadWholeFile("log.txt"),
              kTraceHeader +
                  "15:22:40: SelectGroup1(): Group already selected. Returning\n"
                  "15:22:41: Connect4(3)\n");
    EXPECT_FALSE(PathExists("errorlog.txt"));
}

TEST_F(Logs, TraceLogAtExactlyTheLimitIsAppendedTo) {
    const std::string full(1000000, 'x');
    WriteWholeFile("log.txt", full);
    DebugLogPrintf("line\n");
    EXPECT_EQ(ReadWholeFile("log.txt"), full + "line\n");
    EXPECT_FALSE(PathExists("log(1).txt"));
}

TEST_F(Logs, TraceLogOverTheLimitIsCopiedAndRestarted) {
    const std::string full(1000001, 'y');
    WriteWholeFile("log.txt", full);
    DebugLogPrintf("%T: after\n");
    EXPECT_EQ(ReadWholeFile("log(1).txt"), full);
    EXPECT_EQ(ReadWholeFile("log.txt"), kTraceHeader + "15:22:40: after\n");
}

TEST_F(Logs, RotationTakesTheFirstFreeNumber) {
    const std::string full(1000001, 'z');
    WriteWholeFile("log(1).txt", "one");
    WriteWholeFile("log(2).txt", "two");
    WriteWholeFile("log.txt", full);
    DebugLogPrintf("x\n");
    EXPECT_EQ(ReadWholeFile("log(3).txt"), full);
    EXPECT_EQ(ReadWholeFile("log(1).txt"), "one");

    DeleteFileA("log(1).txt");
    DeleteFileA("log(3).txt");
    WriteWholeFile("log.txt", full);
    DebugLogPrintf("x\n");
    EXPECT_EQ(ReadWholeFile("log(1).txt"), full) << "the gap is reused";
    EXPECT_FALSE(PathExists("log(3).txt"));
    EXPECT_EQ(ReadWholeFile("log(2).txt"), "two");
}

TEST_F(Logs, LogGrowingPastTheLimitRotatesOnTheNextLine) {
    WriteWholeFile("log.txt", std::string(999990, 'a'));
    DebugLogPrintf("0123456789\n");  // 1,000,001 bytes now: the limit is checked before a line
    EXPECT_FALSE(PathExists("log(1).txt"));
    DebugLogPrintf("next\n");
    EXPECT_EQ(ReadWholeFile("log(1).txt").size(), 1000001u);
    EXPECT_EQ(ReadWholeFile("log.txt"), kTraceHeader + "next\n");
}

// The trace log is held open between lines; each of these changes the name "log.txt"
// refers to while no line is pending, and the next line has to follow the name, not the
// descriptor.
TEST_F(Logs, TraceLogDeletedBetweenLinesIsRecreatedWithItsHeader) {
    DebugLogPrintf("first\n");
    FlushDebugLog();
    ASSERT_EQ(unlink("log.txt"), 0);
    DebugLogPrintf("second\n");
    EXPECT_EQ(ReadWholeFile("log.txt"), kTraceHeader + "second\n");
    FlushDebugLog();
    ASSERT_TRUE(DeleteFileA("log.txt"));
    DebugLogPrintf("third\n");
    DebugLogPrintf("fourth\n");
    EXPECT_EQ(ReadWholeFile("log.txt"), kTraceHeader + "third\nfourth\n");
}

TEST_F(Logs, TraceLogRenamedOrReplacedIsLeftAlone) {
    DebugLogPrintf("first\n");
    FlushDebugLog();
    ASSERT_EQ(rename("log.txt", "kept.txt"), 0);
    DebugLogPrintf("second\n");
    EXPECT_EQ(ReadWholeFile("kept.txt"), kTraceHeader + "first\n") << "renamed file untouched";
    EXPECT_EQ(ReadWholeFile("log.txt"), kTraceHeader + "second\n");

    // Another file moved over the name is appended to, as any existing log is.
    WriteWholeFile("other.txt", "other\n");
    FlushDebugLog();
    ASSERT_EQ(rename("other.txt", "log.txt"), 0);
    DebugLogPrintf("third\n");
    EXPECT_EQ(ReadWholeFile("log.txt"), "other\nthird\n");
    EXPECT_EQ(ReadWholeFile("kept.txt"), kTraceHeader + "first\n");
}

TEST_F(Logs, TraceLogFollowsTheWorkingDirectory) {
    const std::string first = m_workingDir.Path().string();
    TempDirectory second;
    DebugLogPrintf("a\n");
    FlushDebugLog();  // held lines go to the folder that is current when they are written
    ASSERT_EQ(chdir(second.Path().c_str()), 0);
    DebugLogPrintf("b\n");
    FlushDebugLog();
    ASSERT_EQ(chdir(first.c_str()), 0);
    DebugLogPrintf("c\n");
    EXPECT_EQ(ReadWholeFile(first + "/log.txt"), kTraceHeader + "a\nc\n");
    EXPECT_EQ(ReadWholeFile(second.File("log.txt")), kTraceHeader + "b\n");
}

TEST_F(Logs, TraceLogRewrittenInPlaceIsMeasuredAgain) {
    DebugLogPrintf("first\n");
    const std::string full(1000001, 'r');
    WriteWholeFile("log.txt", full);  // same file, truncated and refilled
    DebugLogPrintf("second\n");
    EXPECT_EQ(ReadWholeFile("log(1).txt"), full);
    EXPECT_EQ(ReadWholeFile("log.txt"), kTraceHeader + "second\n");

    WriteWholeFile("log.txt", "short\n");  // shrunk: appended to, nothing rotated
    DebugLogPrintf("third\n");
    EXPECT_EQ(ReadWholeFile("log.txt"), "short\nthird\n");
    EXPECT_FALSE(PathExists("log(2).txt"));
}

// Reads the file without writing what is pending first.
std::string ReadAsItIs(const std::string& path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY);
    char buffer[4096];
    for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    if (fd >= 0)
        close(fd);
    return text;
}

TEST_F(Logs, TraceLinesAreHeldAtMostAHundredMilliseconds) {
    DebugLogPrintf("%T: line 0\n");
    EXPECT_EQ(ReadAsItIs("log.txt"), kTraceHeader) << "the header at once, the line held";
    m_clock.AdvanceMilliseconds(99);
    DebugLogPrintf("%T: line 1\n");
    EXPECT_EQ(ReadAsItIs("log.txt"), kTraceHeader);
    m_clock.AdvanceMilliseconds(1);
    DebugLogPrintf("%T: line 2\n");  // the first line has waited its 100 ms
    const std::string three = kTraceHeader + "15:22:40: line 0\n15:22:40: line 1\n15:22:40: line 2\n";
    EXPECT_EQ(ReadAsItIs("log.txt"), three);

    // With no further line, the log's own thread writes it once it is due.
    DebugLogPrintf("%T: line 3\n");
    m_clock.AdvanceMilliseconds(100);
    std::string seen;
    for (int i = 0; i < 2000 && seen.size() <= three.size(); ++i) {
        usleep(5000);
        seen = ReadAsItIs("log.txt");
    }
    EXPECT_EQ(seen, three + "15:22:40: line 3\n");
}

#ifndef _WIN32  // descriptors and close-on-exec are Linux matters
// Descriptors of this process that refer to a file of the given name in the working
// directory, with whether each is closed on exec.
std::vector<bool> DescriptorsOf(const std::string& name) {
    struct stat named {};
    std::vector<bool> closeOnExec;
    if (stat(name.c_str(), &named) != 0)
        return closeOnExec;
    for (int fd = 0; fd < 1024; ++fd) {
        struct stat opened {};
        if (fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev &&
            opened.st_ino == named.st_ino)
            closeOnExec.push_back((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
    }
    return closeOnExec;
}

TEST_F(Logs, OneHeldTraceDescriptorClosedOnExec) {
    for (int i = 0; i < 20; ++i) {
        DebugLogPrintf("line\n");
        FlushDebugLog();
        ASSERT_EQ(rename("log.txt", ("old" + std::to_string(i) + ".txt").c_str()), 0);
    }
    DebugLogPrintf("line\n");
    EXPECT_EQ(DescriptorsOf("log.txt"), std::vector<bool>{true});
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(DescriptorsOf("old" + std::to_string(i) + ".txt").empty()) << "leaked " << i;
}

#endif

TEST_F(Logs, ErrorLogHasItsHeaderAndIsRecreatedAfterDeletion) {
    ErrorLogPrintf("%T: first %W\n", 10054);
    const std::string first = kErrorHeader +
                              "15:22:40: first 10054 - An existing connection was forcibly "
                              "closed by the remote host.\n";
    EXPECT_EQ(ReadWholeFile("errorlog.txt"), first);
    ErrorLogPrintf("second\n");
    EXPECT_EQ(ReadWholeFile("errorlog.txt"), first + "second\n");

    ASSERT_TRUE(DeleteFileA("errorlog.txt"));
    ErrorLogPrintf("third\n");
    EXPECT_EQ(ReadWholeFile("errorlog.txt"), kErrorHeader + "third\n");
    EXPECT_FALSE(PathExists("log.txt"));
}

TEST_F(Logs, ErrorLogIsNeverRotated) {
    const std::string big(1000001, 'e');
    WriteWholeFile("errorlog.txt", big);
    ErrorLogPrintf("more\n");
    EXPECT_EQ(ReadWholeFile("errorlog.txt"), big + "more\n");
    EXPECT_FALSE(PathExists("errorlog(1).txt"));
}

unsigned WINAPI WriteOneErrorLine(void*) {
    ErrorLogPrintf("from another thread\n");
    return 0;
}

TEST_F(Logs, UnwritableLogLosesTheLineButReleasesTheLock) {
    ASSERT_EQ(mkdir("log.txt", 0755), 0);  // a folder where the log should be
    DebugLogPrintf("lost\n");
    // Another thread can still take the log lock and write the error log.
    HANDLE thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &WriteOneErrorLine, nullptr, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(ReadWholeFile("errorlog.txt"), kErrorHeader + "from another thread\n");
}

TEST_F(Logs, LogMutexIsRecursive) {
    ASSERT_TRUE(LogMutex().Lock(-1));
    DebugLogPrintf("inside\n");  // takes the lock twice more on this thread
    ErrorLogPrintf("inside\n");
    LogMutex().Unlock();
    EXPECT_EQ(ReadWholeFile("log.txt"), kTraceHeader + "inside\n");
}

struct WriterArgs {
    bool errorLog;
    char mark;
};

unsigned WINAPI WriteManyLines(void* argument) {
    const auto* writer = static_cast<WriterArgs*>(argument);
    const std::string payload(300, writer->mark);
    for (int i = 0; i < 300; ++i) {
        if (writer->errorLog)
            ErrorLogPrintf("%d:%s:end\n", i, payload.c_str());
        else
            DebugLogPrintf("%d:%s:end\n", i, payload.c_str());
    }
    return 0;
}

// Every line after the header must be "<n>:<300 times one mark>:end", and every mark must
// appear with each n from 0 to count-1 exactly once.
void ExpectWholeLines(const std::string& text, size_t headerSize, const std::string& marks,
                      int count) {
    std::map<std::pair<char, int>, int> seen;
    size_t position = headerSize;
    while (position < text.size()) {
        const size_t end = text.find('\n', position);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(position, end - position);
        position = end + 1;
        const size_t colon = line.find(':');
        ASSERT_NE(colon, std::string::npos) << line;
        const char mark = colon + 1 < line.size() ? line[colon + 1] : '?';
        ASSERT_NE(marks.find(mark), std::string::npos) << "torn line: " << line;
        ASSERT_EQ(line.substr(colon), ":" + std::string(300, mark) + ":end")
            << "torn line: " << line;
        ++seen[{mark, std::stoi(line.substr(0, colon))}];
    }
    EXPECT_EQ(seen.size(), marks.size() * count);
    for (const auto& entry : seen) EXPECT_EQ(entry.second, 1);
}

TEST_F(Logs, ThreadsWritingAtOnceLeaveWholeLines) {
    WriterArgs a{false, 'a'};
    WriterArgs b{false, 'b'};
    WriterArgs errors{true, 'e'};
    HANDLE threads[] = {
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WriteManyLines, &a, 0, nullptr)),
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WriteManyLines, &b, 0, nullptr)),
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WriteManyLines, &errors, 0, nullptr))};
    for (HANDLE thread : threads) {
        ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    const std::string trace = ReadWholeFile("log.txt");
    ASSERT_EQ(trace.compare(0, kTraceHeader.size(), kTraceHeader), 0);
    ExpectWholeLines(trace, kTraceHeader.size(), "ab", 300);
    ExpectWholeLines(ReadWholeFile("errorlog.txt"), kErrorHeader.size(), "e", 300);
}

}  // namespace
