// The two logs. Each line: take LogMutex, make sure the file exists (rotating the trace
// log past its limit), append the expanded format.
//
// The trace log's descriptor stays open between lines: a connection writes several trace
// lines per block it receives, and opening and closing the file for each of them cost more
// CPU than the download itself. Before every line one stat() of the name "log.txt" in the
// current working directory decides whether the held descriptor still is that file (same
// device and inode); when it is not (deleted, renamed, replaced, or the working directory
// changed) the descriptor is dropped and the file opened afresh, with its header when it
// has to be created. The size for the rotation check comes from that same stat, never from
// memory. Each line is built in memory and handed to the kernel in one write() on an
// O_APPEND descriptor, so the file holds every complete line as soon as the call returns
// and nothing sits in a user-space buffer. The rarely written error log is still opened
// and closed for each line.
#include "support/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "platform/Files.h"
#include "platform/Time.h"
#include "support/ErrorText.h"

bool VerboseLog = true;

MutexHandle& LogMutex() {
    // Never destroyed: threads may still log while static objects are torn down.
    static MutexHandle* mutex = new MutexHandle;
    return *mutex;
}

namespace {

// Created before the program's main code runs.
[[maybe_unused]] MutexHandle& gLogMutexAtStartup = LogMutex();

const char* const MonthNames[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

const char kDebugLogHeaderStart[] =
    "##-------------------------------------------------\n"
    "##  Quorrel Log File\n"
    "##\n"
    "## Created: ";
const char kDebugLogHeaderEnd[] = "\n##\n";

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

void AppendFormatted(std::string& out, const char* format, int a, int b = 0, int c = 0) {
    char buffer[32];
    const int n = std::snprintf(buffer, sizeof buffer, format, a, b, c);
    if (n > 0)
        out.append(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

void AppendDateTimeStamp(std::string& out) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    out += MonthNames[now.wMonth >= 1 && now.wMonth <= 12 ? now.wMonth : 0];
    AppendFormatted(out, " %02d, %d ", now.wDay, now.wYear);
    AppendFormatted(out, "%02d:%02d:%02d: ", now.wHour, now.wMinute, now.wSecond);
}

void AppendTimeStamp(std::string& out) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    AppendFormatted(out, "%02d:%02d:%02d", now.wHour, now.wMinute, now.wSecond);
}

void AppendWithoutLineBreaks(std::string& out, const char* text) {
    for (; *text != '\0'; ++text) {
        if (*text != '\r' && *text != '\n')
            out += *text;
    }
}

void WriteText(FILE* file, const std::string& text) {
    if (!text.empty())
        std::fwrite(text.data(), 1, text.size(), file);
}

// The descriptor of "log.txt" held between lines; only touched under LogMutex. Never
// closed at exit, like the mutex, because threads may still log while statics go away.
// O_CLOEXEC keeps it out of programs this process starts.
struct HeldDebugLog {
    int descriptor = -1;
    dev_t device = 0;
    ino_t inode = 0;
};
constinit HeldDebugLog gDebugLog;

void DropDebugLog() {
    if (gDebugLog.descriptor >= 0)
        close(gDebugLog.descriptor);
    gDebugLog.descriptor = -1;
}

// True when the held descriptor is the file the name referred to in that stat.
bool DebugLogIs(const struct stat& named) {
    return gDebugLog.descriptor >= 0 && named.st_dev == gDebugLog.device &&
           named.st_ino == gDebugLog.inode;
}

// Hands the whole text to the kernel; a short write (a full disk) is continued so that a
// line is never left cut in the middle by this process.
void WriteAll(int descriptor, const std::string& text) {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(descriptor, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;  // the rest is lost; logging never fails its caller
        data += written;
        left -= static_cast<size_t>(written);
    }
}

// Opens "log.txt" with the given extra flags and holds it; no descriptor on failure.
void HoldDebugLog(int flags) {
    DropDebugLog();
    const int descriptor =
        open(kDebugLogName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | flags, 0666);
    if (descriptor < 0)
        return;
    struct stat opened {};
    if (fstat(descriptor, &opened) != 0) {
        close(descriptor);
        return;
    }
    gDebugLog.descriptor = descriptor;
    gDebugLog.device = opened.st_dev;
    gDebugLog.inode = opened.st_ino;
}

void CreateDebugLogWithHeader() {
    HoldDebugLog(O_TRUNC);
    if (gDebugLog.descriptor < 0)
        return;
    std::string header = kDebugLogHeaderStart;
    AppendDateTimeStamp(header);
    header += kDebugLogHeaderEnd;
    WriteAll(gDebugLog.descriptor, header);
}

std::string ExpandArguments(const char* format, va_list args) {
    VaListLogArguments arguments(args);
    std::string text;
    ExpandLogFormat(format != nullptr ? format : "", arguments, text);
    return text;
}

void AppendLine(const char* fileName, const char* format, va_list args) {
    const std::string text = ExpandArguments(format, args);
    FILE* file = std::fopen(fileName, "a");
    if (file == nullptr)
        return;  // the line is lost; logging never fails its caller
    WriteText(file, text);
    std::fclose(file);
}

// Splits "dir/base.ext" into base and ".ext" (both cut to 255 characters).
void SplitFileName(const char* path, std::string& base, std::string& extension) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\' || *p == ':')
            name = p + 1;
    }
    const char* dot = std::strrchr(name, '.');
    base.assign(name, dot != nullptr ? dot : name + std::strlen(name));
    extension.assign(dot != nullptr ? dot : "");
    if (base.size() > 255)
        base.resize(255);
    if (extension.size() > 255)
        extension.resize(255);
}

}  // namespace

void ExpandLogFormat(const char* format, LogArguments& args, std::string& out) {
    char number[16];
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char directive = *++p;
        if (directive == '\0')
            break;  // a lone "%" at the end writes nothing
        switch (directive) {
            case 'd':
                std::snprintf(number, sizeof number, "%d", args.NextInt());
                out += number;
                break;
            case 'x':
                std::snprintf(number, sizeof number, "%x", static_cast<unsigned>(args.NextInt()));
                out += number;
                break;
            case 'X':
                std::snprintf(number, sizeof number, "%X", static_cast<unsigned>(args.NextInt()));
                out += number;
                break;
            case 's': {
                const char* text = args.NextString();
                AppendWithoutLineBreaks(out, text != nullptr ? text : "NULL");
                break;
            }
            case 't':
                AppendDateTimeStamp(out);
                break;
            case 'T':
                AppendTimeStamp(out);
                break;
            case 'w':
                out += GetErrorText(args.NextInt());
                break;
            case 'W': {
                const int code = args.NextInt();
                std::snprintf(number, sizeof number, "%d", code);
                out += number;
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

void WriteDateTimeStamp(FILE* file) {
    std::string text;
    AppendDateTimeStamp(text);
    WriteText(file, text);
}

void WriteTimeStamp(FILE* file) {
    std::string text;
    AppendTimeStamp(text);
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
    SplitFileName(path, base, extension);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "(%d)", number);
    return base + suffix + extension;
}

void CopyToNumberedFile(const char* path) {
    int number = 1;
    std::string name = MakeNumberedName(path, number);
    while (FileExists(name.c_str())) name = MakeNumberedName(path, ++number);
    CopyFileA(path, name.c_str(), TRUE);
}

void OpenDebugLog() {
    MutexHandleLock lock(LogMutex());
    struct stat named {};
    if (stat(kDebugLogName, &named) != 0) {
        CreateDebugLogWithHeader();
        return;
    }
    if (static_cast<unsigned long long>(named.st_size) > kDebugLogLimit) {
        DropDebugLog();
        CopyToNumberedFile(kDebugLogName);
        CreateDebugLogWithHeader();
        return;
    }
    if (!DebugLogIs(named))
        HoldDebugLog(0);
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

void DebugLogPrintf(const char* format, ...) {
    MutexHandleLock lock(LogMutex());
    OpenDebugLog();
    if (gDebugLog.descriptor < 0)
        return;  // the line is lost; logging never fails its caller
    va_list args;
    va_start(args, format);
    const std::string text = ExpandArguments(format, args);
    va_end(args);
    WriteAll(gDebugLog.descriptor, text);
}

void ErrorLogPrintf(const char* format, ...) {
    MutexHandleLock lock(LogMutex());
    OpenErrorLog();
    va_list args;
    va_start(args, format);
    AppendLine(kErrorLogName, format, args);
    va_end(args);
}
