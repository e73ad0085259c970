// zodiva-report as a user runs it: the page written whole or not at all, and every mistake
// (a missing or damaged timeline, a missing charting library, a bad option) said plainly with
// its exit code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/report/ReportCommand.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

// Outside the unnamed namespace: the tests derive from the fixture, and in a batch of test
// files the compiler warns of a base whose type only this file can name.
struct ReportCommandResult {
    int code = -1;
    std::string out;
    std::string err;
};

class ReportCommandTest : public ::testing::Test {
protected:
    using Result = ReportCommandResult;

    void SetUp() override {
        char pattern[] = "/tmp/zodiva-report-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        library_ = dir_ / "chart.min.js";
        std::ofstream(library_) << "/* the charting library */ var Chart = function () {};";
    }
    void TearDown() override { fs::remove_all(dir_); }

    Result Run(std::vector<std::string> args, const std::string& library = std::string()) {
        std::ostringstream out, err;
        report::ReportConsole console{out, err, library.empty() ? library_.string() : library,
                                      "2026-12-10T05:00:00Z"};
        Result result;
        result.code = report::RunReportCommand(args, console);
        result.out = out.str();
        result.err = err.str();
        return result;
    }
    std::string Timeline(const std::string& name) const {
        return std::string(ZODIVA_REPORT_TIMELINES) + "/" + name;
    }

    fs::path dir_;
    fs::path library_;
};

TEST_F(ReportCommandTest, WritesOnePageWithTheLibraryInsideAndTheLabelsAsTheLegend) {
    const fs::path page = dir_ / "report.html";
    const Result result = Run({Timeline("before.jsonl"), "--label", "old <server>", "-o",
                               page.string(), Timeline("after.jsonl")});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, "wrote " + page.string() + ": 2 timelines, 8 charts\n");
    const std::string html = ReadFile(page);
    EXPECT_NE(html.find("/* the charting library */"), std::string::npos);
    EXPECT_NE(html.find("old &lt;server&gt;"), std::string::npos);
    EXPECT_NE(html.find("after.jsonl"), std::string::npos);
    // Nothing is fetched: no element names a source or a style sheet elsewhere.
    EXPECT_EQ(html.find(" src="), std::string::npos);
    EXPECT_EQ(html.find("<link"), std::string::npos);
    EXPECT_FALSE(fs::exists(page.string() + ".part"));

    const Result toStdout = Run({Timeline("before.jsonl"), "-o", "-"});
    ASSERT_EQ(toStdout.code, 0) << toStdout.err;
    EXPECT_EQ(toStdout.out.rfind("<!DOCTYPE html>", 0), 0u);
}

TEST_F(ReportCommandTest, AMissingOrDamagedTimelineIsNamedWithItsLineAndExits2) {
    const fs::path page = dir_ / "report.html";
    std::ofstream(page) << "the page of an earlier report";
    const fs::path damaged = dir_ / "damaged.jsonl";
    std::ofstream(damaged) << "{\"event\":\"run\"}\n{\"event\":\"second\",\"t\":1}\n{oops}\n";

    Result result = Run({Timeline("before.jsonl"), damaged.string(), "-o", page.string()});
    EXPECT_EQ(result.code, 2);
    EXPECT_EQ(result.err.rfind("zodiva-report: " + damaged.string() + ":3: not valid JSON", 0), 0u)
        << result.err;
    EXPECT_EQ(ReadFile(page), "the page of an earlier report") << "a failed run keeps the old page";

    result = Run({(dir_ / "none.jsonl").string(), "-o", page.string()});
    EXPECT_EQ(result.code, 2);
    EXPECT_NE(result.err.find("none.jsonl: cannot be read (No such file or directory)"),
              std::string::npos);

    // A killed run's cut last line is no fault: said, and the page is made.
    result = Run({Timeline("killed.jsonl"), "-o", page.string()});
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(result.err.find("killed.jsonl:7: the last line is cut short"), std::string::npos);
}

TEST_F(ReportCommandTest, BadUsageExits2WithTheReason) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no timeline given"},
        {{"-o", "x.html"}, "no timeline given"},
        {{Timeline("before.jsonl"), "--label"}, "--label needs a value"},
        {{Timeline("before.jsonl"), "--label", ""}, "--label needs a value that is not empty"},
        {{Timeline("before.jsonl"), "--label", "a", "--label", "b"}, "2 labels for 1 timelines"},
        {{Timeline("before.jsonl"), "--colour"}, "unknown option --colour"},
    };
    for (const auto& [args, reason] : cases) {
        const Result result = Run(args);
        EXPECT_EQ(result.code, 2) << reason;
        EXPECT_EQ(result.err.rfind("zodiva-report: " + reason + "\nusage:", 0), 0u) << result.err;
    }
    EXPECT_EQ(Run({"--help"}).code, 0);
    EXPECT_EQ(Run({"--version"}).out, std::string("zodiva-report ") + ZODIVA_REPORT_VERSION + "\n");
}

TEST_F(ReportCommandTest, WithoutItsChartingLibraryOrAPlaceToWriteNoPageIsMade) {
    const fs::path page = dir_ / "report.html";
    Result result =
        Run({Timeline("before.jsonl"), "-o", page.string()}, (dir_ / "missing.js").string());
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.err.find("missing.js is missing or empty: install Debian's libjs-chart.js"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(fs::exists(page));

    const fs::path other = dir_ / "other.js";
    std::ofstream(other) << "var Chart = 1; /* another */";
    result = Run({Timeline("before.jsonl"), "--chart-js", other.string(), "-o", page.string()},
                 (dir_ / "missing.js").string());
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_NE(ReadFile(page).find("/* another */"), std::string::npos);

    result = Run({Timeline("before.jsonl"), "-o", (dir_ / "no" / "such" / "r.html").string()});
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.err.find("cannot write"), std::string::npos) << result.err;
}
