#include <gtest/gtest.h>

#include <string>

#include "newsd/Session.h"

namespace newsd {
namespace {

std::string Status(Reply reply) {
    const std::string all = reply.Flatten();
    return all.substr(0, all.find("\r\n"));
}

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        options_.articles.first = 3;
        options_.articles.last = 9;
        options_.articles.missing = {5};
        options_.articles.bodyBytes = 500;
        articles_ = std::make_unique<ArticleFactory>(options_.articles);
    }
    Session& Make() {
        session_ = std::make_unique<Session>(*articles_, options_, script_);
        return *session_;
    }

    ServerOptions options_;
    ConnectionScript script_;
    std::unique_ptr<ArticleFactory> articles_;
    std::unique_ptr<Session> session_;
};

TEST_F(SessionTest, GroupReportsCountAndBoundsAndRefusesOtherGroups) {
    Session& session = Make();
    EXPECT_EQ(Status(session.Handle("GROUP alt.binaries.test")), "211 6 3 9 alt.binaries.test");
    EXPECT_EQ(Status(session.Handle("group alt.binaries.test")), "211 6 3 9 alt.binaries.test");
    EXPECT_EQ(Status(session.Handle("GROUP alt.binaries.other")), "411 No such newsgroup");
    EXPECT_EQ(Status(session.Handle("GROUP")).substr(0, 3), "501");
}

TEST_F(SessionTest, ArticleCommandsAnswerByNumberAndByIdWithRightCodes) {
    Session& session = Make();
    EXPECT_EQ(Status(session.Handle("HEAD 4")), "412 No newsgroup selected");
    EXPECT_EQ(Status(session.Handle("HEAD <4.part@newsd.test>")),
              "221 0 <4.part@newsd.test> head");  // by id needs no group
    session.Handle("GROUP alt.binaries.test");
    EXPECT_EQ(Status(session.Handle("HEAD")), "221 3 <3.part@newsd.test> head");  // current
    EXPECT_EQ(Status(session.Handle("BODY 9")), "222 9 <9.part@newsd.test> body");
    EXPECT_EQ(Status(session.Handle("ARTICLE 4")), "220 4 <4.part@newsd.test> article");
    EXPECT_EQ(Status(session.Handle("STAT 6")), "223 6 <6.part@newsd.test> status");
    EXPECT_EQ(Status(session.Handle("HEAD 5")), "423 No article with that number");
    EXPECT_EQ(Status(session.Handle("BODY 10")), "423 No article with that number");
    EXPECT_EQ(Status(session.Handle("BODY 0")), "423 No article with that number");
    EXPECT_EQ(Status(session.Handle("BODY -1")), "423 No article with that number");
    EXPECT_EQ(Status(session.Handle("BODY <5.part@newsd.test>")),
              "430 No article with that message-id");
    EXPECT_EQ(Status(session.Handle("HEAD 4x")).substr(0, 3), "501");
    EXPECT_EQ(Status(session.Handle("HEAD 99999999999999999999")).substr(0, 3), "501");
}

TEST_F(SessionTest, ArticleReplyIsHeaderBlankLineAndStuffedBodyThenTerminator) {
    Session& session = Make();
    session.Handle("GROUP alt.binaries.test");
    const ExpectedArticle expected = articles_->Expected(7);
    Reply reply = session.Handle("ARTICLE 7");
    EXPECT_TRUE(reply.multiLine);
    const std::string all = reply.Flatten();
    const std::string status = "220 7 <7.part@newsd.test> article\r\n";
    EXPECT_EQ(reply.statusSize, status.size());
    EXPECT_EQ(all, status + expected.HeaderText() + "\r\n" + articles_->BodyLeadWire(7) +
                       *articles_->BodyBulkWire() + ".\r\n");
    const std::string head = session.Handle("HEAD 7").Flatten();
    EXPECT_EQ(head, "221 7 <7.part@newsd.test> head\r\n" + expected.HeaderText() + ".\r\n");
}

TEST_F(SessionTest, NextAndLastSkipGapsAndStopAtTheEnds) {
    Session& session = Make();
    EXPECT_EQ(Status(session.Handle("NEXT")), "412 No newsgroup selected");
    session.Handle("GROUP alt.binaries.test");
    EXPECT_EQ(Status(session.Handle("NEXT")), "223 4 <4.part@newsd.test> retrieved");
    EXPECT_EQ(Status(session.Handle("NEXT")), "223 6 <6.part@newsd.test> retrieved");
    EXPECT_EQ(Status(session.Handle("LAST")), "223 4 <4.part@newsd.test> retrieved");
    session.Handle("STAT 9");
    EXPECT_EQ(Status(session.Handle("NEXT")), "421 No next article");
}

TEST_F(SessionTest, OverviewListsExistingArticlesOfTheRangeOnly) {
    Session& session = Make();
    EXPECT_EQ(Status(session.Handle("XOVER 1-2")), "412 No newsgroup selected");
    session.Handle("GROUP alt.binaries.test");
    std::string all = session.Handle("XOVER 4-6").Flatten();
    EXPECT_EQ(all, "224 Overview information follows\r\n" + articles_->OverviewLine(4) + "\r\n" +
                       articles_->OverviewLine(6) + "\r\n.\r\n");
    all = session.Handle("OVER 8-").Flatten();
    EXPECT_NE(all.find(articles_->OverviewLine(9)), std::string::npos);
    EXPECT_EQ(all.find(articles_->OverviewLine(7)), std::string::npos);
    EXPECT_EQ(Status(session.Handle("XOVER 5")), "423 No articles in that range");
    EXPECT_EQ(Status(session.Handle("XOVER 20-30")), "423 No articles in that range");
    EXPECT_EQ(Status(session.Handle("XOVER a-b")).substr(0, 3), "501");
}

TEST_F(SessionTest, LargeOverviewIsProducedInPartsThatAddUpToTheWholeListing) {
    options_.articles.first = 1;
    options_.articles.last = 2000;
    options_.articles.missing.clear();
    articles_ = std::make_unique<ArticleFactory>(options_.articles);
    Session& session = Make();
    session.Handle("GROUP alt.binaries.test");
    Reply reply = session.Handle("XOVER 1-2000");
    ASSERT_TRUE(static_cast<bool>(reply.more));
    std::string part;
    int parts = 0;
    while (reply.more(&part)) ++parts;
    EXPECT_GT(parts, 1);
    EXPECT_EQ(part.substr(part.size() - 3), ".\r\n");
    size_t lines = 0;
    for (char c : part) lines += c == '\n';
    EXPECT_EQ(lines, 2001u);
}

TEST_F(SessionTest, RequiredAuthenticationGatesReadingUntilAccepted) {
    options_.requireAuth = true;
    options_.user = "reader";
    options_.password = "s3cret word";
    Session& session = Make();
    EXPECT_EQ(Status(session.Handle("GROUP alt.binaries.test")), "480 Authentication required");
    EXPECT_EQ(Status(session.Handle("HEAD 4")).substr(0, 3), "480");
    EXPECT_EQ(Status(session.Handle("MODE READER")).substr(0, 3), "201");
    EXPECT_EQ(Status(session.Handle("AUTHINFO PASS x")).substr(0, 3), "482");
    EXPECT_EQ(Status(session.Handle("AUTHINFO USER reader")), "381 Password required");
    EXPECT_EQ(Status(session.Handle("AUTHINFO PASS wrong")), "481 Authentication failed");
    EXPECT_FALSE(session.Authenticated());
    EXPECT_EQ(Status(session.Handle("AUTHINFO USER intruder")), "381 Password required");
    EXPECT_EQ(Status(session.Handle("AUTHINFO PASS s3cret word")), "481 Authentication failed");
    EXPECT_EQ(Status(session.Handle("AUTHINFO USER reader")), "381 Password required");
    EXPECT_EQ(Status(session.Handle("authinfo pass s3cret word")), "281 Authentication accepted");
    EXPECT_TRUE(session.Authenticated());
    EXPECT_EQ(Status(session.Handle("GROUP alt.binaries.test")).substr(0, 3), "211");
    EXPECT_EQ(Status(session.Handle("AUTHINFO USER reader")).substr(0, 3), "502");
}

TEST_F(SessionTest, AuthorizationCode450AndUserWithoutPassword) {
    options_.requireAuth = true;
    options_.authRequiredCode = 450;
    Session& session = Make();
    EXPECT_EQ(Status(session.Handle("GROUP alt.binaries.test")).substr(0, 3), "450");
    // No password configured: the user is accepted at once.
    EXPECT_EQ(Status(session.Handle("AUTHINFO USER anyone")), "281 Authentication accepted");
    EXPECT_EQ(Status(session.Handle("GROUP alt.binaries.test")).substr(0, 3), "211");
}

TEST_F(SessionTest, ScriptCanRequireAuthenticationOnOneConnection) {
    script_.authRequiredCode = 450;
    options_.user = "u";
    options_.password = "p";
    Session& session = Make();
    EXPECT_EQ(Status(session.Handle("GROUP alt.binaries.test")).substr(0, 3), "450");
    session.Handle("AUTHINFO USER u");
    EXPECT_EQ(Status(session.Handle("AUTHINFO PASS p")).substr(0, 3), "281");
    EXPECT_EQ(Status(session.Handle("GROUP alt.binaries.test")).substr(0, 3), "211");
    script_.authRequiredCode = 0;
    EXPECT_EQ(Status(Make().Handle("GROUP alt.binaries.test")).substr(0, 3), "211");
}

TEST_F(SessionTest, ScriptedAuthRepliesDecideTheOutcomeByTheirCode) {
    options_.requireAuth = true;
    script_.passReply = "502 Permission denied";
    Session& session = Make();
    session.Handle("AUTHINFO USER u");
    EXPECT_EQ(Status(session.Handle("AUTHINFO PASS p")), "502 Permission denied");
    EXPECT_EQ(Status(session.Handle("GROUP alt.binaries.test")).substr(0, 3), "480");

    script_.passReply = "482 Out of sequence";
    Session& again = Make();
    again.Handle("AUTHINFO USER u");
    EXPECT_EQ(Status(again.Handle("AUTHINFO PASS p")), "482 Out of sequence");
    EXPECT_FALSE(again.Authenticated());

    script_.passReply.clear();
    script_.userReply = "281 Welcome";
    Session& direct = Make();
    EXPECT_EQ(Status(direct.Handle("AUTHINFO USER u")), "281 Welcome");
    EXPECT_TRUE(direct.Authenticated());
}

TEST_F(SessionTest, GreetingsFollowTheScript) {
    struct Case {
        Greeting greeting;
        std::string status;
        bool close;
    };
    for (const Case& c :
         {Case{Greeting::kPostingAllowed, "200", false}, Case{Greeting::kNoPosting, "201", false},
          Case{Greeting::kUnavailable, "400", true}, Case{Greeting::kRejected, "502", true}}) {
        script_.greeting = c.greeting;
        Reply reply = Make().Greet();
        EXPECT_EQ(Status(reply).substr(0, 3), c.status);
        EXPECT_EQ(reply.closeAfter, c.close);
    }
    script_.greeting = Greeting::kNonStatus;
    const std::string text = Status(Make().Greet());
    ASSERT_FALSE(text.empty());
    EXPECT_FALSE(text[0] >= '0' && text[0] <= '9');
    script_.greeting = Greeting::kSilent;
    EXPECT_TRUE(Make().Greet().silent);
    script_.greeting = Greeting::kCustom;
    script_.greetingText = "200 partial";
    EXPECT_EQ(Make().Greet().Flatten(), "200 partial");
}

TEST_F(SessionTest, HousekeepingCommands) {
    Session& session = Make();
    Reply quit = session.Handle("QUIT");
    EXPECT_EQ(Status(quit).substr(0, 3), "205");
    EXPECT_TRUE(quit.closeAfter);
    EXPECT_EQ(Status(session.Handle("FROB")), "500 Unknown command");
    EXPECT_EQ(Status(session.Handle("")), "500 Unknown command");
    EXPECT_EQ(Status(session.Handle("POST")).substr(0, 3), "440");
    const std::string date = Status(session.Handle("DATE"));
    EXPECT_EQ(date.size(), 18u);
    EXPECT_EQ(date.substr(0, 4), "111 ");
    EXPECT_EQ(session.Handle("LIST").Flatten(),
              "215 List of newsgroups follows\r\nalt.binaries.test 9 3 n\r\n.\r\n");
    EXPECT_EQ(session.Handle("LIST ACTIVE alt.binaries.*").Flatten(),
              "215 List of newsgroups follows\r\nalt.binaries.test 9 3 n\r\n.\r\n");
    EXPECT_EQ(session.Handle("LIST ACTIVE comp.*").Flatten(),
              "215 List of newsgroups follows\r\n.\r\n");
    EXPECT_NE(session.Handle("CAPABILITIES").Flatten().find("\r\nREADER\r\n"), std::string::npos);
}

}  // namespace
}  // namespace newsd
