#include "app/core/Headless.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/core/IntervalActivity.h"
#include "app/core/IntervalMeter.h"
#include "app/core/JsonObject.h"
#include "app/core/MonitorView.h"
#include "app/core/RunCheck.h"
#include "app/core/RunDescription.h"
#include "app/core/RunReport.h"
#include "app/core/SessionSetup.h"
#include "app/core/StatusRowFolder.h"
#include "app/core/StopSignals.h"
#include "app/core/Sweep.h"
#include "app/core/SweepReport.h"
#include "app/core/TestDialogLogic.h"
#include "app/core/Timeline.h"
#include "app/core/WarmupCut.h"
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
// Between the steps of a sweep: the last step's connections close and the server settles
// before the next Go. Not measured.
constexpr auto kSweepPause = std::chrono::seconds(1);
// A stop right on a line's heels leaves too little for a timeline line of its own.
constexpr double kShortestTimelineTail = 0.01;

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
        // Named from where zodiva was started, before --workdir changes the folder.
        std::string timelinePath = options_.timeline;
        if (!timelinePath.empty()) {
            std::error_code ignored;  // a path that cannot be made absolute is opened as given
            const std::filesystem::path absolute = std::filesystem::absolute(timelinePath, ignored);
            if (!absolute.empty())
                timelinePath = absolute.string();
        }
        if (!setup_.PrepareEnvironment(options_, error)) {
            return Fail(kExitBadInput, error);
        }
        for (const std::string& warning : setup_.Warnings()) {
            console_.err << "zodiva: warning: " << warning << "\n";
        }
        StopSignals signals;  // before any thread starts, so every thread inherits it
        logic_.LoadSettings();
        logic_.SetEngineCount(options_.engines.value_or(1));
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
        if (!timelinePath.empty() && !timeline_.Open(timelinePath, error)) {
            return Fail(kExitBadInput, error);
        }
        if (options_.metrics) {
            console_.err << "zodiva: metrics on " << setup_.MetricsUrl() << "\n";
        }
        const int code = options_.sweep.empty() ? RunOnce(signals) : RunSweep(signals);
        setup_.StopDemo();
        if (!timeline_.Good()) {
            console_.err << "zodiva: warning: --timeline: lines could not be written to '"
                         << options_.timeline << "' (is the disk full?); the file is incomplete\n";
        }
        return code;
    }

private:
    // What one run (one step of a sweep) ended with.
    struct StepResult {
        int failedToStart = -1;  // the exit code when Go did not start a download
        RunSummary summary;
        std::vector<CheckResult> checks;
        bool stoppedEarly = false;  // by a signal or a closed output: the sweep ends there
        std::string noArticleReason;  // empty when an article was completed
    };

    int RunOnce(StopSignals& signals) {
        const unsigned connections = logic_.ConnectionsForDisplay();
        started_ = UtcTimeNow();
        WriteTimelineRun(connections);
        StepResult result =
            RunStep(signals, 1, connections, [this](const std::string& q) { return Confirm(q); });
        if (result.failedToStart >= 0) {
            return result.failedToStart;
        }
        JsonObject json;
        json.Text("event", "summary").Flag("summary", true).Merge(SummaryJson(result.summary));
        if (!options_.checks.empty()) {
            json.Member("checks", ChecksJson(result.checks));
        }
        console_.out << (options_.json ? json.Line()
                                       : FormatSummary(result.summary, false) +
                                             ChecksText(result.checks))
                     << std::flush;
        timeline_.WriteEvent(json.Line());
        WarnOfBusyEngine(result.summary);
        if (!result.noArticleReason.empty()) {
            console_.err << "zodiva: " << result.noArticleReason << "\n";
            return kExitNoArticles;
        }
        return AllPass(result.checks) ? kExitOk : kExitCheckFailed;
    }

    // Every step through the dialog's own Go and Stop, one engine thread each, with a pause
    // between them; then the table, the knee and the capacity.
    int RunSweep(StopSignals& signals) {
        const std::vector<int>& counts = options_.sweep;
        started_ = UtcTimeNow();
        WriteTimelineRun(static_cast<unsigned>(counts.back()));
        // One question for the whole sweep, naming its largest step, before anything runs.
        if (counts.back() >= TestDialogLogic::kConfirmFromConnections &&
            !Confirm(TestDialogLogic::ConfirmationText(counts.back()))) {
            return declinedWithoutTerminal_ ? kExitBadInput : kExitOk;
        }
        std::vector<SweepStep> steps;
        bool anyArticle = false;
        for (std::size_t i = 0; i < counts.size(); ++i) {
            if (i > 0 && signals.WaitUntil(Clock::now() + kSweepPause) != 0) {
                break;
            }
            const int number = static_cast<int>(i) + 1;
            if (!options_.json) {
                console_.out << "Step " << number << " of " << counts.size() << ": "
                             << ConnectionsText(counts[i]) << "\n";
            }
            StepResult result = RunStep(signals, number, static_cast<unsigned>(counts[i]),
                                        [](const std::string&) { return true; });
            if (result.failedToStart >= 0) {
                return result.failedToStart;
            }
            SweepStep step;
            step.connections = counts[i];
            step.summary = result.summary;
            step.checks = result.checks;
            step.json = StepJson(result.summary, number, result.checks, !options_.checks.empty());
            const std::string line = step.json.Line();
            console_.out << (options_.json
                                 ? line
                                 : StepRowText(step, number, static_cast<int>(counts.size())))
                         << std::flush;
            timeline_.WriteEvent(line);
            if (result.noArticleReason.empty()) {
                anyArticle = true;
            } else {
                console_.err << "zodiva: step " << number << ": " << result.noArticleReason << "\n";
            }
            steps.push_back(std::move(step));
            if (result.stoppedEarly) {
                break;
            }
        }
        return FinishSweep(steps, anyArticle);
    }

    int FinishSweep(const std::vector<SweepStep>& steps, bool anyArticle) {
        std::vector<StepOutcome> outcomes;
        for (const SweepStep& step : steps) {
            outcomes.push_back(
                {step.connections, step.summary.averageBytesPerSecond, AllPass(step.checks)});
        }
        const std::optional<int> knee = SweepKnee(outcomes);
        const bool checksGiven = !options_.checks.empty();
        const std::optional<int> capacity = SweepCapacity(outcomes, checksGiven);
        const std::string json = SweepJson(steps, knee, capacity);
        console_.out << (options_.json ? json : SweepTableText(steps, knee, capacity, checksGiven))
                     << std::flush;
        timeline_.WriteEvent(json);
        for (const SweepStep& step : steps) {
            const std::string warning = BusyEngineWarning(step.summary.engineCpu);
            if (!warning.empty())
                console_.err << "zodiva: " << ConnectionsText(step.connections) << ": " << warning
                             << "\n";
        }
        if (!anyArticle) {
            return kExitNoArticles;
        }
        return !steps.empty() && !AllPass(steps.front().checks) ? kExitCheckFailed : kExitOk;
    }

    // Go with `connections`, a line per second until the time is up, Stop, and the step's
    // summary with its checks.
    StepResult RunStep(StopSignals& signals, int step, unsigned connections,
                       const TestDialogLogic::ConfirmFn& confirm) {
        StepResult result;
        ResetStep(step, connections);
        started_ = UtcTimeNow();
        const auto goTime = Clock::now();
        switch (logic_.Go(std::to_string(connections), confirm)) {
            case TestDialogLogic::GoResult::kStarted:
                break;
            case TestDialogLogic::GoResult::kDeclined:
                result.failedToStart = declinedWithoutTerminal_ ? kExitBadInput : kExitOk;
                return result;
            case TestDialogLogic::GoResult::kEngineUnavailable:
                result.failedToStart =
                    Fail(kExitEngineFailed, "the download engine could not start");
                return result;
        }
        const std::string stoppedBy = ShowRates(signals, goTime);
        const auto stopTime = Clock::now();
        ReadConnections();
        upAtStop_ = ConnectionsUp(activities_);
        // Read before Stop: the engine's last second (closing its connections) is not the run's.
        cpuAtStop_ = logic_.EngineCpuSeconds();
        cpuEachAtStop_ = logic_.EngineCpuSecondsEach();
        const double durationSeconds = SecondsBetween(goTime, stopTime);
        // The stop's own line for the timeline: the time since the last line.
        WriteTimelineTail(durationSeconds);
        const MeasuredPart measured = MeasureCountedPart(durationSeconds);
        logic_.Stop();
        result.stoppedEarly = stoppedBy != "time";
        result.summary = Summarise(durationSeconds, stoppedBy, measured, result);
        result.checks = JudgeChecks(options_.checks, result.summary);
        return result;
    }

    // Fresh figures for the next step; the engine's are new at every Go.
    void ResetStep(int step, unsigned connections) {
        meter_ = IntervalMeter();
        table_ = ConnectionTable();
        snapshots_.clear();
        activities_ = ActivityCounts();
        upAtStop_ = 0;
        cpuAtStop_ = -1.0;
        cpuEachAtStop_.clear();
        secondNumber_ = 0;
        stepNumber_ = step;
        stepConnections_ = connections;
        lastLineSeconds_ = 0.0;
        lastLineBytes_ = 0;
        lastLineArticles_ = 0;
    }

    void WriteTimelineRun(unsigned connections) {
        if (!timeline_.IsOpen())
            return;
        const RunSetup setup = DescribeRun(logic_.Settings(), started_);
        TimelineRun run;
        run.version = setup.version;
        run.server = setup.server;
        run.port = setup.port;
        run.tls = setup.tls;
        if (!setup.proxy.empty())
            run.proxy = setup.proxy;
        run.started = setup.started;
        run.connections = connections;
        run.seconds = options_.seconds;
        run.warmup = options_.warmup;
        run.sweep = options_.sweep;
        run.settings = setup.settings;
        timeline_.WriteRun(run);
    }

    void WarnOfBusyEngine(const RunSummary& summary) {
        const std::string warning = BusyEngineWarning(summary.engineCpu);
        if (!warning.empty())
            console_.err << "zodiva: " << warning << "\n";
    }


    int Fail(int code, const std::string& message) {
        console_.err << "zodiva: " << message << "\n";
        return code;
    }

    // What makes a run pointless is refused before it starts, with one line saying why.
    bool ReadyToRun(std::string& error) {
        SettingsStore& settings = logic_.Settings();
        if (settings.GetString(keys::kNewsServer).empty()) {
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
        // A sweep's steps say how many connections to make.
        if (options_.sweep.empty() && logic_.ConnectionsForDisplay() == 0) {
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
            warmup_.Start(monitor->Run(), logic_.EngineCpuSeconds());
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
        const std::int64_t emitted = platform::CurrentFileTime();
        for (const FoldedRow& line : lines) {
            to << (options_.json ? FormatFoldedRowJson(line, emitted)
                                 : "zodiva: " + FormatFoldedRow(line));
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
        const std::uint64_t bytes = BytesSoFar();
        const std::uint64_t articles = logic_.Totals().articlesCompleted;
        const double cpuSeconds = logic_.EngineCpuSeconds();
        bool warmup = false;
        if (const auto monitor = logic_.Monitor()) {
            warmup = warmup_.Observe(++secondNumber_, monitor->Run(), cpuSeconds,
                                     sample.elapsedSeconds, bytes, articles);
        }
        // The seconds of the warm-up are shown but left out of the average and the peak.
        sample.interval = meter_.Measure(sample.elapsedSeconds, bytes, articles, !warmup);
        sample.engineRate = logic_.TotalRate();
        SetSampleStates(activities_, sample);
        if (const auto monitor = logic_.Monitor()) {
            sample.activity =
                activityMeter_.Measure(monitor->Run(), cpuSeconds, sample.interval.seconds);
        }
        sample.utcTime = UtcTimeNow();
        if (!options_.sweep.empty()) {
            sample.step = stepNumber_;
            sample.connections = stepConnections_;
        }
        lastLineBytes_ = bytes;
        lastLineArticles_ = articles;
        WriteTimelineSecond(sample, warmup);
        console_.out << FormatSample(sample, options_.json) << std::flush;
        return static_cast<bool>(console_.out);
    }

    void WriteTimelineSecond(const RateSample& sample, bool warmup) {
        lastLineSeconds_ = sample.elapsedSeconds;
        if (!timeline_.IsOpen())
            return;
        SecondRecord second = MakeSecondRecord(sample);
        second.step = stepNumber_;
        second.connections = stepConnections_;
        second.warmup = warmup;
        timeline_.WriteSecond(second);
    }

    // At the stop, the time since the last line as a last, shorter second of the timeline,
    // so that its seconds add up to the whole run.
    void WriteTimelineTail(double durationSeconds) {
        if (!timeline_.IsOpen() || durationSeconds - lastLineSeconds_ < kShortestTimelineTail)
            return;
        RateSample sample;
        sample.elapsedSeconds = durationSeconds;
        IntervalMeter tail;  // the lines' meter measures the tail itself, in the summary
        tail.Start(lastLineSeconds_, lastLineBytes_, lastLineArticles_);
        sample.interval = tail.Measure(durationSeconds, BytesSoFar(), logic_.Totals().articlesCompleted);
        if (const auto monitor = logic_.Monitor()) {
            sample.activity = activityMeter_.Measure(monitor->Run(), cpuAtStop_,
                                                     durationSeconds - lastLineSeconds_);
        }
        WriteTimelineSecond(sample, !warmup_.Over());
    }

    // The counted part of the run (all of it without --warmup), read before Stop.
    MeasuredPart MeasureCountedPart(double durationSeconds) {
        const auto monitor = logic_.Monitor();
        if (!monitor)
            return MeasuredPart{};
        return warmup_.Measured(monitor->Run(), cpuAtStop_, durationSeconds, BytesSoFar(),
                                logic_.Totals().articlesCompleted);
    }

    // The step's summary; `result` learns why no article was completed, if none was.
    RunSummary Summarise(double durationSeconds, const std::string& stoppedBy,
                         const MeasuredPart& measured, StepResult& result) {
        ShowStatusRows(true);
        const EngineTotals totals = logic_.Totals();
        const std::uint64_t bytes = std::max<std::uint64_t>(BytesSoFar(), totals.bytesReceived);
        // The time since the last line counts in the average when it is long enough to be a
        // measurement of its own (and not in the warm-up).
        meter_.Measure(durationSeconds, bytes, totals.articlesCompleted,
                       warmup_.Over() &&
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
        if (cpuEachAtStop_.size() > 1 && cpuAtStop_ >= 0 && durationSeconds > 0)
            for (double seconds : cpuEachAtStop_) summary.engineCpuEach.push_back(seconds / durationSeconds);
        const auto monitor = logic_.Monitor();
        if (monitor) {
            AddEngineDetails(monitor->Run(), summary);
        }
        if (options_.warmup > 0.0) {
            summary.warmupSeconds = options_.warmup;
            ApplyMeasuredPart(measured, summary);
        }
        summary.diskSpaceLow = DiskSpaceWasLow();
        // A header alone is no article: only bodies received to their final dot count.
        if (totals.articlesCompleted == 0) {
            result.noArticleReason = monitor ? NoArticleReason(monitor->Run(), true)
                                             : std::string("no article was completed");
        }
        return summary;
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
    WarmupCut warmup_{options_.warmup};
    TimelineWriter timeline_;
    int secondNumber_ = 0;
    int stepNumber_ = 1;
    unsigned stepConnections_ = 0;
    double lastLineSeconds_ = 0.0;
    std::uint64_t lastLineBytes_ = 0;
    std::uint64_t lastLineArticles_ = 0;
    std::uint64_t upAtStop_ = 0;
    double cpuAtStop_ = -1.0;
    std::vector<double> cpuEachAtStop_;  // each engine thread's, with --engines
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
