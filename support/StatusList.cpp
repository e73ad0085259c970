// Rows of a status list: composed into the fixed Row buffer, added at the bottom, the
// oldest dropped once RowLimit rows are shown, and a slow row reported in the error log.
#include <cstdio>

#include "platform/Time.h"
#include "support/ControlBytes.h"
#include "support/ErrorText.h"
#include "support/Log.h"

bool StatusListEnabled = true;

namespace {

// Report a row that took longer than this many hundredths of a second.
constexpr std::int64_t kSlowRowHundredths = 33;
constexpr std::int64_t kFileTimeUnitsPerHundredth = 100000;

class RowComposer {
public:
    explicit RowComposer(char* row) : m_row(row) {}

    void AddChar(char c) {
        if (m_position < kStatusRowMaxLength)
            m_row[m_position++] = c;
    }
    // Line breaks would split the row; they are dropped. Other control bytes (a server's
    // line may carry escape sequences) are shown as "\xNN" rather than passed to whoever
    // displays the row.
    void AddText(const char* text) {
        for (; *text != '\0'; ++text) {
            const auto c = static_cast<unsigned char>(*text);
            if (c == '\r' || c == '\n')
                continue;
            if (IsControlByte(c)) {
                char escaped[4];
                FormatControlByte(c, escaped);
                for (char e : escaped)
                    AddChar(e);
                continue;
            }
            AddChar(*text);
        }
    }
    void AddNumber(int value) {
        if (m_position >= kStatusRowNumberLimit)
            return;
        // At most 11 characters: the row stays within its 4093 characters.
        m_position += std::snprintf(m_row + m_position, kStatusRowSize - m_position, "%d", value);
    }
    void Finish() { m_row[m_position] = '\0'; }

private:
    char* m_row;
    int m_position = 0;
};

void ComposeRow(char* row, const char* format, LogArguments& args) {
    RowComposer composer(row);
    char scratch[1024];
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            composer.AddChar(*p);
            continue;
        }
        const char directive = *++p;
        if (directive == '\0')
            break;  // a lone "%" at the end adds nothing
        switch (directive) {
            case 'd':
                composer.AddNumber(args.NextInt());
                break;
            case 's': {
                const char* text = args.NextString();
                composer.AddText(text != nullptr ? text : "NULL");
                break;
            }
            case 'w':
                std::snprintf(scratch, sizeof scratch, "%s", GetErrorText(args.NextInt()));
                composer.AddText(scratch);
                break;
            case 'W': {
                const int code = args.NextInt();
                std::snprintf(scratch, sizeof scratch, "%d - %s", code, GetErrorText(code));
                composer.AddText(scratch);
                break;
            }
            default:
                composer.AddChar(directive);
                break;
        }
    }
    composer.Finish();
}

void ReportSlowRow(std::int64_t start, std::int64_t end) {
    // A clock set back while the row was added is no delay at all.
    const std::int64_t elapsed = end > start ? end - start : 0;
    const std::int64_t hundredths = elapsed / kFileTimeUnitsPerHundredth;
    const int seconds = static_cast<int>(hundredths / 100);
    const int fraction = static_cast<int>(hundredths % 100);
    if (seconds > 0 || fraction > kSlowRowHundredths)
        ErrorLogPrintf("%T: Log delay %d.%d secs.\n", seconds, fraction);
}

}  // namespace

bool StatusListPrintfArgs(StatusList* list, const char* format, LogArguments& args) {
    if (!StatusListEnabled || list == nullptr || list->Window == nullptr)
        return false;
    const std::int64_t start = platform::CurrentFileTime();
    ComposeRow(list->Row, format != nullptr ? format : "", args);
    if (list->RowCount == list->RowLimit)
        list->Window->DeleteRow(0);
    list->Window->InsertRow(list->RowCount, list->Row);
    list->Window->EnsureVisible(list->Window->GetRowCount() - 1);
    if (list->RowCount < list->RowLimit)
        ++list->RowCount;
    ReportSlowRow(start, platform::CurrentFileTime());
    return true;
}
