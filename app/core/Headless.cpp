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
        : m_options(options), m_console(console) {}

    int Execute() {
        std::string error;
        // Named from where zodiva was started, before --workdir changes the folder.
        std::string timelinePath = m_options.timeline;
        if (!timelinePath.empty()) {
            std::error_code ignored;  // a path that cannot be made absolute is opened as given
            const std::filesystem::path absolute = std::filesystem::absolute(timelinePath, ignored);
            if (!absolute.empty())
                timelinePath = absolute.string();
        }
        if (!m_setup.PrepareEnvironment(m_options, error)) {
            return Fail(kExitBadInput, error);
        }
        for (const std::string& warning : m_setup.Warnings()) {
            m_console.err << "zodiva: warning: " << warning << "\n";
        }
        StopSignals signals;  // before any thread starts, so every thread inherits it
        m_logic.LoadSettings();
        m_logic.SetEngineCount(m_options.engines.value_or(1));
        if (!m_setup.ApplySettings(m_options, m_logic, error)) {
            return Fail(kExitEngineFailed, error);
        }
        if (m_options.demo) {
            m_console.err << "zodiva: demo server on 127.0.0.1:" << m_setup.DemoPort() << "\n";
        }
        if (!m_setup.StartMetrics(m_options, m_logic, error)) {
            return Fail(kExitBadInput, error);
        }
        if (!ReadyToRun(error)) {
            return Fail(kExitBadInput, error);
        }
        if (!timelinePath.empty() && !m_timeline.Open(timelinePath, error)) {
            return Fail(kExitBadInput, error);
        }
        if (m_options.metrics) {
            m_console.err << "zodiva: metrics on " << m_setup.MetricsUrl() << "\n";
        }
        const int code = m_options.sweep.empty() ? RunOnce(signals) : RunSweep(signals);
        m_setup.StopDemo();
        if (!m_timeline.Good()) {
            m_console.err << "zodiva: warning: --timeline: lines could not be written to '"
                          << m_options.timeline
                          << "' (is the disk full?); the file is incomplete\n";
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
        const unsigned connections = m_logic.ConnectionsForDisplay();
        m_started = UtcTimeNow();
        WriteTimelineRun(connections);
        StepResult result =
            RunStep(signals, 1, connections, [this](const std::string& q) { return Confirm(q); });
        if (result.failedToStart >= 0) {
            return result.failedToStart;
        }
        JsonObject json;
        json.Text("event", "summary").Flag("summary", true).Merge(SummaryJson(result.summary));
        if (!m_options.checks.empty()) {
            json.Member("checks", ChecksJson(result.checks));
        }
        m_console.out << (m_options.json
                              ? json.Line()
                              : FormatSummary(result.summary, false) + ChecksText(result.checks))
                      << std::flush;
        m_timeline.WriteEvent(json.Line());
        WarnOfBusyEngine(result.summary);
        if (!result.noArticleReason.empty()) {
            m_console.err << "zodiva: " << result.noArticleReason << "\n";
            return kExitNoArticles;
        }
        return AllPass(result.checks) ? kExitOk : kExitCheckFailed;
    }

    // Every step through the dialog's own Go and Stop, one engine thread each, with a pause
    // between them; then the table, the knee and the capacity.
    int RunSweep(StopSignals& signals) {
        const std::vector<int>& counts = m_options.sweep;
        m_started = UtcTimeNow();
        WriteTimelineRun(static_cast<unsigned>(counts.back()));
        // One question for the whole sweep, naming its largest step, before anything runs.
        if (counts.back() >= TestDialogLogic::kConfirmFromConnections &&
            !Confirm(TestDialogLogic::ConfirmationText(counts.back()))) {
            return m_declinedWithoutTerminal ? kExitBadInput : kExitOk;
        }
        std::vector<SweepStep> steps;
        bool anyArticle = false;
        for (std::size_t i = 0; i < counts.size(); ++i) {
            if (i > 0 && signals.WaitUntil(Clock::now() + kSweepPause) != 0) {
                break;
            }
            const int number = static_cast<int>(i) + 1;
            if (!m_options.json) {
                m_console.out << "Step " << number << " of " << counts.size() << ": "
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
            step.json = StepJson(result.summary, number, result.checks, !m_options.checks.empty());
            const std::string line = step.json.Line();
            m_console.out << (m_options.json
                                  ? line
                                  : StepRowText(step, number, static_cast<int>(counts.size())))
                          << std::flush;
            m_timeline.WriteEvent(line);
            if (result.noArticleReason.empty()) {
                anyArticle = true;
            } else {
                m_console.err << "zodiva: step " << number << ": " << result.noArticleReason
                              << "\n";
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
        const bool checksGiven = !m_options.checks.empty();
        const std::optional<int> capacity = SweepCapacity(outcomes, checksGiven);
        const std::string json = SweepJson(steps, knee, capacity);
        m_console.out << (m_options.json ? json
                                         : SweepTableText(steps, knee, capacity, checksGiven))
                      << std::flush;
        m_timeline.WriteEvent(json);
        for (const SweepStep& step : steps) {
            const std::string warning = BusyEngineWarning(step.summary.engineCpu);
            if (!warning.empty())
                m_console.err << "zodiva: " << ConnectionsText(step.connections) << ": " << warning
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
        m_started = UtcTimeNow();
        const auto goTime = Clock::now();
        switch (m_logic.Go(std::to_string(connections), confirm)) {
            case TestDialogLogic::GoResult::kStarted:
                break;
            case TestDialogLogic::GoResult::kDeclined:
                result.failedToStart = m_declinedWithoutTerminal ? kExitBadInput : kExitOk;
                return result;
            case TestDialogLogic::GoResult::kEngineUnavailable:
                result.failedToStart =
                    Fail(kExitEngineFailed, "the download engine could not start");
                return result;
        }
        const std::string stoppedBy = ShowRates(signals, goTime);
        const auto stopTime = Clock::now();
        ReadConnections();
        m_upAtStop = ConnectionsUp(m_activities);
        // Read before Stop: the engine's last second (closing its connections) is not the run's.
        m_cpuAtStop = m_logic.EngineCpuSeconds();
        m_cpuEachAtStop = m_logic.EngineCpuSecondsEach();
        const double durationSeconds = SecondsBetween(goTime, stopTime);
        // The stop's own line for the timeline: the time since the last line.
        WriteTimelineTail(durationSeconds);
        const MeasuredPart measured = MeasureCountedPart(durationSeconds);
        m_logic.Stop();
        result.stoppedEarly = stoppedBy != "time";
        result.summary = Summarise(durationSeconds, stoppedBy, measured, result);
        result.checks = JudgeChecks(m_options.checks, result.summary);
        return result;
    }

    // Fresh figures for the next step; the engine's are new at every Go.
    void ResetStep(int step, unsigned connections) {
        m_meter = IntervalMeter();
        m_table = ConnectionTable();
        m_snapshots.clear();
        m_activities = ActivityCounts();
        m_upAtStop = 0;
        m_cpuAtStop = -1.0;
        m_cpuEachAtStop.clear();
        m_secondNumber = 0;
        m_stepNumber = step;
        m_stepConnections = connections;
        m_lastLineSeconds = 0.0;
        m_lastLineBytes = 0;
        m_lastLineArticles = 0;
    }

    void WriteTimelineRun(unsigned connections) {
        if (!m_timeline.IsOpen())
            return;
        const RunSetup setup = DescribeRun(m_logic.Settings(), m_started);
        TimelineRun run;
        run.version = setup.version;
        run.server = setup.server;
        run.port = setup.port;
        run.tls = setup.tls;
        if (!setup.proxy.empty())
            run.proxy = setup.proxy;
        run.started = setup.started;
        run.connections = connections;
        run.seconds = m_options.seconds;
        run.warmup = m_options.warmup;
        run.sweep = m_options.sweep;
        run.settings = setup.settings;
        m_timeline.WriteRun(run);
    }

    void WarnOfBusyEngine(const RunSummary& summary) {
        const std::string warning = BusyEngineWarning(summary.engineCpu);
        if (!warning.empty())
            m_console.err << "zodiva: " << warning << "\n";
    }


    int Fail(int code, const std::string& message) {
        m_console.err << "zodiva: " << message << "\n";
        return code;
    }

    // What makes a run pointless is refused before it starts, with one line saying why.
    bool ReadyToRun(std::string& error) {
        SettingsStore& settings = m_logic.Settings();
        if (settings.GetString(keys::kNewsServer).empty()) {
            error = "no news server is set: give --server HOST[:PORT], or store one with "
                    "zodiva-reg set news_server HOST";
            if (m_setup.SettingsFileProblems() > 0) {
                error += " (the settings file '" + m_setup.SettingsFile() + "' has " +
                         std::to_string(m_setup.SettingsFileProblems()) +
                         (m_setup.SettingsFileProblems() == 1 ? " error" : " errors") +
                         ", shown above)";
            }
            return false;
        }
        // A sweep's steps say how many connections to make.
        if (m_options.sweep.empty() && m_logic.ConnectionsForDisplay() == 0) {
            error = "no connection to make: the number of connections (DLConnections) is 0; "
                    "give --connections N with N of 1 or more";
            return false;
        }
        return true;
    }

    bool Confirm(const std::string& question) {
        if (m_options.yes) {
            return true;
        }
        if (!m_console.interactive) {
            m_declinedWithoutTerminal = true;
            m_console.err << "zodiva: " << question << "\n"
                          << "zodiva: not started: no terminal to answer; add --yes to confirm\n";
            return false;
        }
        m_console.err << question << " [y/N] " << std::flush;
        std::string answer;
        if (!std::getline(m_console.in, answer) || !IsYes(answer)) {
            m_console.err << "zodiva: not started\n";
            return false;
        }
        return true;
    }

    // Prints a line per second from Go until the time is up or a signal arrives; says which.
    // --seconds counts from Go, so a run lasts what was asked for. Status rows are shown as
    // they come, between the lines.
    std::string ShowRates(StopSignals& signals, Clock::time_point goTime) {
        m_goTime = goTime;
        m_meter.Start(0.0, 0, 0);
        if (const auto monitor = m_logic.Monitor()) {
            m_activityMeter.Start(monitor->Run(), m_logic.EngineCpuSeconds());
            m_warmup.Start(monitor->Run(), m_logic.EngineCpuSeconds());
        }
        const auto end = m_options.seconds
                             ? goTime + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(*m_options.seconds))
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
        const auto monitor = m_logic.Monitor();
        if (!monitor) {
            return;
        }
        const double now = SecondsBetween(m_goTime, Clock::now());
        std::vector<FoldedRow> lines = m_folder.Expire(now);
        while (monitor->StatusRows().TryPop(m_row)) {
            for (FoldedRow& line :
                 m_folder.Add(now, m_row.fileTime, m_row.connection, m_row.text)) {
                lines.push_back(std::move(line));
            }
        }
        if (flush) {
            for (FoldedRow& line : m_folder.Flush()) {
                lines.push_back(std::move(line));
            }
        }
        std::ostream& to = m_options.json ? m_console.out : m_console.err;
        const std::int64_t emitted = platform::CurrentFileTime();
        for (const FoldedRow& line : lines) {
            to << (m_options.json ? FormatFoldedRowJson(line, emitted)
                                  : "zodiva: " + FormatFoldedRow(line));
        }
        to.flush();
    }

    // Reads every connection's figures; the bytes are those received up to now.
    void ReadConnections() {
        if (const auto monitor = m_logic.Monitor()) {
            monitor->ReadConnections(m_snapshots, platform::CurrentFileTime());
            m_table.Update(m_snapshots, SecondsBetween(m_goTime, Clock::now()));
            m_activities = monitor->CountActivities(platform::CurrentFileTime());
        }
    }

    std::uint64_t BytesSoFar() const {
        // The engine sums its connections' bytes every 2 s; each connection counts them as
        // they arrive, so the line uses those.
        return std::max<std::uint64_t>(m_table.TotalBytes(), m_logic.Totals().bytesReceived);
    }

    // False when the output can no longer be written.
    bool PrintSample() {
        ReadConnections();
        RateSample sample;
        sample.elapsedSeconds = SecondsBetween(m_goTime, Clock::now());
        const std::uint64_t bytes = BytesSoFar();
        const std::uint64_t articles = m_logic.Totals().articlesCompleted;
        const double cpuSeconds = m_logic.EngineCpuSeconds();
        bool warmup = false;
        if (const auto monitor = m_logic.Monitor()) {
            warmup = m_warmup.Observe(++m_secondNumber, monitor->Run(), cpuSeconds,
                                      sample.elapsedSeconds, bytes, articles);
        }
        // The seconds of the warm-up are shown but left out of the average and the peak.
        sample.interval = m_meter.Measure(sample.elapsedSeconds, bytes, articles, !warmup);
        sample.engineRate = m_logic.TotalRate();
        SetSampleStates(m_activities, sample);
        if (const auto monitor = m_logic.Monitor()) {
            sample.activity =
                m_activityMeter.Measure(monitor->Run(), cpuSeconds, sample.interval.seconds);
        }
        sample.utcTime = UtcTimeNow();
        if (!m_options.sweep.empty()) {
            sample.step = m_stepNumber;
            sample.connections = m_stepConnections;
        }
        m_lastLineBytes = bytes;
        m_lastLineArticles = articles;
        WriteTimelineSecond(sample, warmup);
        m_console.out << FormatSample(sample, m_options.json) << std::flush;
        return static_cast<bool>(m_console.out);
    }

    void WriteTimelineSecond(const RateSample& sample, bool warmup) {
        m_lastLineSeconds = sample.elapsedSeconds;
        if (!m_timeline.IsOpen())
            return;
        SecondRecord second = MakeSecondRecord(sample);
        second.step = m_stepNumber;
        second.connections = m_stepConnections;
        second.warmup = warmup;
        m_timeline.WriteSecond(second);
    }

    // At the stop, the time since the last line as a last, shorter second of the timeline,
    // so that its seconds add up to the whole run.
    void WriteTimelineTail(double durationSeconds) {
        if (!m_timeline.IsOpen() || durationSeconds - m_lastLineSeconds < kShortestTimelineTail)
            return;
        RateSample sample;
        sample.elapsedSeconds = durationSeconds;
        IntervalMeter tail;  // the lines' meter measures the tail itself, in the summary
        tail.Start(m_lastLineSeconds, m_lastLineBytes, m_lastLineArticles);
        sample.interval =
            tail.Measure(durationSeconds, BytesSoFar(), m_logic.Totals().articlesCompleted);
        if (const auto monitor = m_logic.Monitor()) {
            sample.activity = m_activityMeter.Measure(monitor->Run(), m_cpuAtStop,
                                                      durationSeconds - m_lastLineSeconds);
        }
        WriteTimelineSecond(sample, !m_warmup.Over());
    }

    // The counted part of the run (all of it without --warmup), read before Stop.
    MeasuredPart MeasureCountedPart(double durationSeconds) {
        const auto monitor = m_logic.Monitor();
        if (!monitor)
            return MeasuredPart{};
        return m_warmup.Measured(monitor->Run(), m_cpuAtStop, durationSeconds, BytesSoFar(),
                                 m_logic.Totals().articlesCompleted);
    }

    // The step's summary; `result` learns why no article was completed, if none was.
    RunSummary Summarise(double durationSeconds, const std::string& stoppedBy,
                         const MeasuredPart& measured, StepResult& result) {
        ShowStatusRows(true);
        const EngineTotals totals = m_logic.Totals();
        const std::uint64_t bytes = std::max<std::uint64_t>(BytesSoFar(), totals.bytesReceived);
        // The time since the last line counts in the average when it is long enough to be a
        // measurement of its own (and not in the warm-up).
        m_meter.Measure(
            durationSeconds, bytes, totals.articlesCompleted,
            m_warmup.Over() && durationSeconds - m_meter.LastSeconds() >= kShortestCountedInterval);
        RunSummary summary;
        const auto& connectionOptions = m_logic.ConnectionOptions();
        summary.setup = DescribeRun(m_logic.Settings(), m_started,
                                    std::vector<std::pair<std::string, std::string>>(
                                        connectionOptions.begin(), connectionOptions.end()));
        summary.durationSeconds = durationSeconds;
        summary.averageBytesPerSecond = m_meter.AverageRate() * 1024.0;
        summary.peakBytesPerSecond = m_meter.PeakRate() * 1024.0;
        summary.bytesReceived = bytes;
        summary.articlesCompleted = totals.articlesCompleted;
        summary.articlesPerSecond =
            durationSeconds > 0 ? static_cast<double>(totals.articlesCompleted) / durationSeconds : 0.0;
        summary.connections = totals.connections;
        summary.connectionsUp = static_cast<std::int64_t>(m_upAtStop);
        summary.stoppedBy = stoppedBy;
        if (m_cpuAtStop >= 0 && durationSeconds > 0)
            summary.engineCpu = m_cpuAtStop / durationSeconds;
        if (m_cpuEachAtStop.size() > 1 && m_cpuAtStop >= 0 && durationSeconds > 0)
            for (double seconds : m_cpuEachAtStop)
                summary.engineCpuEach.push_back(seconds / durationSeconds);
        const auto monitor = m_logic.Monitor();
        if (monitor) {
            AddEngineDetails(monitor->Run(), summary);
        }
        if (m_options.warmup > 0.0) {
            summary.warmupSeconds = m_options.warmup;
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

    const CommandLineOptions& m_options;
    HeadlessConsole& m_console;
    // Declared before the logic: the demo server must outlive the engine that reads from it.
    SessionSetup m_setup;
    TestDialogLogic m_logic;
    IntervalMeter m_meter;
    StatusRowFolder m_folder;
    ConnectionTable m_table;
    std::vector<ConnectionSnapshot> m_snapshots;
    ActivityCounts m_activities;
    IntervalActivityMeter m_activityMeter;
    WarmupCut m_warmup{m_options.warmup};
    TimelineWriter m_timeline;
    int m_secondNumber = 0;
    int m_stepNumber = 1;
    unsigned m_stepConnections = 0;
    double m_lastLineSeconds = 0.0;
    std::uint64_t m_lastLineBytes = 0;
    std::uint64_t m_lastLineArticles = 0;
    std::uint64_t m_upAtStop = 0;
    double m_cpuAtStop = -1.0;
    std::vector<double> m_cpuEachAtStop;  // each engine thread's, with --engines
    std::string m_started;
    Clock::time_point m_goTime;
    StatusRow m_row;  // 4 KB: one, reused
    bool m_declinedWithoutTerminal = false;
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
