#include "support/TraceLogWriter.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "platform/Files.h"
#include "platform/LogFiles.h"
#include "support/DiskSpaceGuard.h"
#include "support/Log.h"
#include "tests/common/TempWorkingDir.h"
#include "tests/common/TestClock.h"
#include "tests/common/TimeZone.h"

namespace {

// The plain writer the buffered one must match: before every line one look at the file,
// rotation by copying to the first free number found by trying each, then open, append,
// close.
class LineByLineWriter {
public:
    explicit LineByLineWriter(std::string folder) : m_folder(std::move(folder)) {}

    void Add(const std::string& line) {
        const std::string log = m_folder + "/log.txt";
        struct stat info {};
        const bool exists = stat(log.c_str(), &info) == 0;
        if (!exists || info.st_size > 1000000) {
            if (exists) {
                int number = 1;
                while (PathExists(Copy(number))) ++number;
                CopyFileA(log.c_str(), Copy(number).c_str(), TRUE);
            }
            FILE* fresh = std::fopen(log.c_str(), "w");
            if (fresh == nullptr)
                return;
            std::fputs(TraceLogHeader(platform::CurrentFileTime()).c_str(), fresh);
            std::fclose(fresh);
        }
        FILE* file = std::fopen(log.c_str(), "a");
        if (file == nullptr)
            return;
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
    }

private:
    std::string Copy(int number) const {
        return m_folder + "/log(" + std::to_string(number) + ").txt";
    }
    std::string m_folder;
};

std::map<std::string, std::string> FilesIn(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files[entry.path().filename().string()] = ReadWholeFile(entry.path().string());
    return files;
}

class TraceLogWriterTest : public ::testing::Test {
protected:
    ScopedTimeZone m_zone{"UTC0"};
    TestClock m_clock;
    TempDirectory m_folder;
};

// The long run: random lines (a few larger than the whole buffer), time moving on by up to
// 30 ms a line, several rotations, log.txt deleted in the middle and later log(1).txt, whose
// number the next rotation must take again.
TEST_F(TraceLogWriterTest, SameBytesAsWritingLineByLine) {
    TempDirectory reference;
    TraceLogWriter buffered(m_folder.Path());
    LineByLineWriter plain(reference.Path());
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> length(0, 240);
    std::uniform_int_distribution<int> milliseconds(0, 30);
    std::uniform_int_distribution<int> letter('a', 'z');
    for (int i = 0; i < 60000; ++i) {
        if (i == 20000 || i == 40000) {
            buffered.Flush();
            const std::string victim = i == 20000 ? "/log.txt" : "/log(1).txt";
            ASSERT_EQ(unlink((m_folder.Path() + victim).c_str()), 0);
            ASSERT_EQ(unlink((reference.Path() + victim).c_str()), 0);
        }
        std::string line(i % 9973 == 0 ? 200000 : length(random), static_cast<char>(letter(random)));
        line += std::to_string(i) + "\n";
        buffered.Add(line.data(), line.size());
        plain.Add(line);
        m_clock.AdvanceMilliseconds(milliseconds(random));
    }
    buffered.Flush();
    const auto expected = FilesIn(reference.Path());
    EXPECT_GE(expected.size(), 6u) << "enough rotations to mean something";
    const auto written = FilesIn(m_folder.Path());
    std::string names, expectedNames;
    for (const auto& entry : written) names += entry.first + " ";
    for (const auto& entry : expected) expectedNames += entry.first + " ";
    ASSERT_EQ(names, expectedNames);
    for (const auto& [name, text] : expected) {
        const std::string& got = written.at(name);
        const auto differ = std::mismatch(got.begin(), got.end(), text.begin(), text.end());
        EXPECT_TRUE(got == text) << name << " differs at byte " << (differ.first - got.begin())
                                 << " (sizes " << got.size() << " and " << text.size() << ")";
    }
}

TEST_F(TraceLogWriterTest, PendingLinesWaitAtMostTheirHundredMilliseconds) {
    TraceLogWriter writer(m_folder.Path());
    writer.Add("a\n", 2);
    EXPECT_TRUE(writer.HasPending());
    EXPECT_EQ(writer.DueTime(), platform::MonotonicTime() + 100 * 10000);
    m_clock.AdvanceMilliseconds(99);
    writer.FlushIfDue();
    EXPECT_TRUE(writer.HasPending());
    m_clock.AdvanceMilliseconds(1);
    writer.FlushIfDue();
    EXPECT_FALSE(writer.HasPending());
    EXPECT_EQ(ReadWholeFile(m_folder.File("log.txt")),
              TraceLogHeader(TestClock::kDefaultStart) + "a\n");
}

// The 100 ms are measured on the monotonic clock: a system clock set back by an hour while a
// line waits must not hold it for an hour, nor one set forward change the line's stamps.
TEST_F(TraceLogWriterTest, TheHundredMillisecondsIgnoreTheSystemClockBeingSet) {
    TraceLogWriter writer(m_folder.Path());
    writer.Add("a\n", 2);
    m_clock.Set(TestClock::kDefaultStart - 3600LL * platform::kFileTimeUnitsPerSecond);
    m_clock.AdvanceMilliseconds(99);
    writer.FlushIfDue();
    EXPECT_TRUE(writer.HasPending());
    m_clock.AdvanceMilliseconds(1);
    writer.FlushIfDue();
    EXPECT_FALSE(writer.HasPending());

    // Set forward by an hour: still held its 100 ms, no more and no less.
    writer.Add("b\n", 2);
    m_clock.Set(m_clock.Now() + 3600LL * platform::kFileTimeUnitsPerSecond);
    writer.FlushIfDue();
    EXPECT_TRUE(writer.HasPending());
    writer.Add("c\n", 2);  // a line added later does not write the first one early either
    EXPECT_TRUE(writer.HasPending());
    m_clock.AdvanceMilliseconds(100);
    writer.FlushIfDue();
    EXPECT_FALSE(writer.HasPending());
    EXPECT_EQ(ReadWholeFile(m_folder.File("log.txt")),
              TraceLogHeader(TestClock::kDefaultStart) + "a\nb\nc\n");
}

// The numbers taken by copies that were there before the writer started count as used; a
// copy deleted while the writer runs gives its number back.
TEST_F(TraceLogWriterTest, RotationTakesTheFirstFreeNumberWithoutLookingAtEachCopy) {
    for (int n : {1, 2, 3, 5})
        WriteWholeFile(m_folder.File("log(" + std::to_string(n) + ").txt"), "old");
    TraceLogWriter writer(m_folder.Path());
    const std::string big(600000, 'b');
    auto rotateOnce = [&] {
        writer.Add(big.data(), big.size());
        writer.Add(big.data(), big.size());
        writer.Add("x\n", 2);  // finds the file above the limit
        writer.Flush();
    };
    rotateOnce();
    EXPECT_EQ(ReadWholeFile(m_folder.File("log(4).txt")).size(), 1200000u + TraceLogHeader(0).size());
    rotateOnce();
    EXPECT_TRUE(PathExists(m_folder.File("log(6).txt")));
    ASSERT_EQ(unlink(m_folder.File("log(2).txt").c_str()), 0);
    rotateOnce();
    EXPECT_EQ(ReadWholeFile(m_folder.File("log(2).txt")).substr(0, 2), "##");
    // A copy made behind the writer's back is not overwritten.
    WriteWholeFile(m_folder.File("log(7).txt"), "foreign");
    rotateOnce();
    EXPECT_EQ(ReadWholeFile(m_folder.File("log(7).txt")), "foreign");
    EXPECT_TRUE(PathExists(m_folder.File("log(8).txt")));
    EXPECT_EQ(ReadWholeFile(m_folder.File("log(5).txt")), "old");
}

TEST_F(TraceLogWriterTest, KeepsAtMostTheGivenNumberOfCopies) {
    TraceLogWriter writer(m_folder.Path());
    writer.SetKeepCopies(2);
    for (int round = 0; round < 5; ++round) {
        const std::string big(1000001, static_cast<char>('a' + round));
        writer.Add(big.data(), big.size());
        writer.Add("x\n", 2);
        writer.Flush();
    }
    auto files = FilesIn(m_folder.Path());
    ASSERT_EQ(files.size(), 3u);  // log.txt and two copies, the newest: rounds 3 and 4
    std::string marks;
    for (const auto& [name, text] : files)
        if (name != "log.txt")
            marks += text.substr(TraceLogHeader(0).size() + 2, 1);
    std::sort(marks.begin(), marks.end());
    EXPECT_EQ(marks, "de");
}

std::uint64_t gFreeBytes = 0;
bool FakeSpace(const std::string&, platform::FileSystemSpace& space) {
    space.totalBytes = 100ULL << 30;
    space.freeBytes = gFreeBytes;
    return true;
}

class DiskSpaceGuardTest : public TraceLogWriterTest {
protected:
    DiskSpaceGuardTest() {
        gFreeBytes = 50ULL << 30;
        platform::SetFileSystemSpaceHook(&FakeSpace);
        ResetDiskSpaceGuard();
    }
    ~DiskSpaceGuardTest() override {
        platform::SetFileSystemSpaceHook(nullptr);
        ResetDiskSpaceGuard();
    }
};

TEST_F(DiskSpaceGuardTest, ThresholdIsFivePercentOrOneGibibyte) {
    EXPECT_EQ(DiskSpaceReserve(100ULL << 30), 5ULL << 30);
    EXPECT_EQ(DiskSpaceReserve(10ULL << 30), 1ULL << 30);
    EXPECT_FALSE(DiskSpaceLow());
    gFreeBytes = (5ULL << 30) - 1;
    EXPECT_FALSE(DiskSpaceLow()) << "looked at no more than once a second";
    m_clock.AdvanceSeconds(1);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(DiskSpaceLow());
    m_clock.AdvanceSeconds(1);
    EXPECT_TRUE(DiskSpaceLow());
    const std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(told.find("article files are not written"), std::string::npos);
    EXPECT_EQ(told.find("article files", told.find("article files") + 1), std::string::npos)
        << "told once: " << told;
    gFreeBytes = 5ULL << 30;
    m_clock.AdvanceSeconds(1);
    EXPECT_FALSE(DiskSpaceLow());
    EXPECT_TRUE(DiskSpaceWasLow()) << "the summary still says so";
}

TEST_F(DiskSpaceGuardTest, ShortOfSpaceTheOldestCopyIsReplaced) {
    TraceLogWriter writer(m_folder.Path());
    auto rotateWith = [&](char mark) {
        const std::string big(1000001, mark);
        writer.Add(big.data(), big.size());
        writer.Add("x\n", 2);
        writer.Flush();
    };
    rotateWith('a');
    rotateWith('b');  // log(1).txt holds a, log(2).txt b
    gFreeBytes = 1ULL << 20;
    m_clock.AdvanceSeconds(1);
    testing::internal::CaptureStderr();
    rotateWith('c');
    testing::internal::GetCapturedStderr();
    auto files = FilesIn(m_folder.Path());
    EXPECT_EQ(files.size(), 3u) << "no new copy";
    EXPECT_EQ(files["log(1).txt"].substr(0, 2), "##") << "the oldest was replaced";
    EXPECT_NE(files["log(1).txt"].find(std::string(1000, 'c')), std::string::npos);
    gFreeBytes = 50ULL << 30;
    m_clock.AdvanceSeconds(1);
    rotateWith('d');
    EXPECT_TRUE(PathExists(m_folder.File("log(3).txt"))) << "space back: copies again";
}

// Faults: nothing crashes or spins, the lines of the bad moment are lost, and writing
// resumes by itself.
TEST_F(TraceLogWriterTest, LogReplacedByAFolderLosesLinesUntilItIsGone) {
    TraceLogWriter writer(m_folder.Path());
    writer.Add("one\n", 4);
    writer.Flush();
    ASSERT_EQ(unlink(m_folder.File("log.txt").c_str()), 0);
    ASSERT_EQ(mkdir(m_folder.File("log.txt").c_str(), 0755), 0);
    for (int i = 0; i < 1000; ++i) writer.Add("lost\n", 5);
    writer.Flush();
    ASSERT_EQ(rmdir(m_folder.File("log.txt").c_str()), 0);
    writer.Add("two\n", 4);
    writer.Flush();
    EXPECT_EQ(ReadWholeFile(m_folder.File("log.txt")),
              TraceLogHeader(TestClock::kDefaultStart) + "two\n");
}

TEST_F(TraceLogWriterTest, FolderRemovedAndMadeAgain) {
    const std::string folder = m_folder.File("work");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    TraceLogWriter writer(folder);
    writer.Add("one\n", 4);
    writer.Flush();
    std::filesystem::remove_all(folder);
    writer.Add("lost\n", 5);
    writer.Flush();
    EXPECT_FALSE(writer.HasPending());
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    writer.Add("two\n", 4);
    writer.Flush();
    EXPECT_EQ(ReadWholeFile(folder + "/log.txt"), TraceLogHeader(TestClock::kDefaultStart) + "two\n");
}

// The process's own working folder deleted: the process stays in the deleted folder, so a
// folder made again under the same name is only written to when the log goes back to it.
TEST_F(TraceLogWriterTest, WorkingFolderRemovedAndMadeAgainIsEnteredAgain) {
    const std::string folder = m_folder.File("work");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const std::filesystem::path before = std::filesystem::current_path();
    ASSERT_EQ(chdir(folder.c_str()), 0);
    platform::RememberWorkingFolder(folder);
    {
        TraceLogWriter writer;
        writer.Add("one\n", 4);
        writer.Flush();
        std::filesystem::remove_all(folder);
        writer.Add("lost\n", 5);
        writer.Flush();
        EXPECT_FALSE(writer.HasPending());
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        writer.Add("two\n", 4);
        writer.Flush();
    }
    platform::RememberWorkingFolder("");
    std::filesystem::current_path(before);
    EXPECT_EQ(ReadWholeFile(folder + "/log.txt"), TraceLogHeader(TestClock::kDefaultStart) + "two\n");
}

#ifndef _WIN32  // the file size limit stands in for a full disk on Linux only
// A file that cannot grow (the process's file size limit stands in for a full disk).
TEST_F(TraceLogWriterTest, FileThatCannotGrowLosesLinesThenResumes) {
    TraceLogWriter writer(m_folder.Path());
    writer.Add("start\n", 6);
    writer.Flush();
    const std::string line(99, 'f');
    const std::string withEnd = line + "\n";
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 50000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int i = 0; i < 2000; ++i) writer.Add(withEnd.data(), withEnd.size());
    writer.Flush();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(std::filesystem::file_size(m_folder.File("log.txt")), 50000u);
    writer.Add("resumed\n", 8);
    writer.Flush();
    const std::string text = ReadWholeFile(m_folder.File("log.txt"));
    EXPECT_EQ(text.size(), 50008u);
    EXPECT_EQ(text.substr(text.size() - 8), "resumed\n");
}

#endif
TEST(TraceLogCrash, LastLineReachesTheFileWhenTheProcessAborts) {
    GTEST_FLAG_SET(death_test_style, "fast");  // the child shares this working folder
    TempWorkingDir folder;
    EXPECT_DEATH(
        {
            WriteDebugLogOnCrash();
            DebugLogPrintf("first\n");
            DebugLogPrintf("the last line\n");
            std::abort();
        },
        "");
    const std::string text = ReadWholeFile("log.txt");
    EXPECT_NE(text.find("first\nthe last line\n"), std::string::npos) << text;
}

}  // namespace
