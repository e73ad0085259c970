// The two logs. Each line: take LogMutex, expand the format, hand the text to the log.
//
// Trace lines are many (several per block a connection receives), so they go to a
// TraceLogWriter that gathers them in memory and writes them in large writes: the file is
// complete within 100 ms of a line, whenever the engine's loop is about to sleep, and at
// every end (FlushDebugLog; an exit handler; a crash handler, best effort). A small thread
// writes lines that would otherwise wait longer, for instance those of the dialog while the
// engine is idle. The rarely written error log is still opened, appended to and closed for
// each line.
#include "support/Log.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/Files.h"
#include "platform/LogFiles.h"
#include "platform/Messages.h"
#include "platform/Time.h"
#include "support/ErrorText.h"
#include "support/LogText.h"
#include "support/NumberedCopies.h"
#include "support/TraceLogWriter.h"

bool VerboseLog = true;

MutexHandle& LogMutex() {
    // Never destroyed: threads may still log while static objects are torn down.
    static MutexHandle* mutex = new MutexHandle;
    return *mutex;
}

namespace {

// Created before the program's main code runs.
[[maybe_unused]] MutexHandle& gLogMutexAtStartup = LogMutex();

const char kErrorLogHeader[] =
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

void AppendWithoutLineBreaks(std::string& out, const char* text) {
    const char* run = text;
    for (;; ++text) {
        const char c = *text;
        if (c != '\0' && c != '\r' && c != '\n')
            continue;
        out.append(run, static_cast<size_t>(text - run));
        if (c == '\0')
            return;
        run = text + 1;
    }
}

void WriteText(FILE* file, const std::string& text) {
    if (!text.empty())
        std::fwrite(text.data(), 1, text.size(), file);
}

// --- the trace log's writer and the thread that keeps its 100 ms --------------------------
// Everything here is touched under LogMutex, except the flusher's own wake-up state. None of
// it is ever destroyed: threads may still log while static objects go away.

TraceLogWriter& Writer() {
    static TraceLogWriter* writer = new TraceLogWriter;
    return *writer;
}

// The text of the line being expanded; keeps its capacity, so a line costs no allocation.
std::string& LineText() {
    static std::string* text = [] {
        auto* made = new std::string;
        made->reserve(4096);
        return made;
    }();
    return *text;
}

struct Flusher {
    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<bool> idle{true};  // waits for a first pending line; set under LogMutex
    bool started = false;          // under LogMutex
};

Flusher& TheFlusher() {
    static Flusher* flusher = new Flusher;
    return *flusher;
}

// How long to sleep before looking again: until the oldest line is due (both on the monotonic
// clock, so a system clock set back an hour does not hold lines for an hour). On the test clock,
// which moves only when a test moves it, the thread looks again every few milliseconds.
std::chrono::microseconds SleepUntil(std::int64_t due) {
    if (platform::IsTestClockInstalled())
        return std::chrono::milliseconds(5);
    const std::int64_t left = due - platform::MonotonicTime();
    return std::chrono::microseconds(left <= 0 ? 0 : left / 10 + 1);
}

void RunFlusher() {
    Flusher& flusher = TheFlusher();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(flusher.mutex);
            flusher.wake.wait(lock, [&] { return !flusher.idle.load(); });
        }
        for (;;) {
            std::int64_t due = 0;
            {
                MutexHandleLock lock(LogMutex());
                Writer().FlushIfDue();
                if (!Writer().HasPending()) {
                    flusher.idle.store(true);
                    break;
                }
                due = Writer().DueTime();
            }
            std::unique_lock<std::mutex> lock(flusher.mutex);
            flusher.wake.wait_for(lock, SleepUntil(due));
        }
    }
}

void WritePendingBeforeSleep();
void WritePendingAtExit() {
    FlushDebugLog();
}
void WritePendingOnCrash() {
    Writer().WriteFromSignalHandler();
}

// Called under LogMutex after a line was added: makes sure someone writes it in time.
void WakeFlusher() {
    Flusher& flusher = TheFlusher();
    if (!flusher.started) {
        flusher.started = true;
        std::thread(RunFlusher).detach();
        std::atexit(&WritePendingAtExit);
        platform::SetBeforeSleepHook(&WritePendingBeforeSleep);
    }
    if (flusher.idle.load() && Writer().HasPending()) {
        std::lock_guard<std::mutex> lock(flusher.mutex);
        flusher.idle.store(false);
        flusher.wake.notify_one();
    }
}

// The engine's loop is about to sleep: write what is pending, unless another thread holds
// the log (it is writing, and the flusher keeps the bound in any case).
void WritePendingBeforeSleep() {
    if (!LogMutex().Lock(0))
        return;
    Writer().Flush();
    LogMutex().Unlock();
}

void AppendLine(const char* fileName, const std::string& text) {
    FILE* file = std::fopen(fileName, "a");
    if (file == nullptr)
        return;  // the line is lost; logging never fails its caller
    WriteText(file, text);
    std::fclose(file);
}

void ExpandAt(const char* format, LogArguments& args, std::string& out, std::int64_t now);

// One clock reading per line serves its stamps and the writer's 100 ms bound.
void ExpandInto(std::string& text, const char* format, LogArguments& args, std::int64_t now) {
    text.clear();
    ExpandAt(format != nullptr ? format : "", args, text, now);
}

}  // namespace

void ExpandLogFormat(const char* format, LogArguments& args, std::string& out) {
    ExpandAt(format, args, out, platform::CurrentFileTime());
}

namespace {

void ExpandAt(const char* format, LogArguments& args, std::string& out, std::int64_t now) {
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            const char* run = p;
            while (p[1] != '\0' && p[1] != '%') ++p;
            out.append(run, static_cast<size_t>(p - run + 1));
            continue;
        }
        const char directive = *++p;
        if (directive == '\0')
            break;  // a lone "%" at the end writes nothing
        switch (directive) {
            case 'd':
                AppendDecimal(out, args.NextInt());
                break;
            case 'x':
            case 'X':
                AppendHex(out, static_cast<unsigned>(args.NextInt()), directive == 'X');
                break;
            case 's': {
                const char* text = args.NextString();
                AppendWithoutLineBreaks(out, text != nullptr ? text : "NULL");
                break;
            }
            case 't':
                AppendDateTimeStampAt(out, now);
                break;
            case 'T':
                AppendTimeStampAt(out, now);
                break;
            case 'w':
                out += GetErrorText(args.NextInt());
                break;
            case 'W': {
                const int code = args.NextInt();
                AppendDecimal(out, code);
                out += " - ";
                out += GetErrorText(code);
                break;
            }
            default:
                out += directive;
                break;
        }
    }
}

}  // namespace

void WriteDateTimeStamp(FILE* file) {
    std::string text;
    AppendDateTimeStampAt(text, platform::CurrentFileTime());
    WriteText(file, text);
}

void WriteTimeStamp(FILE* file) {
    std::string text;
    AppendTimeStampNow(text);
    WriteText(file, text);
}

bool FileExists(const char* name) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(name, &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

std::string MakeNumberedName(const char* path, int number) {
    std::string base;
    std::string extension;
    SplitLogFileName(path, base, extension);
    std::string name = base;
    name += '(';
    AppendDecimal(name, number);
    name += ')';
    name += extension;
    return name;
}

void CopyToNumberedFile(const char* path) {
    int number = 1;
    std::string name = MakeNumberedName(path, number);
    while (FileExists(name.c_str())) name = MakeNumberedName(path, ++number);
    CopyFileA(path, name.c_str(), TRUE);
}

void OpenDebugLog() {
    MutexHandleLock lock(LogMutex());
    Writer().Open();
}

void OpenErrorLog() {
    if (FileExists(kErrorLogName))
        return;
    MutexHandleLock lock(LogMutex());
    FILE* file = std::fopen(kErrorLogName, "w");
    if (file == nullptr)
        return;
    std::fputs(kErrorLogHeader, file);
    std::fclose(file);
}

void DebugLogPrintfArgs(const char* format, LogArguments& args) {
    MutexHandleLock lock(LogMutex());
    std::string& text = LineText();
    const std::int64_t now = platform::CurrentFileTime();
    ExpandInto(text, format, args, now);
    Writer().Add(text.data(), text.size(), now);
    WakeFlusher();
}

void FlushDebugLog() {
    MutexHandleLock lock(LogMutex());
    Writer().Flush();
}

void SetDebugLogKeepCopies(int copies) {
    MutexHandleLock lock(LogMutex());
    Writer().SetKeepCopies(copies);
}

void WriteDebugLogOnCrash() {
    platform::RunOnCrashSignal(&WritePendingOnCrash);
}

void ErrorLogPrintfArgs(const char* format, LogArguments& args) {
    MutexHandleLock lock(LogMutex());
    OpenErrorLog();
    std::string text;
    ExpandInto(text, format, args, platform::CurrentFileTime());
    AppendLine(kErrorLogName, text);
}
