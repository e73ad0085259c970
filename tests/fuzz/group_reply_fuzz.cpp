// Arbitrary replies to GROUP, handed to the step that reads them. A 2xx reply is accepted
// exactly when it carries three decimal numbers within 0 .. 2^31 - 1 with the last not below
// the first, unless the count is 0 (an empty group, "211 0 1 0"); then the connection holds those numbers and counts down from the last. Any other
// reply fails the step. Checked against a reading of the reply made here, independently.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nntp/NNTPSocket.h"
#include "platform/windows.h"
#include "tests/common/NNTPSocketTestAccess.h"

using Access = NNTPSocketTestAccess;
using Steps = NNTPSocketTestAccess::Steps;

namespace {

constexpr std::int64_t kSecond = 10000000;  // 100-ns system time units

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool EndsNumber(char c) {
    return IsBlank(c) || c == '\r' || c == '\n' || c == '\0';
}

// The three numbers after the status code, or false when the reply does not carry them.
bool ExpectedNumbers(const char* line, std::int64_t numbers[3]) {
    const char* text = line;
    while (*text >= '0' && *text <= '9') ++text;
    for (int field = 0; field < 3; ++field) {
        while (IsBlank(*text)) ++text;
        if (!(*text >= '0' && *text <= '9'))
            return false;
        std::int64_t value = 0;
        while (*text >= '0' && *text <= '9') {
            value = value * 10 + (*text++ - '0');
            if (value > INT32_MAX)
                return false;
        }
        if (!EndsNumber(*text))
            return false;
        numbers[field] = value;
    }
    return numbers[2] >= numbers[1] || numbers[0] == 0;
}

struct Harness {
    Harness() {
        WSADATA data;
        WSAStartup(0x0202, &data);
        platform::InstallTestClock(platform::kFileTimeUnixEpoch + 1796656960LL * kSecond);
        root.SetString("news_server", "127.0.0.1");
        VerboseLog = false;  // a trace line per step would cost a file write per input
    }
    SettingsStore root;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness harness;
    // A demand for login leads into the login steps, which read further lines: not the
    // reply looked at here.
    if (size >= kReceiveBufferSize ||
        (size >= 3 && (std::memcmp(data, "480", 3) == 0 || std::memcmp(data, "450", 3) == 0)))
        return 0;
    CNNTPSocket connection;
    connection.Settings.SetParent(&harness.root);
    Access::SetGroupName(connection, "alt.binaries.test");
    Access::SetGroupFigures(connection, 11, 22, 33);
    connection.Settings.SetInt("article", 44);
    Access::Feed(connection, data, size);

    // The GROUP command has gone out and its reply is here.
    Access::PutInState(connection, kStateGroupSent);
    Access::SetStepSucceeded(connection, 1);
    Access::CallSequence(connection, Steps::SelectGroup3, Steps::Callback);

    // Without a line feed the line is unfinished: the step keeps it and waits for more.
    const bool readALine = std::memchr(data, '\n', size) != nullptr;
    const char* line = Access::LineBuffer(connection);
    if (!readALine || line[0] != '2') {
        // No complete line yet (the step waits), or a reply that is no success.
        Check(!readALine || Access::SelectedGroup(connection) != Access::WantedGroup(connection));
        connection.ResetConnection();
        return 0;
    }
    std::int64_t expected[3] = {0, 0, 0};
    if (ExpectedNumbers(line, expected)) {
        Check(Access::StepSucceeded(connection) == 1);
        Check(Access::SelectedGroup(connection) == Access::WantedGroup(connection));
        Check(Access::GroupCount(connection) == expected[0]);
        Check(Access::GroupFirst(connection) == expected[1]);
        Check(Access::GroupLast(connection) == expected[2]);
        Check(connection.Settings.GetInt("article", -1, false) == expected[2]);
    } else {
        Check(Access::StepSucceeded(connection) == 0);
        Check(Access::SelectedGroup(connection) != Access::WantedGroup(connection));
        Check(connection.Settings.GetInt("article", -1, false) == 44);
    }
    Check(Access::ReturnStack(connection).empty());
    connection.ResetConnection();
    return 0;
}
