// Trace lines per second through DebugLogPrintf: every step of every connection writes
// one, and each costs a stat of the name and one append to the held descriptor under the
// log lock (plus an open whenever the name no longer refers to the held file).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/Log.h"

namespace {

// Runs the benchmark in a scratch folder so the log does not land in the caller's.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zodiva-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            m_path = pattern;
        m_previous = std::filesystem::current_path();
        if (!m_path.empty())
            std::filesystem::current_path(m_path);
    }
    ~ScratchFolder() {
        std::filesystem::current_path(m_previous);
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }

private:
    std::string m_path;
    std::filesystem::path m_previous;
};

void BM_DebugLogPrintfTraceLine(benchmark::State& state) {
    ScratchFolder folder;
    int socket = 5;
    for (auto _ : state) {
        DebugLogPrintf("%T: Sending[%d]: %s\n", socket, "HEAD 1234567\r\n");
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DebugLogPrintfTraceLine);

// The same line with rotation in the loop: the log passes its limit every ~14,000 lines.
void BM_DebugLogPrintfWithRotation(benchmark::State& state) {
    ScratchFolder folder;
    const std::string payload(60, 'x');
    for (auto _ : state) {
        DebugLogPrintf("%T: Head4(%d): %s\n", 7, payload.c_str());
    }
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DebugLogPrintfWithRotation)->Iterations(50000);

void BM_ExpandLogFormatOnly(benchmark::State& state) {
    struct Args : LogArguments {
        int NextInt() override { return 5; }
        const char* NextString() override { return "HEAD 1234567\r\n"; }
    } args;
    std::string out;
    for (auto _ : state) {
        out.clear();
        ExpandLogFormat("%T: Sending[%d]: %s\n", args, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ExpandLogFormatOnly);

}  // namespace
