// Adds fuzzed rows to a small status list: a row never exceeds its 4093 characters, the
// list never holds more than RowLimit rows, and the row count stays in step.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "platform/Time.h"
#include "support/ErrorText.h"

namespace {

class CountingControl : public StatusListControl {
public:
    void DeleteRow(int index) override {
        if (index < 0 || index >= static_cast<int>(rows.size()))
            std::abort();
        rows.erase(rows.begin() + index);
    }
    void InsertRow(int index, const char* text) override {
        const std::size_t at = std::min(static_cast<std::size_t>(index), rows.size());
        rows.insert(rows.begin() + at, text);
    }
    int GetRowCount() override { return static_cast<int>(rows.size()); }
    void EnsureVisible(int index) override {
        if (index != static_cast<int>(rows.size()) - 1)
            std::abort();
    }
    std::vector<std::string> rows;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A frozen clock: no row is ever slow, so nothing is written to the error log.
    platform::InstallTestClock(platform::kFileTimeUnixEpoch);
    static CountingControl control;
    static StatusList list;
    list.Window = &control;
    list.RowLimit = 4;
    FuzzInput input(data, size);
    if (!StatusListPrintfArgs(&list, input.Format(), input))
        std::abort();
    if (std::strlen(list.Row) > static_cast<std::size_t>(kStatusRowMaxLength))
        std::abort();
    if (list.RowCount > list.RowLimit || control.GetRowCount() != list.RowCount)
        std::abort();
    if (control.rows.back() != list.Row)
        std::abort();
    return 0;
}
