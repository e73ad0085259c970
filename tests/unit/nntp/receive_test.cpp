// The receive path: what one read notification reads, how lines are cut out of the buffer
// (and across receives), and what a reset keeps. Bytes come from a raw loopback peer, so each
// test decides exactly which bytes arrive in which piece.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "AllocationCount.h"
#include "ConnectionFixture.h"
#include "common/NNTPSocketTestAccess.h"
#include "common/RawPeer.h"

using Access = NNTPSocketTestAccess;
using Steps = NNTPSocketTestAccess::Steps;

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StrEq;

class ReceiveProbeSocket : public CNNTPSocket {
public:
    void StepA() { Ran.push_back("A" + std::to_string(Access::StepSucceeded(*this))); }
    void StepB() { Ran.push_back("B" + std::to_string(Access::StepSucceeded(*this))); }
    static StepFn A() { return static_cast<StepFn>(&ReceiveProbeSocket::StepA); }
    static StepFn B() { return static_cast<StepFn>(&ReceiveProbeSocket::StepB); }
    // Records nothing that allocates.
    void StepCount() { ++Counted; }
    static StepFn Count() { return static_cast<StepFn>(&ReceiveProbeSocket::StepCount); }
    int Counted = 0;

    void PutInBuffer(const std::string& bytes) {
        NNTPSocketTestAccess::Feed(*this, bytes.data(), bytes.size());
    }
    std::string Line() {
        const char* line = Access::ReadLine(*this);
        return line == nullptr ? "<none>" : line;
    }

    std::vector<std::string> Ran;
};

class ReceiveTest : public ::testing::Test {
protected:
    void TearDown() override {
        VerboseLog = true;
        allocation_count::counting = false;
    }

    // Connects the probe to the raw peer, as Connect3/Connect4 would, and leaves it waiting
    // for nothing.
    void ConnectToPeer() {
        ASSERT_TRUE(Peer.Listening());
        Probe.Create(0, SOCK_STREAM, BaseSocket::kAllEvents, "");
        Access::PutInState(Probe, kStateConnecting);
        Access::SetReturnStack(Probe, {ReceiveProbeSocket::B()});
        ASSERT_TRUE(Probe.Connect("127.0.0.1", Peer.Port(), "", 0, "", ""));
        ASSERT_TRUE(Peer.Accept());
        ASSERT_TRUE(PumpUntil([&] { return !Probe.Ran.empty(); }));
        ASSERT_THAT(Probe.Ran, ElementsAre("B1"));
        Probe.Ran.clear();
        Access::PutInState(Probe, kStateAwaitingGreeting);
    }

    void WaitThenA() { Access::CallSequence(Probe, Steps::WaitForData, ReceiveProbeSocket::A()); }

    bool PumpUntilRan(std::size_t steps) {
        return PumpUntil([&] { return Probe.Ran.size() >= steps; });
    }

    std::string TraceLog() const { return ReadWholeFile(WorkDir.Path() / "log.txt"); }
    std::string ErrorLog() const {
        return ReadWholeFile(WorkDir.Path() / "errorlog.txt");
    }

    LeakCheck Leaks;  // first: destroyed last, after everything below
    TempWorkingDir WorkDir;
    TestClock Clock;
    SocketLibrary Winsock;
    RawPeer Peer;
    ReceiveProbeSocket Probe;
};

// --- lines out of the buffer ------------------------------------------------------------------

TEST_F(ReceiveTest, LinesComeOutWholeAndInOrderWithTheirLineEnds) {
    Probe.PutInBuffer("200 first\r\n211 second\r\npartial");
    EXPECT_EQ(Probe.Line(), "200 first\r\n");
    EXPECT_EQ(Probe.Line(), "211 second\r\n");
    EXPECT_EQ(Probe.Line(), "<none>");
    // The unfinished line is kept and continued by the next bytes.
    Probe.PutInBuffer(" end\n");
    EXPECT_EQ(Probe.Line(), "partial end\n");
}

TEST_F(ReceiveTest, OnlyLineFeedEndsALine) {
    Probe.PutInBuffer("a\rb\r\n\n.\r\n");
    EXPECT_EQ(Probe.Line(), "a\rb\r\n");
    EXPECT_EQ(Probe.Line(), "\n");
    EXPECT_EQ(Probe.Line(), ".\r\n");
}

TEST_F(ReceiveTest, LongLinesAreCutAt1021BytesAndTheNextLineIsIntact) {
    const std::string fits(1019, 'x');
    Probe.PutInBuffer(fits + "\r\n");
    EXPECT_EQ(Probe.Line(), fits + "\r\n");

    const std::string exact(1021, 'y');
    Probe.PutInBuffer(exact + "\r\n");
    EXPECT_EQ(Probe.Line(), exact);  // CR and LF were beyond the limit

    const std::string huge(9000, 'z');
    Probe.PutInBuffer(huge + "\r\n" + "223 next\r\n");
    EXPECT_EQ(Probe.Line(), std::string(1021, 'z'));
    EXPECT_EQ(Probe.Line(), "223 next\r\n");

    // The limit holds across receives, however long the line.
    for (int piece = 0; piece < 5; ++piece) {
        Probe.PutInBuffer(std::string(kReceiveBufferSize, 'q'));
        EXPECT_EQ(Probe.Line(), "<none>");
        EXPECT_LE(Access::LineLength(Probe), kMaxLineLength);
    }
    Probe.PutInBuffer("\n");
    EXPECT_EQ(Probe.Line(), std::string(1021, 'q'));
}

// --- the read notification ---------------------------------------------------------------------

TEST_F(ReceiveTest, OneReceiveResumesTheWaitingStepAndCountsItsBytes) {
    ConnectToPeer();
    WaitThenA();
    ASSERT_TRUE(Peer.Write("200 first\r\n211 second\r\n"));
    ASSERT_TRUE(PumpUntilRan(1));
    EXPECT_THAT(Probe.Ran, ElementsAre("A1"));
    EXPECT_EQ(Access::BytesSinceTick(Probe), 23);
    EXPECT_EQ(Probe.Line(), "200 first\r\n");
    EXPECT_EQ(Probe.Line(), "211 second\r\n");
    EXPECT_EQ(Probe.Line(), "<none>");
    const std::string log = TraceLog();
    EXPECT_THAT(log, HasSubstr("OnReceive: 23 bytes read."));
    EXPECT_THAT(log, HasSubstr("OnReceive: Returning Success."));
}

TEST_F(ReceiveTest, LineSplitOverTwoReceivesIsReturnedWhole) {
    ConnectToPeer();
    WaitThenA();
    ASSERT_TRUE(Peer.Write("211 12 1 1"));
    ASSERT_TRUE(PumpUntilRan(1));
    EXPECT_EQ(Probe.Line(), "<none>");
    Access::CallSequence(Probe, Steps::WaitForData, ReceiveProbeSocket::B());
    EXPECT_TRUE(Access::IsWaitingForData(Probe));
    ASSERT_TRUE(Peer.Write("2 alt.binaries.test\r\n"));
    ASSERT_TRUE(PumpUntilRan(2));
    EXPECT_THAT(Probe.Ran, ElementsAre("A1", "B1"));
    EXPECT_EQ(Probe.Line(), "211 12 1 12 alt.binaries.test\r\n");
}

TEST_F(ReceiveTest, NotificationWhileLinesAreBufferedDefersTheReadToReadLine) {
    ConnectToPeer();
    WaitThenA();
    ASSERT_TRUE(Peer.Write("200 first\r\n"));
    ASSERT_TRUE(PumpUntilRan(1));
    ASSERT_TRUE(Peer.Write("211 second\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return Access::IsUnreadData(Probe); }));
    EXPECT_EQ(Access::BytesSinceTick(Probe), 11);  // the socket was not read
    EXPECT_THAT(TraceLog(), HasSubstr("OnReceive: Buf already contains data."));

    EXPECT_EQ(Probe.Line(), "200 first\r\n");
    EXPECT_EQ(Probe.Line(), "211 second\r\n");  // read by ReadLine itself
    EXPECT_FALSE(Access::IsUnreadData(Probe));
    EXPECT_EQ(Access::BytesSinceTick(Probe), 11);  // reads made by ReadLine are not counted
}

TEST_F(ReceiveTest, BytesArrivingDuringADelayAreKeptForTheNextWait) {
    ConnectToPeer();
    Access::DelayThen(Probe, 30, ReceiveProbeSocket::B());
    ASSERT_TRUE(Peer.Write("200 early\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return Access::IsUnreadData(Probe); }));
    EXPECT_THAT(Probe.Ran, IsEmpty());
    EXPECT_THAT(TraceLog(), HasSubstr("OnReceive: Not waiting.  Setting IsUnreadDaya."));

    Access::SetReturnStack(Probe, {});
    Access::DropWaits(Probe);
    WaitThenA();
    EXPECT_THAT(Probe.Ran, ElementsAre("A1"));  // at once, nested
    EXPECT_FALSE(Access::IsWaitingForData(Probe));
    EXPECT_EQ(Probe.Line(), "200 early\r\n");
}

TEST_F(ReceiveTest, PeerCloseWhileWaitingFailsTheWait) {
    ConnectToPeer();
    WaitThenA();
    Peer.Close();
    // The read notification is handed over before the close notification is dispatched:
    // the read finds the end of the stream.
    Probe.OnReceive(0);
    EXPECT_THAT(Probe.Ran, ElementsAre("A0"));
    EXPECT_THAT(TraceLog(), HasSubstr("OnReceive: Returning failure. because 0 bytes read."));
}

TEST_F(ReceiveTest, ErrorNotificationIsLoggedTwiceAndFailsOnlyAWaitingStep) {
    Probe.OnReceive(10054);
    EXPECT_THAT(Probe.Ran, IsEmpty());
    EXPECT_EQ(Access::ConnectionState(Probe), kStateNoConnection);
    EXPECT_THAT(TraceLog(), HasSubstr("OnReceive: Error 10054"));
    EXPECT_THAT(ErrorLog(), HasSubstr("OnReceive: Error 10054"));

    VerboseLog = false;
    WaitThenA();
    Probe.OnReceive(10053);
    EXPECT_THAT(Probe.Ran, ElementsAre("A0"));
    EXPECT_FALSE(Access::IsWaitingForData(Probe));
    EXPECT_THAT(ErrorLog(), HasSubstr("OnReceive: Error 10053"));  // whatever VerboseLog says
    EXPECT_THAT(TraceLog(), ::testing::Not(HasSubstr("Error 10053")));
}

TEST_F(ReceiveTest, FailedReadResumesTheWaitWithSuccessAndNoLine) {
    WaitThenA();
    Probe.OnReceive(0);  // no socket: the read fails
    EXPECT_THAT(Probe.Ran, ElementsAre("A1"));
    EXPECT_EQ(Probe.Line(), "<none>");
    EXPECT_EQ(Access::BytesSinceTick(Probe), 0);
}

// --- state and reset ----------------------------------------------------------------------------

TEST_F(ReceiveTest, OnlyStateZeroForgetsTheSelectedGroup) {
    Access::SelectGroup(Probe, "alt.binaries.test");
    Access::PutInState(Probe, kStateIdle);
    Access::SetState(Probe, kStateGroupSent);
    EXPECT_EQ(Access::SelectedGroup(Probe), "alt.binaries.test");
    Access::SetState(Probe, kStateIdle);
    EXPECT_EQ(Access::SelectedGroup(Probe), "alt.binaries.test");
    Access::SetState(Probe, kStateNoConnection);
    EXPECT_THAT(Access::SelectedGroup(Probe), IsEmpty());
}

TEST_F(ReceiveTest, ResetDeletesTheArticleFileAndKeepsMachineAndBuffer) {
    ConnectToPeer();
    ASSERT_TRUE(Access::OpenArticleFile(Probe, "41.tmp", "Subject: x\r\n"));
    Probe.PutInBuffer("223 pending\r\n");
    Access::SetPartialLine(Probe, "abc", 3);
    Access::PutInState(Probe, kStateHeadText);
    Access::DelayThen(Probe, 10, ReceiveProbeSocket::A());

    Probe.ResetConnection();

    EXPECT_EQ(Probe.GetSocketHandle(), INVALID_SOCKET);
    EXPECT_EQ(Access::ConnectionState(Probe), kStateNoConnection);
    EXPECT_FALSE(Access::IsArticleFileOpen(Probe));
    EXPECT_FALSE(std::filesystem::exists(WorkDir.Path() / "41.tmp"));
    EXPECT_TRUE(Access::IsDelaying(Probe));
    EXPECT_THAT(Access::ReturnStack(Probe), ElementsAre(ReceiveProbeSocket::A()));
    EXPECT_EQ(Probe.Line(), "abc223 pending\r\n");
}

// --- cost ---------------------------------------------------------------------------------------

TEST_F(ReceiveTest, ReadingAndCuttingLinesAllocatesNothing) {
    ConnectToPeer();
    VerboseLog = false;  // trace formatting is the log's business, not the receive path's
    std::size_t lines = 0;
    std::size_t expectedLines = 0;
    for (int round = 0; round < 10; ++round) {
        std::string burst;  // small enough to sit in the socket buffers unread
        for (int line = 0; line < 300; ++line) {
            burst +=
                "body line " + std::to_string(line) + " of round " + std::to_string(round) + "\r\n";
        }
        expectedLines += 300;
        ASSERT_TRUE(Peer.Write(burst));

        // The notifications are handed to OnReceive directly, so that only the receive path
        // is measured and not the message loop that delivers them. The first round is not
        // counted: in it the socket layer takes its read-ahead storage, once per process.
        allocation_count::counting = round > 0;
        for (int attempt = 0; lines < expectedLines && attempt < 100000; ++attempt) {
            Access::CallSequence(Probe, Steps::WaitForData, ReceiveProbeSocket::Count());
            if (Access::IsWaitingForData(Probe)) {
                Probe.OnReceive(0);
            }
            while (Access::ReadLine(Probe) != nullptr) {
                ++lines;
            }
        }
        allocation_count::counting = false;
    }
    EXPECT_EQ(lines, expectedLines);
    EXPECT_EQ(allocation_count::allocations, 0u);
}

}  // namespace
