// Group selection: make sure the server has the job's newsgroup selected before a job sends
// its command. GROUP goes out only when the group is not already selected; its 211 reply sets
// "article" to the group's last article number, from which the article loop counts down.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "nntp/ConnectionOptionKeys.h"
#include "nntp/NNTPSocket.h"
#include "nntp/ReplyCodes.h"
#include "support/ControlBytes.h"

using nntp_reply::DemandsAuthentication;
using nntp_reply::FitsCommandBuffer;
using nntp_reply::IsDecimalDigit;

namespace {

// One number of a GROUP reply: decimal digits after blanks, within 0 .. 2^31 - 1. Moves
// `text` past it.
bool ParseArticleNumber(const char*& text, std::int32_t& value) {
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    if (!IsDecimalDigit(*text)) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno == ERANGE || parsed > INT32_MAX || (*end != ' ' && *end != '\t' && *end != '\r' &&
                                                  *end != '\n' && *end != '\0')) {
        return false;
    }
    value = static_cast<std::int32_t>(parsed);
    text = end;
    return true;
}

// "211 count first last group": the three numbers, or false when any of them is missing,
// no number, beyond 32 bits, or the last is below the first in a group said to hold articles.
// Such figures would send the walk to articles the group does not have (0, negative numbers,
// wrapped values). An empty group is written with a count of 0 and, usually, the last number
// one below the first ("211 0 1 0"): that is a group, not an error.
bool ParseGroupNumbers(const char* line, std::int32_t& count, std::int32_t& first,
                       std::int32_t& last) {
    const char* text = line;
    while (IsDecimalDigit(*text)) {
        ++text;  // the status code
    }
    std::int32_t c = 0;
    std::int32_t f = 0;
    std::int32_t l = 0;
    if (!ParseArticleNumber(text, c) || !ParseArticleNumber(text, f) ||
        !ParseArticleNumber(text, l) || (l < f && c > 0)) {
        return false;
    }
    count = c;
    first = f;
    last = l;
    return true;
}

}  // namespace

void CNNTPSocket::SelectGroup1() {
    NntpTrace("%T: SelectGroup1(): Entering newsgroup \"%s\" if necessary.\n", WantedGroup.c_str());
    NntpTrace("%T: Currently selected newsgroup is: \"%s\"\n", SelectedGroup.c_str());
    if (SelectedGroup == WantedGroup) {
        NntpTrace("%T: SelectGroup1(): Group already selected. Returning\n");
        ReturnSuccess();
        return;
    }
    CallSequence(&CNNTPSocket::GetToIdle, &CNNTPSocket::SelectGroup2);
}

void CNNTPSocket::SelectGroup2() {
    if (StepSucceeded != 1) {
        NntpTrace("%T: SelectGroup2: Failed to Idle. Retrying after error delay.\n");
        DelayThen(GetConnectionOptionSeconds(connection_options::kErrorDelay, "30"),
                  &CNNTPSocket::SelectGroup1);
        return;
    }
    if (!FitsCommandBuffer(WantedGroup)) {
        ErrorLogPrintf("%T: CNNTPSocket::SelectGroup2(): Newsgroup name is too long.\n");
        NntpTrace("%T: CNNTPSocket::SelectGroup2(): Newsgroup name is too long.\n");
        ReturnFailure();
        return;
    }
    char command[kCommandBufferSize];
    std::snprintf(command, sizeof command, "GROUP %s\r\n", WantedGroup.c_str());
    NntpTrace("%T: SelectGroup2(): Sending %s\n", command);
    SendCommandAndWait(command, kStateGroupSent, &CNNTPSocket::SelectGroup3);
}

void CNNTPSocket::SelectGroup3() {
    if (StepSucceeded != 1) {
        SelectedGroup = kNoGroupSelected;
        ResetConnection();
        NntpTrace("%T: SelectGroup3(): No response received after GROUP command. Retrying.\n");
        DelayThen(GetConnectionOptionSeconds(connection_options::kErrorDelay, ""),
                  &CNNTPSocket::SelectGroup1);
        return;
    }
    const char* line = ReadLineOrWait(&CNNTPSocket::SelectGroup3);
    if (line == nullptr) {
        return;
    }
    const PrintableLine printable(line);
    NntpTrace("%T: Response: %s\n", printable.c_str());
    NoteStatusLine(line, CommandKind::kGroup);

    if (DemandsAuthentication(line)) {
        SelectedGroup = kNoGroupSelected;
        NntpTrace("%T: Authorization required... Sending name and password.\n");
        AuthResendFn = &CNNTPSocket::SelectGroup1;
        CallSequence(&CNNTPSocket::Auth1, &CNNTPSocket::CommonAuthHandler);
        return;
    }

    if (line[0] == '2' && !ParseGroupNumbers(line, GroupCount, GroupFirst, GroupLast)) {
        // Taken as an error reply: the walk must not start from numbers it cannot trust.
        SelectedGroup = kNoGroupSelected;
        ErrorLogPrintf("%T: SelectGroup3(): Group reply without valid article numbers: %s\n",
                       printable.c_str());
        NntpTrace("%T: SelectGroup3(): Group reply without valid article numbers.  Failing.\n");
        CountFailure(FailureKind::kGroupRefused, ServerLineReason(line));
        ReportStatus("Group \"%s\" on server \"%s\" gave no usable article numbers: %s",
                     WantedGroup.c_str(), Settings.GetString(keys::kNewsServer).c_str(), line);
        SetState(kStateIdle);
        PublishActivity(ConnectionActivity::kIdle);
        ReturnFailure();
        return;
    }

    if (line[0] == '2') {
        NntpTrace("%T: SelectGroup3(): Newsgroup entered successfully.\n");
        Settings.SetInt(keys::kArticle, GroupLast);
        RoundArticles = 0;
        if (Monitor != nullptr && Monitor->MarkReachedGroup() && Download != nullptr) {
            Download->CountConnectionReachedGroup();
        }
        SelectedGroup = WantedGroup;
        NntpTrace("%T: SelectGroup3(): Currently selected group set to \"%s\"\n",
                  SelectedGroup.c_str());
        if (IsGroupEmpty()) {
            NoteEmptyGroup();
        }
        SetState(kStateIdle);
        PublishActivity(ConnectionActivity::kIdle);
        ReturnSuccess();
        return;
    }

    SelectedGroup = kNoGroupSelected;
    CountFailure(FailureKind::kGroupRefused, ServerLineReason(line));
    ReportStatus("Group \"%s\" refused by server \"%s\": %s", WantedGroup.c_str(),
                 Settings.GetString(keys::kNewsServer).c_str(), line);
    if (!IsDecimalDigit(line[0])) {
        // Not a status line: we have lost our place in the server's replies.
        ErrorLogPrintf("%T: Group3(): Note: Out of Synch!!!\n");
        ResetConnection();
        ReturnFailure();
        return;
    }
    NntpTrace("%T: SelectGroup3(): Server returned an error.  Failing.\n");
    SetState(kStateIdle);
    PublishActivity(ConnectionActivity::kIdle);
    ReturnFailure();
}

bool CNNTPSocket::IsGroupEmpty() const {
    return GroupCount == 0 || GroupLast < 1;
}

std::int32_t CNNTPSocket::LowestArticle() const {
    return GroupFirst > 1 ? GroupFirst : 1;
}

// Nothing to fetch yet; the article job asks again after "errordelay" (new articles may have
// arrived). The user is told once per connection, not at every new GROUP.
void CNNTPSocket::NoteEmptyGroup() {
    NntpTrace("%T: SelectGroup3(): Newsgroup \"%s\" is empty.\n", SelectedGroup.c_str());
    if (EmptyGroupReported) {
        return;
    }
    EmptyGroupReported = true;
    if (Download != nullptr) {
        Download->CountEmptyGroup();
    }
    ReportStatus("Group \"%s\" on server \"%s\" is empty.  Will ask again every %d seconds.",
                 SelectedGroup.c_str(), Settings.GetString(keys::kNewsServer).c_str(),
                 Settings.GetInt(keys::kErrorDelay));
}
