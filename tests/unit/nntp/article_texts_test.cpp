// The exact lines each article job writes on every path of its command, status and text
// steps, in both logs and in order. The three jobs share their step code, so a text or an
// order that belongs to one job must not turn up in another. Steps are run one at a time on
// an unconnected connection, with the server's bytes placed in the receive buffer (so no
// command goes out: each is handled as a failed send).
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <utility>

#include "JobFixture.h"
#include "common/NNTPSocketTestAccess.h"

using Access = NNTPSocketTestAccess;
using Steps = NNTPSocketTestAccess::Steps;

namespace {

class ArticleTextsTest : public JobFixture {
protected:
    void SetUp() override {
        JobFixture::SetUp();
        Access::SetGroupName(*Connection, kGroup);
        Root.SetString("article", "42");
        Root.SetString("range", "40-42");
        NewTrace();
        NewErrors();
    }

    // Runs one step as if what it continues from had ended with `succeeded`, `bytes` in the
    // receive buffer, in the state that step leaves; afterwards the connection waits for
    // nothing and has an empty stack.
    void Run(StepFn step, int succeeded, const std::string& bytes = "") {
        Access::PutInState(*Connection, StateBefore(step));
        Access::Feed(*Connection, bytes.data(), bytes.size());
        Access::PushReturn(*Connection, JobProbe::Done());
        Access::SetStepSucceeded(*Connection, succeeded);
        Access::GoToStep(*Connection, step);
        Access::ClearStack(*Connection);
        Access::DropWaits(*Connection);
    }

    // The lines written since the last call, each without its time and without the file's
    // header.
    std::string NewTrace() { return Since(TraceLog(), m_traceSeen); }
    std::string NewErrors() { return Since(ErrorLog(), m_errorsSeen); }

private:
    static std::int32_t StateBefore(StepFn step) {
        const std::pair<StepFn, std::int32_t> states[] = {
            {Steps::Head3, kStateHeadSent},   {Steps::Head4, kStateHeadText},
            {Steps::Body3, kStateBodySent},   {Steps::Body4, kStateBodyText},
            {Steps::Xover3, kStateXoverSent}, {Steps::Xover4, kStateXoverText}};
        for (const auto& [known, state] : states) {
            if (known == step)
                return state;
        }
        return kStateIdle;  // the command steps: greeted, the group selected
    }

    static std::string Since(const std::string& text, std::size_t& seen) {
        std::istringstream lines(text.substr(seen));
        seen = text.size();
        std::string result;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("##", 0) == 0) {
                continue;
            }
            // "HH:MM:SS: "
            result += line.size() >= 10 && line[2] == ':' && line[5] == ':' ? line.substr(10) : line;
            result += '\n';
        }
        return result;
    }

    std::size_t m_traceSeen = 0;
    std::size_t m_errorsSeen = 0;
};

const std::string kWaitStarts =
    "WaitForData called\n"
    "WaitForData: Setting IsWaitingForData flag.\n";

// There is no socket here, so every command fails to go out; the job goes on as after a
// reply that never came.
const std::string kSendFailed = "Sending[-1]: failed with error 10038.  Dropping the connection.\n";

TEST_F(ArticleTextsTest, HeadJob) {
    Run(Steps::Head2, 0);
    EXPECT_EQ(NewTrace(), "Head2: Failed to select group.\n");

    Run(Steps::Head2, 1);
    EXPECT_EQ(NewTrace(), "Head2: Requesting HEAD 42\n"
                          "Sending[-1]: HEAD 42\n"
                          "Head3(-1): Failed to receive HEAD response. Retrying.\n");
    EXPECT_EQ(NewErrors(), kSendFailed);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);

    Run(Steps::Head3, 0);
    EXPECT_EQ(NewTrace(), "Head3(-1): Failed to receive HEAD response. Retrying.\n");

    Run(Steps::Head3, 1, "500 broken\r\n");
    EXPECT_EQ(NewTrace(), "Response: 500 broken\n"
                          "Head3(-1): 500 broken\n"
                          "Head3(-1): Server returned an error.  Failing.\n");
    EXPECT_EQ(NewErrors(), "Head3(): 500 broken\n");

    Run(Steps::Head3, 1, "X-Stray: 1\r\n");
    EXPECT_EQ(NewTrace(), "Response: X-Stray: 1\n"
                          "Head3(): Note: Out of Synch!!!\n"
                          "Head3(-1): X-Stray: 1\n"
                          "Head3(-1): Server returned an error.  Failing.\n");
    EXPECT_EQ(NewErrors(), "Head3(): Note: Out of Synch!!!\n"
                           "Head3(): X-Stray: 1\n");

    Run(Steps::Head3, 1, "221 42 <a@b> head\r\n");
    EXPECT_EQ(NewTrace(), "Response: 221 42 <a@b> head\n"
                          "Head3(-1): Success. Waiting for header text.\n" + kWaitStarts);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateHeadText);

    Run(Steps::Head4, 0);
    EXPECT_EQ(NewTrace(), "Head4(-1): Error receiving header. Retrying.\n");

    Access::SelectGroup(*Connection, kGroup);
    Run(Steps::Head4, 1, "Subject: s\r\n.\r\n");
    EXPECT_EQ(NewTrace(), "Subject: s\n"
                          ".\n"
                          "Head4(-1): Header received successfully.\n"
                          "SelectGroup1(): Entering newsgroup \"alt.binaries.test\" if necessary.\n"
                          "Currently selected newsgroup is: \"alt.binaries.test\"\n"
                          "SelectGroup1(): Group already selected. Returning\n"
                          "Body2(): Requesting BODY 42\n"
                          "Sending[-1]: BODY 42\n"
                          "Body3(-1): Failed to receive BODY response. Retrying.\n");
    EXPECT_EQ(NewErrors(), kSendFailed);
}

TEST_F(ArticleTextsTest, BodyJob) {
    Run(Steps::Body2, 0);
    EXPECT_EQ(NewTrace(), "Body2(): Failed to select group.\n");

    Run(Steps::Body2, 1);
    EXPECT_EQ(NewTrace(), "Body2(): Requesting BODY 42\n"
                          "Sending[-1]: BODY 42\n"
                          "Body3(-1): Failed to receive BODY response. Retrying.\n");
    EXPECT_EQ(NewErrors(), kSendFailed);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);

    Run(Steps::Body3, 0);
    EXPECT_EQ(NewTrace(), "Body3(-1): Failed to receive BODY response. Retrying.\n");

    // The BODY job traces the line before it logs the error.
    Run(Steps::Body3, 1, "500 broken\r\n");
    EXPECT_EQ(NewTrace(), "Response: 500 broken\n"
                          "Body3(-1): 500 broken\n"
                          "Body3(-1): Server returned an error.  Failing.\n");
    EXPECT_EQ(NewErrors(), "Body3(): 500 broken\n");

    Run(Steps::Body3, 1, "X-Stray: 1\r\n");
    EXPECT_EQ(NewTrace(), "Response: X-Stray: 1\n"
                          "Body3(): Note: Out of Synch!!!\n"
                          "Body3(-1): X-Stray: 1\n"
                          "Body3(-1): Server returned an error.  Failing.\n");
    EXPECT_EQ(NewErrors(), "Body3(): Note: Out of Synch!!!\n"
                           "Body3(): X-Stray: 1\n");

    Run(Steps::Body3, 1, "222 42 <a@b> body\r\n");
    EXPECT_EQ(NewTrace(), "Response: 222 42 <a@b> body\n"
                          "Body3(-1): Success. Waiting for body text.\n" + kWaitStarts);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateBodyText);

    Run(Steps::Body4, 0);
    EXPECT_EQ(NewTrace(), "Body4(-1): Error receiving article body. Retrying.\n");
    EXPECT_EQ(NewErrors(),
              "Body4(-1): WaitForLine failed while receiving BODY. Retrying after delay.\n");

    // Body lines are not traced.
    Run(Steps::Body4, 1, "text\r\n.\r\n");
    EXPECT_EQ(NewTrace(), "Body4(-1): Body received successfully.\n");
    EXPECT_EQ(Probe().Results.back(), 1);
    EXPECT_EQ(NewErrors(), "");
}

TEST_F(ArticleTextsTest, OverviewJob) {
    Run(Steps::Xover2, 0);
    EXPECT_EQ(NewTrace(), "Xover2: Failed to select group.\n");

    Run(Steps::Xover2, 1);
    EXPECT_EQ(NewTrace(), "Xover2: Requesting Xover 40-42\n"
                          "Sending[-1]: XOVER 40-42\n"
                          "Head3(-1): Failed to receive XOVER response. Retrying.\n");
    EXPECT_EQ(NewErrors(), kSendFailed);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);

    // The overview job's failed wait carries the name of the HEAD job's step.
    Run(Steps::Xover3, 0);
    EXPECT_EQ(NewTrace(), "Head3(-1): Failed to receive XOVER response. Retrying.\n");

    // No article is missing from an overview: 423 is an error reply like any other.
    Run(Steps::Xover3, 1, "423 none\r\n");
    EXPECT_EQ(NewTrace(), "Response: 423 none\n"
                          "Xover3(-1): 423 none\n"
                          "Xover3(-1): Server returned an error.  Failing.\n");
    EXPECT_EQ(NewErrors(), "Xover3(): 423 none\n");

    Run(Steps::Xover3, 1, "X-Stray: 1\r\n");
    EXPECT_EQ(NewTrace(), "Response: X-Stray: 1\n"
                          "Xover3(): Note: Out of Synch!!!\n"
                          "Xover3(-1): X-Stray: 1\n"
                          "Xover3(-1): Server returned an error.  Failing.\n");
    EXPECT_EQ(NewErrors(), "Xover3(): Note: Out of Synch!!!\n"
                           "Xover3(): X-Stray: 1\n");

    Run(Steps::Xover3, 1, "224 overview\r\n");
    EXPECT_EQ(NewTrace(), "Response: 224 overview\n"
                          "Xover3(-1): Success. Waiting for header text.\n" + kWaitStarts);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateXoverText);

    Run(Steps::Xover4, 0);
    EXPECT_EQ(NewTrace(), "");

    Run(Steps::Xover4, 1, "40\tsubject\r\n.\r\n");
    EXPECT_EQ(NewTrace(), "40\tsubject\n"
                          ".\n"
                          "Xover4(-1): Xover list received successfully.\n");
    EXPECT_EQ(NewErrors(), "");
}

// A missing article ends the HEAD or BODY job without an error; the line names the step.
TEST_F(ArticleTextsTest, MissingArticleNamesItsStep) {
    Run(Steps::Head3, 1, "423 no such article\r\n");
    EXPECT_EQ(NewTrace(), "Response: 423 no such article\n"
                          "Head3(-1): Article 42 is missing.  Moving on.\n");
    Run(Steps::Body3, 1, "430 no such article\r\n");
    EXPECT_EQ(NewTrace(), "Response: 430 no such article\n"
                          "Body3(-1): Article 42 is missing.  Moving on.\n");
    EXPECT_EQ(NewErrors(), "");
}

}  // namespace
