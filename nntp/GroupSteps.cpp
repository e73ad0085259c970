// Group selection: make sure the server has the job's newsgroup selected before a job sends
// its command. GROUP goes out only when the group is not already selected; its 211 reply sets
// "article" to the group's last article number, from which the article loop counts down.
#include <cstdio>
#include <cstdlib>

#include "nntp/NNTPSocket.h"
#include "nntp/ReplyCodes.h"

using nntp_reply::DemandsAuthentication;
using nntp_reply::FitsCommandBuffer;
using nntp_reply::IsDecimalDigit;

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
        DelayThen(std::atoi(GetConnectionOption("ErrorDelay", "30").c_str()),
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
    SendCommand(command, kStateGroupSent);
    CallSequence(&CNNTPSocket::WaitForData, &CNNTPSocket::SelectGroup3);
}

void CNNTPSocket::SelectGroup3() {
    if (StepSucceeded != 1) {
        SelectedGroup = kNoGroupSelected;
        ResetConnection();
        NntpTrace("%T: SelectGroup3(): No response received after GROUP command. Retrying.\n");
        DelayThen(std::atoi(GetConnectionOption("ErrorDelay", "").c_str()),
                  &CNNTPSocket::SelectGroup1);
        return;
    }
    const char* line = ReadLine();
    if (line == nullptr) {
        CallSequence(&CNNTPSocket::WaitForData, &CNNTPSocket::SelectGroup3);
        return;
    }
    NntpTrace("%T: Response: %s\n", line);

    if (DemandsAuthentication(line)) {
        SelectedGroup = kNoGroupSelected;
        NntpTrace("%T: Authorization required... Sending name and password.\n");
        AuthResendFn = &CNNTPSocket::SelectGroup1;
        CallSequence(&CNNTPSocket::Auth1, &CNNTPSocket::CommonAuthHandler);
        return;
    }

    if (line[0] == '2') {
        NntpTrace("%T: SelectGroup3(): Newsgroup entered successfully.\n");
        // Fields the reply lacks keep their previous values.
        std::sscanf(line, "%*d %d %d %d", &GroupCount, &GroupFirst, &GroupLast);
        Settings.SetInt("article", GroupLast);
        SelectedGroup = WantedGroup;
        NntpTrace("%T: SelectGroup3(): Currently selected group set to \"%s\"\n",
                  SelectedGroup.c_str());
        ConnectionState = kStateIdle;
        ReturnSuccess();
        return;
    }

    SelectedGroup = kNoGroupSelected;
    if (!IsDecimalDigit(line[0])) {
        // Not a status line: we have lost our place in the server's replies.
        ErrorLogPrintf("%T: Group3(): Note: Out of Synch!!!\n");
        ResetConnection();
        ReturnFailure();
        return;
    }
    NntpTrace("%T: SelectGroup3(): Server returned an error.  Failing.\n");
    ConnectionState = kStateIdle;
    ReturnFailure();
}
