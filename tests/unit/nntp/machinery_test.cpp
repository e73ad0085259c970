// The step machinery of a connection: hand-on, returns, waits, delays and the tick, plus the
// connect/close notifications and the command trace. No network is needed here; steps of a
// probe subclass record when they run and with which result.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionFixture.h"
#include "common/NNTPSocketTestAccess.h"

using Access = NNTPSocketTestAccess;
using Steps = NNTPSocketTestAccess::Steps;

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class ProbeSocket : public CNNTPSocket {
public:
    // Each probe step records its name and the StepSucceeded it was entered with.
    void StepA() { Ran.push_back("A" + std::to_string(Access::StepSucceeded(*this))); }
    void StepB() { Ran.push_back("B" + std::to_string(Access::StepSucceeded(*this))); }
    void StepC() { Ran.push_back("C" + std::to_string(Access::StepSucceeded(*this))); }
    // Records how deep the stack was while it ran, then returns into its own continuation.
    void PassOn() {
        StackWhilePassing = Access::ReturnStack(*this).size();
        Access::Run(*this, Steps::ReturnSuccess);
    }

    // Hands on to itself through a return, never waiting, until it has run Limit times.
    void Again() {
        if (++Rounds < Limit) {
            Access::CallSequence(*this, Steps::ReturnSuccess,
                                 static_cast<StepFn>(&ProbeSocket::Again));
        }
    }
    int Rounds = 0;
    int Limit = 0;

    // Breaks the rule that a hand-on is a step's last action.
    void HandsOnTwice() {
        Access::GoToStep(*this, A());
        Access::GoToStep(*this, B());
    }

    static StepFn A() { return static_cast<StepFn>(&ProbeSocket::StepA); }
    static StepFn B() { return static_cast<StepFn>(&ProbeSocket::StepB); }
    static StepFn C() { return static_cast<StepFn>(&ProbeSocket::StepC); }
    static StepFn Pass() { return static_cast<StepFn>(&ProbeSocket::PassOn); }

    void PutInBuffer(const char* bytes) {
        const std::size_t length = std::strlen(bytes);
        NNTPSocketTestAccess::Feed(*this, bytes, length);
    }

    std::vector<std::string> Ran;
    std::size_t StackWhilePassing = 0;
};

class MachineryTest : public ::testing::Test {
protected:
    void TearDown() override { VerboseLog = true; }

    std::string TraceLog() const { return ReadWholeFile(WorkDir.Path() / "log.txt"); }
    std::string ErrorLog() const {
        return ReadWholeFile(WorkDir.Path() / "errorlog.txt");
    }

    void Tick(int seconds = 2) {
        Clock.AdvanceSeconds(seconds);
        Probe.OnTimer();
    }

    LeakCheck Leaks;  // first: destroyed last, after everything below
    TempWorkingDir WorkDir;
    TestClock Clock;
    ProbeSocket Probe;
};

// --- hand-on and returns -----------------------------------------------------------------

TEST_F(MachineryTest, ReturnsRunContinuationsLastPushedFirst) {
    Access::SetReturnStack(Probe, {ProbeSocket::A(), ProbeSocket::B()});
    Access::Run(Probe, Steps::ReturnFailure);
    Access::Run(Probe, Steps::ReturnSuccess);
    EXPECT_THAT(Probe.Ran, ElementsAre("B0", "A1"));
    EXPECT_THAT(Access::ReturnStack(Probe), IsEmpty());
}

TEST_F(MachineryTest, GoingToEndOfJobDropsEveryContinuationUnrun) {
    Access::SetReturnStack(Probe, {ProbeSocket::A(), ProbeSocket::B(), ProbeSocket::C()});
    EXPECT_TRUE(Access::GoToStep(Probe, Steps::EndOfJob));
    EXPECT_THAT(Access::ReturnStack(Probe), IsEmpty());
    EXPECT_THAT(Probe.Ran, IsEmpty());
}

TEST_F(MachineryTest, ReturnWithEmptyStackOnlyRecordsTheResult) {
    Access::SetStepSucceeded(Probe, 1);
    Access::Run(Probe, Steps::ReturnFailure);
    EXPECT_EQ(Access::StepSucceeded(Probe), 0);
    Access::Run(Probe, Steps::ReturnSuccess);
    EXPECT_EQ(Access::StepSucceeded(Probe), 1);
    EXPECT_THAT(Probe.Ran, IsEmpty());
    EXPECT_THAT(Access::ReturnStack(Probe), IsEmpty());
}

TEST_F(MachineryTest, SequenceIntoReturnSuccessRunsItsContinuationBeforeReturning) {
    Access::SetReturnStack(Probe, {ProbeSocket::C()});
    Access::CallSequence(Probe, Steps::ReturnSuccess, ProbeSocket::A());
    // Already ran, nested, and the stack is as it was before the call.
    EXPECT_THAT(Probe.Ran, ElementsAre("A1"));
    EXPECT_THAT(Access::ReturnStack(Probe), ElementsAre(ProbeSocket::C()));
}

TEST_F(MachineryTest, SequencePushesTheContinuationBeforeEnteringTheFirstStep) {
    Access::CallSequence(Probe, ProbeSocket::Pass(), ProbeSocket::B());
    EXPECT_EQ(Probe.StackWhilePassing, 1u);
    EXPECT_THAT(Probe.Ran, ElementsAre("B1"));
}

TEST_F(MachineryTest, EndlessChainsWithoutAWaitDoNotExhaustTheStack) {
    // A server that answers every command at once from one buffer full of replies drives
    // a chain like this; without a bound on nesting it ends in a stack overflow.
    Probe.Limit = 1000000;
    Access::SetReturnStack(Probe, {ProbeSocket::A()});
    Access::GoToStep(Probe, static_cast<StepFn>(&ProbeSocket::Again));
    EXPECT_EQ(Probe.Rounds, 1000000);
    EXPECT_THAT(Access::ReturnStack(Probe), ElementsAre(ProbeSocket::A()));  // balanced
    EXPECT_EQ(Access::StepDepth(Probe), 0);
    EXPECT_EQ(Access::DeferredStep(Probe), nullptr);
}

// A step that runs on after handing on would overtake the hand-on that the nesting cap
// deferred; a step that jumps to a state its command cannot lead to, or a tick on a thread
// other than the connection's, are caught the same way in checked builds.
TEST_F(MachineryTest, BrokenRulesOfTheMachineStopTheProgram) {
    if (!ZODIVA_ASSERTS_ENABLED)
        GTEST_SKIP() << "checks are compiled out in this build";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Access::SetStepDepth(Probe, CNNTPSocket::kMaxNestedSteps - 1);
    EXPECT_DEATH(Access::GoToStep(Probe, static_cast<StepFn>(&ProbeSocket::HandsOnTwice)),
                 "rule broken: DeferredStep == nullptr");
    Access::SetStepDepth(Probe, 0);

    EXPECT_DEATH(Access::SetState(Probe, kStateBodyText), "cannot change this way");
    Access::SetState(Probe, kStateConnecting);
    EXPECT_DEATH(Access::SetState(Probe, kStateGroupSent), "cannot change this way");
    EXPECT_DEATH(Access::SetState(Probe, kStateIdle), "cannot change this way");

    EXPECT_DEATH(std::thread([this] { Probe.OnTimer(); }).join(), "does not own it");
}

// --- delays --------------------------------------------------------------------------------

TEST_F(MachineryTest, DelayEndsAtTheFirstTickPastItsLengthInWholeSeconds) {
    Access::DelayThen(Probe, 30, ProbeSocket::A());
    EXPECT_TRUE(Access::IsDelaying(Probe));
    for (int tick = 0; tick < 15; ++tick) {  // 30 s: not yet more than 30
        Tick();
    }
    EXPECT_THAT(Probe.Ran, IsEmpty());
    Tick();  // 32 s
    EXPECT_THAT(Probe.Ran, ElementsAre("A1"));
    EXPECT_FALSE(Access::IsDelaying(Probe));

    // Whole seconds only: 30.999 s is not more than 30.
    Access::DelayThen(Probe, 30, ProbeSocket::B());
    Clock.AdvanceMilliseconds(30999);
    Probe.OnTimer();
    EXPECT_THAT(Probe.Ran, ElementsAre("A1"));
    Clock.AdvanceMilliseconds(1);
    Probe.OnTimer();
    EXPECT_THAT(Probe.Ran, ElementsAre("A1", "B1"));
}

TEST_F(MachineryTest, ZeroAndNegativeDelaysEndAtTheirFirstPossibleTick) {
    Access::DelayThen(Probe, 0, ProbeSocket::A());
    Probe.OnTimer();  // no time has passed: 0 is not more than 0
    EXPECT_THAT(Probe.Ran, IsEmpty());
    Tick(1);
    EXPECT_THAT(Probe.Ran, ElementsAre("A1"));

    Access::DelayThen(Probe, -5, ProbeSocket::B());
    Probe.OnTimer();
    EXPECT_THAT(Probe.Ran, ElementsAre("A1", "B1"));
}

TEST_F(MachineryTest, ClockSetBackEndsDelaysAndWaitsAtTheNextTick) {
    Access::DelayThen(Probe, 180, ProbeSocket::A());
    Clock.AdvanceSeconds(-3600);
    Probe.OnTimer();
    EXPECT_THAT(Probe.Ran, ElementsAre("A1"));

    Access::CallSequence(Probe, Steps::WaitForData, ProbeSocket::B());
    Clock.AdvanceSeconds(-3600);
    Probe.OnTimer();
    EXPECT_THAT(Probe.Ran, ElementsAre("A1", "B0"));
}

// --- waiting for data ---------------------------------------------------------------------

TEST_F(MachineryTest, WaitFailsAtTheFirstTickMoreThan180SecondsLater) {
    Access::CallSequence(Probe, Steps::WaitForData, ProbeSocket::A());
    EXPECT_TRUE(Access::IsWaitingForData(Probe));
    int waited = 0;
    while (Probe.Ran.empty() && waited < 400) {
        Tick();
        waited += 2;
    }
    EXPECT_EQ(waited, 182);
    EXPECT_THAT(Probe.Ran, ElementsAre("A0"));
    EXPECT_FALSE(Access::IsWaitingForData(Probe));
    // A time-out is silent: only the step learns of it.
    EXPECT_THAT(ErrorLog(), IsEmpty());
}

TEST_F(MachineryTest, AReceiveTimeoutFromTheOptionTableReplacesThe180Seconds) {
    Probe.SetConnectionOptions({{"ReceiveTimeout", "10"}});
    Access::CallSequence(Probe, Steps::WaitForData, ProbeSocket::A());
    int waited = 0;
    while (Probe.Ran.empty() && waited < 400) {
        Tick();
        waited += 2;
    }
    EXPECT_EQ(waited, 12);
    EXPECT_THAT(Probe.Ran, ElementsAre("A0"));
}

TEST_F(MachineryTest, ExpiringDelayPostponesATimeOutDueInTheSameTick) {
    Access::CallSequence(Probe, Steps::WaitForData, ProbeSocket::A());
    Clock.AdvanceSeconds(179);
    Access::DelayThen(Probe, 0, ProbeSocket::B());
    Tick(2);  // both are due: only the delay ends
    EXPECT_THAT(Probe.Ran, ElementsAre("B1"));
    EXPECT_TRUE(Access::IsWaitingForData(Probe));
    Tick(2);
    EXPECT_THAT(Probe.Ran, ElementsAre("B1", "A0"));
}

TEST_F(MachineryTest, WaitWithBufferedBytesSucceedsAtOnceAndSaysSoEvenWhenQuiet) {
    VerboseLog = false;
    Probe.PutInBuffer("200 ready\r\n");
    Access::CallSequence(Probe, Steps::WaitForData, ProbeSocket::A());
    EXPECT_THAT(Probe.Ran, ElementsAre("A1"));
    EXPECT_FALSE(Access::IsWaitingForData(Probe));
    const std::string log = TraceLog();
    EXPECT_THAT(log, HasSubstr("WaitForData: Incoming buff contains data. returning success"));
    EXPECT_THAT(log, Not(HasSubstr("WaitForData called")));
}

TEST_F(MachineryTest, WaitWithAnnouncedDataSucceedsAtOnceAndTracesOnlyWhenVerbose) {
    Access::AnnounceData(Probe);
    VerboseLog = false;
    Access::CallSequence(Probe, Steps::WaitForData, ProbeSocket::A());
    EXPECT_THAT(Probe.Ran, ElementsAre("A1"));
    EXPECT_THAT(TraceLog(), Not(HasSubstr("returning success")));

    VerboseLog = true;
    Access::CallSequence(Probe, Steps::WaitForData, ProbeSocket::B());
    EXPECT_THAT(Probe.Ran, ElementsAre("A1", "B1"));
    EXPECT_EQ(nntp_test::CountOccurrences(TraceLog(), "returning success"), 1u);
}

// --- rate -----------------------------------------------------------------------------------

TEST_F(MachineryTest, RateIsKibibytesPerSecondOfTheLastTick) {
    Access::SetBytesSinceTick(Probe, 10240);
    Tick(2);
    EXPECT_DOUBLE_EQ(Access::Rate(Probe), 5.0);
    EXPECT_EQ(Access::BytesSinceTick(Probe), 0);

    Tick(2);  // nothing received
    EXPECT_DOUBLE_EQ(Access::Rate(Probe), 0.0);

    Access::SetBytesSinceTick(Probe, 4096);
    Tick(4);
    EXPECT_DOUBLE_EQ(Access::Rate(Probe), 1.0);

    Access::SetBytesSinceTick(Probe, 999999);
    Probe.OnTimer();  // no millisecond has passed: the rate keeps its value
    EXPECT_DOUBLE_EQ(Access::Rate(Probe), 1.0);
    EXPECT_EQ(Access::BytesSinceTick(Probe), 0);
}

// --- notifications and messages -------------------------------------------------------------

TEST_F(MachineryTest, ConnectResultIsIgnoredUnlessConnecting) {
    Access::SetReturnStack(Probe, {ProbeSocket::A()});
    Access::PutInState(Probe, kStateIdle);
    Probe.OnConnect(0);
    Probe.OnConnect(10061);
    EXPECT_THAT(Probe.Ran, IsEmpty());
    EXPECT_THAT(TraceLog(), HasSubstr("OnConnect(): Error 10061"));
}

TEST_F(MachineryTest, ConnectResultResumesTheWaitingStep) {
    Access::PutInState(Probe, kStateConnecting);
    Access::SetReturnStack(Probe, {ProbeSocket::A(), ProbeSocket::B()});
    Probe.OnConnect(10061);
    Probe.OnConnect(0);
    EXPECT_THAT(Probe.Ran, ElementsAre("B0", "A1"));
}

TEST_F(MachineryTest, CloseResetsTheConnectionButLeavesTheMachineRunning) {
    Access::PutInState(Probe, kStateBodyText);
    Access::SelectGroup(Probe, "alt.binaries.test");
    ASSERT_TRUE(Access::OpenArticleFile(Probe, "7.tmp"));
    Access::CallSequence(Probe, Steps::WaitForData, ProbeSocket::A());
    Access::DelayThen(Probe, 60, ProbeSocket::B());

    Probe.OnClose(0);

    EXPECT_EQ(Access::ConnectionState(Probe), kStateNoConnection);
    EXPECT_THAT(Access::SelectedGroup(Probe), IsEmpty());
    EXPECT_FALSE(Access::IsArticleFileOpen(Probe));
    EXPECT_FALSE(std::filesystem::exists(WorkDir.Path() / "7.tmp"));
    EXPECT_TRUE(Access::IsWaitingForData(Probe));
    EXPECT_TRUE(Access::IsDelaying(Probe));
    EXPECT_THAT(Access::ReturnStack(Probe), ElementsAre(ProbeSocket::A(), ProbeSocket::B()));
    EXPECT_THAT(TraceLog(), HasSubstr("OnClose[-1]"));
}

TEST_F(MachineryTest, TimerMessageIsATick) {
    Access::DelayThen(Probe, -1, ProbeSocket::A());
    Probe.WindowProc(Probe.GetWindowHandle(), WM_TIMER, 1, 0);
    EXPECT_THAT(Probe.Ran, ElementsAre("A1"));
}

TEST_F(MachineryTest, CallbackTracesTheEndOfTheJobAndPopsNothing) {
    Access::SetReturnStack(Probe, {ProbeSocket::A()});
    Access::Run(Probe, Steps::Callback);
    EXPECT_THAT(Probe.Ran, IsEmpty());
    EXPECT_THAT(TraceLog(), HasSubstr("Callback() called. (End of job) lParam1 = 0, lParam2 = 0."));
}

// --- commands and construction ---------------------------------------------------------------

TEST_F(MachineryTest, SentCommandSetsTheStateAndIsTraced) {
    Access::SelectGroup(Probe, "alt.binaries.test");
    Access::PutInState(Probe, kStateIdle);
    Access::SendCommand(Probe, "GROUP alt.binaries.test\r\n", kStateGroupSent);
    EXPECT_EQ(Access::ConnectionState(Probe), kStateGroupSent);
    EXPECT_EQ(Access::SelectedGroup(Probe), "alt.binaries.test");
    EXPECT_THAT(TraceLog(), HasSubstr("Sending[-1]: GROUP alt.binaries.test"));
}

TEST_F(MachineryTest, PasswordNeverReachesTheTraceLog) {
    Access::PutInState(Probe, kStateIdle);
    Access::SendCommand(Probe, "AUTHINFO PASS s3cr3t-Word\r\n", kStatePassSent);
    EXPECT_EQ(Access::ConnectionState(Probe), kStatePassSent);
    const std::string log = TraceLog();
    EXPECT_THAT(log, HasSubstr("Sending[-1]: AUTHINFO PASS ********"));
    EXPECT_THAT(log, Not(HasSubstr("s3cr3t")));
}

TEST_F(MachineryTest, NewConnectionStartsWithoutGroupJobOrOptions) {
    EXPECT_EQ(Access::WantedGroup(Probe), kNoGroupSelected);
    EXPECT_THAT(Access::SelectedGroup(Probe), IsEmpty());
    EXPECT_EQ(Access::ConnectionState(Probe), kStateNoConnection);
    EXPECT_EQ(Access::DelaySeconds(Probe), 60);
    EXPECT_TRUE(Access::AuthResendFn(Probe) == Steps::EndOfJob);
    EXPECT_EQ(Access::GroupLast(Probe), 0);
    EXPECT_EQ(Access::GetConnectionOption(Probe, "ReceiveTimeout", "180"), "180");
    Probe.SetConnectionOptions({{"ErrorDelay", "5"}});
    EXPECT_EQ(Access::GetConnectionOption(Probe, "ErrorDelay", "30"), "5");
    EXPECT_EQ(Access::GetConnectionOption(Probe, "errordelay", "30"), "30");  // exact keys
    EXPECT_THAT(TraceLog(), HasSubstr("CNNTPSocket(): Thread Handle: "));
}

TEST_F(MachineryTest, EveryConnectionHasItsOwnTemporaryFileNumber) {
    CNNTPSocket second;
    CNNTPSocket third;
    EXPECT_NE(Access::TempFileNumber(Probe), Access::TempFileNumber(second));
    EXPECT_NE(Access::TempFileNumber(second), Access::TempFileNumber(third));
    EXPECT_NE(Access::TempFileNumber(Probe), Access::TempFileNumber(third));
    EXPECT_GE(Access::TempFileNumber(second), 0);
}

}  // namespace
