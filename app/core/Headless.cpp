#include "app/core/Headless.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <iostream>
#include <string>

#include "app/core/IntervalMeter.h"
#include "app/core/RunReport.h"
#include "app/core/SessionSetup.h"
#include "app/core/TestDialogLogic.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kDisplayPeriod = std::chrono::seconds(1);
// A last, partial interval shorter than this is too short to be a rate of its own.
constexpr double kShortestCountedInterval = 0.5;

// Takes SIGINT and SIGTERM for the calling thread (and every thread it starts) while it
// lives, so that they can be waited for instead of killing the process mid-download.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    }
    ~StopSignals() {
        // Drop what arrived so that unblocking does not deliver it with its default action.
        timespec zero{0, 0};
        while (sigtimedwait(&set_, nullptr, &zero) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits until `deadline` or a signal; the signal number, or 0 at the deadline.
    int WaitUntil(Clock::time_point deadline) {
        for (;;) {
            const auto now = Clock::now();
            const auto left = deadline > now ? deadline - now : Clock::duration::zero();
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timespec timeout{static_cast<time_t>(ns / 1000000000),
                             static_cast<long>(ns % 1000000000)};
            const int signal = sigtimedwait(&set_, nullptr, &timeout);
            if (signal > 0) {
                return signal;
            }
            if (Clock::now() >= deadline) {
                return 0;
            }
        }
    }

private:
    sigset_t set_;
    sigset_t previous_;
};

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
        if (options_.metrics) {
            console_.err << "zodiva: metrics on " << setup_.MetricsUrl() << "\n";
        }
        const std::string connections = std::to_string(logic_.ConnectionsForDisplay());
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
        logic_.Stop();
        setup_.StopDemo();
        PrintSummary(SecondsBetween(goTime, stopTime), stoppedBy);
        return kExitOk;
    }

private:
    int Fail(int code, const std::string& message) {
        console_.err << "zodiva: " << message << "\n";
        return code;
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
    // --seconds counts from Go, so a run lasts what was asked for.
    std::string ShowRates(StopSignals& signals, Clock::time_point goTime) {
        meter_.Start(0.0, 0, 0);
        const auto end = options_.seconds
                             ? goTime + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(*options_.seconds))
                             : Clock::time_point::max();
        for (auto next = goTime + kDisplayPeriod;; next += kDisplayPeriod) {
            if (next > end) {
                return signals.WaitUntil(end) != 0 ? "signal" : "time";
            }
            if (signals.WaitUntil(next) != 0) {
                return "signal";
            }
            if (!PrintSample(goTime)) {
                return "output closed";
            }
        }
    }

    // False when the output can no longer be written.
    bool PrintSample(Clock::time_point goTime) {
        const EngineTotals totals = logic_.Totals();
        RateSample sample;
        sample.elapsedSeconds = SecondsBetween(goTime, Clock::now());
        sample.interval =
            meter_.Measure(sample.elapsedSeconds, totals.bytesReceived, totals.articlesCompleted);
        sample.engineRate = logic_.TotalRate();
        sample.utcTime = UtcTimeNow();
        console_.out << FormatSample(sample, options_.json) << std::flush;
        return static_cast<bool>(console_.out);
    }

    void PrintSummary(double durationSeconds, const std::string& stoppedBy) {
        const EngineTotals totals = logic_.Totals();
        // The time since the last line counts in the average when it is long enough to be a
        // measurement of its own.
        meter_.Measure(durationSeconds, totals.bytesReceived, totals.articlesCompleted,
                       durationSeconds - meter_.LastSeconds() >= kShortestCountedInterval);
        RunSummary summary;
        summary.durationSeconds = durationSeconds;
        summary.averageRate = meter_.AverageRate();
        summary.peakRate = meter_.PeakRate();
        summary.bytesReceived = totals.bytesReceived;
        summary.articlesCompleted = totals.articlesCompleted;
        summary.connections = totals.connections;
        summary.stoppedBy = stoppedBy;
        console_.out << FormatSummary(summary, options_.json) << std::flush;
    }

    const CommandLineOptions& options_;
    HeadlessConsole& console_;
    // Declared before the logic: the demo server must outlive the engine that reads from it.
    SessionSetup setup_;
    TestDialogLogic logic_;
    IntervalMeter meter_;
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
