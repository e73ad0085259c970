#include "app/core/Headless.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "app/core/IntervalActivity.h"
#include "app/core/IntervalMeter.h"
#include "app/core/MonitorView.h"
#include "app/core/RunDescription.h"
#include "app/core/RunReport.h"
#include "app/core/SessionSetup.h"
#include "app/core/StatusRowFolder.h"
#include "app/core/StopSignals.h"
#include "app/core/TestDialogLogic.h"
#include "platform/Time.h"
#include "support/SettingsStore.h"
#include "support/DiskSpaceGuard.h"

namespace {

using Clock = StopSignals::Clock;

constexpr auto kDisplayPeriod = std::chrono::seconds(1);
// How often status rows are looked for between the lines.
constexpr auto kRowPoll = std::chrono::milliseconds(100);
// A last, partial interval shorter than this is too short to be a rate of its own.
constexpr double kShortestCountedInterval = 0.5;

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

bool IsYes(std::string answer) {
    answer.erase(std::remove_if(answer.begin(), answer.end(),
                                [](unsigned char c) { return std::isspace(c); }),
                 answer.end());
    std::transform(answer.begin(), answer.end(), answer.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return answer == "y" || answer == "yes";
}

class HeadlessRun {
public:
    HeadlessRun(const CommandLineOptions& options, HeadlessConsole& console)
        : options_(options), console_(console) {}

    int Execute() {
        std::string error;
        if (!setup_.PrepareEnvironment(options_, error)) {
            return Fail(kExitBadInput, error);
        }
        for (const std::string& warning : setup_.Warnings()) {
            console_.err << "zodiva: warning: " << warning << "\n";
        }
        StopSignals signals;  // before any thread starts, so every thread inherits it
        logic_.LoadSettings();
        if (!setup_.ApplySettings(options_, logic_, error)) {
            return Fail(kExitEngineFailed, error);
        }
        if (options_.demo) {
            console_.err << "zodiva: demo server on 127.0.0.1:" << setup_.DemoPort() << "\n";
        }
        if (!setup_.StartMetrics(options_, logic_, error)) {
            return Fail(kExitBadInput, error);
        }
        if (!ReadyToRun(error)) {
            return Fail(kExitBadInput, error);
        }
        if (options_.metrics) {
            console_.err << "zodiva: metrics on " << setup_.MetricsUrl() << "\n";
        }
        const std::string connections = std::to_string(logic_.ConnectionsForDisplay());
        started_ = UtcTimeNow();
        const auto goTime = Clock::now();
        switch (logic_.Go(connections, [this](const std::string& q) { return Confirm(q); })) {
            case TestDialogLogic::GoResult::kStarted:
                break;
            case TestDialogLogic::GoResult::kDeclined:
                return declinedWithoutTerminal_ ? kExitBadInput : kExitOk;
            case TestDialogLogic::GoResult::kEngineUnavailable:
                return Fail(kExitEngineFailed, "the download engine could not start");
        }
        const std::string stoppedBy = ShowRates(signals, goTime);
        const auto stopTime = Clock::now();
        ReadConnections();
        upAtStop_ = ConnectionsUp(activities_);
        // Read before Stop: the engine's last second (closing its connections) is not the run's.
        cpuAtStop_ = logic_.EngineCpuSeconds();
        logic_.Stop();
        setup_.StopDemo();
        return PrintSummary(SecondsBetween(goTime, stopTime), stoppedBy);
    }

private:
    int Fail(int code, const std::string& message) {
        console_.err << "zodiva: " << message << "\n";
        return code;
    }

    // What makes a run pointless is refused before it starts, with one line saying why.
    bool ReadyToRun(std::string& error) {
        SettingsStore& settings = logic_.Settings();
        if (settings.GetString("news_server", "").empty()) {
            error = "no news server is set: give --server HOST[:PORT], or store one with "
                    "zodiva-reg set news_server HOST";
            if (setup_.SettingsFileProblems() > 0) {
                error += " (the settings file '" + setup_.SettingsFile() + "' has " +
                         std::to_string(setup_.SettingsFileProblems()) +
                         (setup_.SettingsFileProblems() == 1 ? " error" : " errors") +
                         ", shown above)";
            }
            return false;
        }
        if (logic_.ConnectionsForDisplay() == 0) {
            error = "no connection to make: the number of connections (DLConnections) is 0; "
                    "give --connections N with N of 1 or more";
            return false;
        }
        return true;
    }

    bool Confirm(const std::string& question) {
        if (options_.yes) {
            return true;
        }
        if (!console_.interactive) {
            declinedWithoutTerminal_ = true;
            console_.err << "zodiva: " << question << "\n"
                         << "zodiva: not started: no terminal to answer; add --yes to confirm\n";
            return false;
        }
        console_.err << question << " [y/N] " << std::flush;
        std::string answer;
        if (!std::getline(console_.in, answer) || !IsYes(answer)) {
            console_.err << "zodiva: not started\n";
            return false;
        }
        return true;
    }

    // Prints a line per second from Go until the time is up or a signal arrives; says which.
    // --seconds counts from Go, so a run lasts what was asked for. Status rows are shown as
    // they come, between the lines.
    std::string ShowRates(StopSignals& signals, Clock::time_point goTime) {
        goTime_ = goTime;
        meter_.Start(0.0, 0, 0);
        if (const auto monitor = logic_.Monitor()) {
            activityMeter_.Start(monitor->Run(), logic_.EngineCpuSeconds());
        }
        const auto end = options_.seconds
                             ? goTime + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(*options_.seconds))
                             : Clock::time_point::max();
        for (auto next = goTime + kDisplayPeriod;; next += kDisplayPeriod) {
            const auto lineTime = std::min(next, end);
            if (WaitShowingRows(signals, lineTime)) {
                return "signal";
            }
            if (next > end) {
                return "time";
            }
            if (!PrintSample()) {
                return "output closed";
            }
        }
    }

    // Waits until `until`, showing status rows as they come; true when a signal arrived.
    bool WaitShowingRows(StopSignals& signals, Clock::time_point until) {
        for (;;) {
            ShowStatusRows();
            const auto now = Clock::now();
            if (now >= until) {
                return false;
            }
            if (signals.WaitUntil(std::min(until, now + kRowPoll)) != 0) {
                return true;
            }
        }
    }

    void ShowStatusRows(bool flush = false) {
        const auto monitor = logic_.Monitor();
        if (!monitor) {
            return;
        }
        const double now = SecondsBetween(goTime_, Clock::now());
        std::vector<FoldedRow> lines = folder_.Expire(now);
        while (monitor->StatusRows().TryPop(row_)) {
            for (FoldedRow& line : folder_.Add(now, row_.fileTime, row_.connection, row_.text)) {
                lines.push_back(std::move(line));
            }
        }
        if (flush) {
            for (FoldedRow& line : folder_.Flush()) {
                lines.push_back(std::move(line));
            }
        }
        std::ostream& to = options_.json ? console_.out : console_.err;
        for (const FoldedRow& line : lines) {
            to << (options_.json ? FormatFoldedRowJson(line) : "zodiva: " + FormatFoldedRow(line));
        }
        to.flush();
    }

    // Reads every connection's figures; the bytes are those received up to now.
    void ReadConnections() {
        if (const auto monitor = logic_.Monitor()) {
            monitor->ReadConnections(snapshots_, platform::CurrentFileTime());
            table_.Update(snapshots_, SecondsBetween(goTime_, Clock::now()));
            activities_ = monitor->CountActivities(platform::CurrentFileTime());
        }
    }

    std::uint64_t BytesSoFar() const {
        // The engine sums its connections' bytes every 2 s; each connection counts them as
        // they arrive, so the line uses those.
        return std::max<std::uint64_t>(table_.TotalBytes(), logic_.Totals().bytesReceived);
    }

    // False when the output can no longer be written.
    bool PrintSample() {
        ReadConnections();
        RateSample sample;
        sample.elapsedSeconds = SecondsBetween(goTime_, Clock::now());
        sample.interval =
            meter_.Measure(sample.elapsedSeconds, BytesSoFar(), logic_.Totals().articlesCompleted);
        sample.engineRate = logic_.TotalRate();
        SetSampleStates(activities_, sample);
        if (const auto monitor = logic_.Monitor()) {
            sample.activity = activityMeter_.Measure(monitor->Run(), logic_.EngineCpuSeconds(),
                                                     sample.interval.seconds);
        }
        sample.utcTime = UtcTimeNow();
        console_.out << FormatSample(sample, options_.json) << std::flush;
        return static_cast<bool>(console_.out);
    }

    // The summary, and the exit code: 0 when an article was completed, 3 when none was.
    int PrintSummary(double durationSeconds, const std::string& stoppedBy) {
        ShowStatusRows(true);
        const EngineTotals totals = logic_.Totals();
        const std::uint64_t bytes = std::max<std::uint64_t>(BytesSoFar(), totals.bytesReceived);
        // The time since the last line counts in the average when it is long enough to be a
        // measurement of its own.
        meter_.Measure(durationSeconds, bytes, totals.articlesCompleted,
                       durationSeconds - meter_.LastSeconds() >= kShortestCountedInterval);
        RunSummary summary;
        const auto& connectionOptions = logic_.ConnectionOptions();
        summary.setup = DescribeRun(
            logic_.Settings(), started_,
            std::vector<std::pair<std::string, std::string>>(connectionOptions.begin(),
                                                             connectionOptions.end()));
        summary.durationSeconds = durationSeconds;
        summary.averageBytesPerSecond = meter_.AverageRate() * 1024.0;
        summary.peakBytesPerSecond = meter_.PeakRate() * 1024.0;
        summary.bytesReceived = bytes;
        summary.articlesCompleted = totals.articlesCompleted;
        summary.articlesPerSecond =
            durationSeconds > 0 ? static_cast<double>(totals.articlesCompleted) / durationSeconds : 0.0;
        summary.connections = totals.connections;
        summary.connectionsUp = static_cast<std::int64_t>(upAtStop_);
        summary.stoppedBy = stoppedBy;
        if (cpuAtStop_ >= 0 && durationSeconds > 0)
            summary.engineCpu = cpuAtStop_ / durationSeconds;
        const auto monitor = logic_.Monitor();
        if (monitor) {
            AddEngineDetails(monitor->Run(), summary);
        }
        summary.diskSpaceLow = DiskSpaceWasLow();
        console_.out << FormatSummary(summary, options_.json) << std::flush;
        // A header alone is no article: only bodies received to their final dot count.
        if (totals.articlesCompleted == 0) {
            console_.err << "zodiva: "
                         << (monitor ? NoArticleReason(monitor->Run(), true)
                                     : std::string("no article was completed"))
                         << "\n";
            return kExitNoArticles;
        }
        return kExitOk;
    }

    const CommandLineOptions& options_;
    HeadlessConsole& console_;
    // Declared before the logic: the demo server must outlive the engine that reads from it.
    SessionSetup setup_;
    TestDialogLogic logic_;
    IntervalMeter meter_;
    StatusRowFolder folder_;
    ConnectionTable table_;
    std::vector<ConnectionSnapshot> snapshots_;
    ActivityCounts activities_;
    IntervalActivityMeter activityMeter_;
    std::uint64_t upAtStop_ = 0;
    double cpuAtStop_ = -1.0;
    std::string started_;
    Clock::time_point goTime_;
    StatusRow row_;  // 4 KB: one, reused
    bool declinedWithoutTerminal_ = false;
};

}  // namespace

int RunHeadless(const CommandLineOptions& options, HeadlessConsole& console) {
    HeadlessRun run(options, console);
    return run.Execute();
}

int RunHeadless(const CommandLineOptions& options) {
    HeadlessConsole console{std::cout, std::cerr, std::cin, isatty(STDIN_FILENO) == 1};
    return RunHeadless(options, console);
}
