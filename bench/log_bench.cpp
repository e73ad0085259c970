// Trace lines per second through DebugLogPrintf: every step of every connection writes
// one; lines are gathered in memory and written in large writes. And the cost of one
// rotation with no numbered copy in the folder and with ten thousand of them.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/Log.h"
#include "support/TraceLogWriter.h"
#include "bench/BenchSupport.h"

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

// Ten thousand copies (empty: only their names count) before the writer starts.
void MakeCopies(int copies) {
    for (int n = 1; n <= copies; ++n) {
        const std::string name = "log(" + std::to_string(n) + ").txt";
        std::FILE* file = std::fopen(name.c_str(), "w");
        if (file != nullptr)
            std::fclose(file);
    }
}

// One rotation: the line that finds log.txt above the limit moves it to the next free
// number and starts a new file with its header. Filling the file is not timed.
void BM_RotationWithCopies(benchmark::State& state) {
    bench::ScratchDirectory folder("zodiva-rotation");
    MakeCopies(static_cast<int>(state.range(0)));
    TraceLogWriter writer;
    const std::string big(1000001, 'r');
    writer.Add(big.data(), big.size());
    writer.Add("x\n", 2);  // the first rotation lists the folder once
    for (auto _ : state) {
        state.PauseTiming();
        writer.Add(big.data(), big.size());
        writer.Flush();
        state.ResumeTiming();
        writer.Add("x\n", 2);
        writer.Flush();
    }
}
BENCHMARK(BM_RotationWithCopies)->Arg(0)->Arg(10000)->Iterations(200)->Unit(benchmark::kMicrosecond);

// The old way for comparison: probing log(1).txt, log(2).txt, ... for the first free name
// and copying the file there.
void BM_ProbingCopyWithCopies(benchmark::State& state) {
    bench::ScratchDirectory folder("zodiva-rotation");
    MakeCopies(static_cast<int>(state.range(0)));
    const std::string big(1000001, 'r');
    for (auto _ : state) {
        state.PauseTiming();
        {
            std::FILE* file = std::fopen("log.txt", "w");
            std::fwrite(big.data(), 1, big.size(), file);
            std::fclose(file);
        }
        state.ResumeTiming();
        CopyToNumberedFile("log.txt");
    }
}
BENCHMARK(BM_ProbingCopyWithCopies)->Arg(0)->Arg(10000)->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace
