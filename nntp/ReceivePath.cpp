// The receive side of a connection: one buffer-full per read notification, lines taken out of
// it one at a time, and the record of which command is outstanding. Nothing here allocates:
// both buffers are members of the connection.
#include <algorithm>
#include <cstring>

#include "nntp/NNTPSocket.h"

void CNNTPSocket::OnReceive(int error) {
    NntpTrace("%T: OnReceive(): Thread Handle: %d\n", ThreadIdForTrace());
    NntpTrace("%T: OnReceive called.\n");

    if (error != 0) {
        NntpTrace("%T: OnReceive: Error %d\n", error);
        ErrorLogPrintf("%T: OnReceive: Error %d\n", error);
        if (IsWaitingForData) {
            IsWaitingForData = false;
            ReturnFailure();
        }
        return;
    }

    if (ReadPos != DataEnd) {
        // The steps have not taken what is buffered yet; ReadLine reads the socket again once
        // they have.
        NntpTrace("%T: OnReceive: Buf already contains data.\n");
        IsUnreadData = true;
        return;
    }

    const int received = FillBuffer();
    NntpTrace("%T: OnReceive: %d bytes read.\n", received);
    if (received > 0) {
        BytesSinceTick += received;
        if (Monitor != nullptr) {
            Monitor->AddBytes(static_cast<std::uint64_t>(received));
        }
    }

    if (received == 0) {
        if (IsWaitingForData) {
            IsWaitingForData = false;
            NntpTrace("%T: OnReceive: Returning failure. because 0 bytes read.\n");
            ReturnFailure();
        }
        return;
    }

    // Bytes, or a failed read: a waiting step that then finds no line simply waits again.
    if (IsWaitingForData) {
        IsWaitingForData = false;
        NntpTrace("%T: OnReceive: Returning Success.\n");
        ReturnSuccess();
    } else {
        NntpTrace("%T: OnReceive: Not waiting.  Setting IsUnreadDaya.\n");
        IsUnreadData = true;
    }
}

int CNNTPSocket::FillBuffer() {
    IsUnreadData = false;
    ReadPos = DataEnd = ReceiveBuffer;
    const int received = Receive(ReceiveBuffer, static_cast<int>(kReceiveBufferSize), 0);
    if (received > 0) {
        DataEnd = ReceiveBuffer + received;
    }
    return received;
}

char* CNNTPSocket::ReadLine() {
    for (;;) {
        // The line feed is searched for and the line copied in one piece rather than byte by
        // byte: at full speed every received byte passes through here.
        while (ReadPos != DataEnd) {
            const std::size_t available = static_cast<std::size_t>(DataEnd - ReadPos);
            const char* lineFeed = static_cast<const char*>(std::memchr(ReadPos, '\n', available));
            const std::size_t taken =
                lineFeed == nullptr ? available : static_cast<std::size_t>(lineFeed - ReadPos) + 1;
            // Bytes beyond the 1021st of a line are dropped, its line feed among them.
            const std::size_t kept = std::min<std::size_t>(taken, kMaxLineLength - LineLength);
            std::memcpy(LineBuffer + LineLength, ReadPos, kept);
            LineLength += static_cast<std::uint32_t>(kept);
            ReadPos += taken;
            if (lineFeed != nullptr) {
                LineBuffer[LineLength] = '\0';
                LineLength = 0;
                return LineBuffer;
            }
        }
        if (!IsUnreadData) {
            return nullptr;  // an unfinished line stays in LineBuffer for the next call
        }
        FillBuffer();
    }
}

const char* CNNTPSocket::ReadLineOrWait(StepFn step) {
    const char* line = ReadLine();
    if (line == nullptr) {
        CallSequence(&CNNTPSocket::WaitForData, step);
    }
    return line;
}

bool CNNTPSocket::IsStateChangeAllowed(std::int32_t from, std::int32_t to) {
    switch (to) {
        case kStateNoConnection:
            return true;
        case kStateConnecting:
            return from == kStateNoConnection || from == kStateConnecting;
        case kStateAwaitingGreeting:
            return from == kStateConnecting;
        case kStateIdle:
            return from >= kStateAwaitingGreeting;
        case kStateGroupSent:
        case kStateUserSent:
        case kStatePassSent:
        case kStateXoverSent:
        case kStateHeadSent:
        case kStateBodySent:
            return from >= kStateIdle;
        case kStateXoverText:
            return from == kStateXoverSent;
        case kStateHeadText:
            return from == kStateHeadSent;
        case kStateBodyText:
            return from == kStateBodySent;
        default:
            return false;
    }
}

void CNNTPSocket::SetState(std::int32_t value) {
    ZODIVA_ASSERT_MSG(IsStateChangeAllowed(ConnectionState, value),
                      "the connection's state cannot change this way");
    ConnectionState = value;
    if (value == kStateNoConnection) {
        SelectedGroup.clear();
    }
}

void CNNTPSocket::ResetConnection() {
    Close();
    SetState(kStateNoConnection);
    PublishActivity(ConnectionActivity::kNotConnected);
    // A reset in the middle of an article leaves no partial file behind.
    OutputFile.Close();
    OutputFile.Delete();
}
