// The two logs. Each line: take LogMutex, make sure the file exists (rotating the trace
// log past its limit), append the expanded format, close. Nothing stays open between lines.
#include "support/Log.h"

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

void AppendLine(const char* fileName, const char* format, va_list args) {
    VaListLogArguments arguments(args);
    std::string text;
    ExpandLogFormat(format != nullptr ? format : "", arguments, text);
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
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(kDebugLogName, &found);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        if (found.nFileSizeHigh == 0 && found.nFileSizeLow <= kDebugLogLimit)
            return;
        CopyToNumberedFile(kDebugLogName);
    }
    FILE* file = std::fopen(kDebugLogName, "w");
    if (file == nullptr)
        return;
    std::string header = kDebugLogHeaderStart;
    AppendDateTimeStamp(header);
    header += kDebugLogHeaderEnd;
    WriteText(file, header);
    std::fclose(file);
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
    va_list args;
    va_start(args, format);
    AppendLine(kDebugLogName, format, args);
    va_end(args);
}

void ErrorLogPrintf(const char* format, ...) {
    MutexHandleLock lock(LogMutex());
    OpenErrorLog();
    va_list args;
    va_start(args, format);
    AppendLine(kErrorLogName, format, args);
    va_end(args);
}
