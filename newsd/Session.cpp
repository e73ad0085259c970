#include "newsd/Session.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <memory>

namespace newsd {
namespace {

constexpr int64_t kMaxArticleNumber = 999999999999999999;  // 18 digits never overflow
constexpr int64_t kOverviewLinesPerPart = 256;

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

// Splits "VERB rest of line" at the first run of spaces or tabs.
std::string_view Rest(std::string_view line) {
    size_t i = 0;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    return line.substr(i);
}

std::string TrimRight(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return std::string(text);
}

// A decimal article number, optionally negative (a client walking below the first article).
bool ParseNumber(std::string_view text, int64_t* number) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative)
        text.remove_prefix(1);
    if (text.empty() || text.size() > 18)
        return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    *number = negative ? -value : value;
    return true;
}

// "n", "n-" or "n-m".
bool ParseRange(std::string_view text, int64_t* low, int64_t* high) {
    const size_t dash = text.find('-', 1);
    if (dash == std::string_view::npos) {
        if (!ParseNumber(text, low))
            return false;
        *high = *low;
        return true;
    }
    if (!ParseNumber(text.substr(0, dash), low))
        return false;
    if (dash + 1 == text.size()) {
        *high = kMaxArticleNumber;
        return true;
    }
    return ParseNumber(text.substr(dash + 1), high);
}

// '*' and '?' patterns, enough for LIST ACTIVE's argument.
bool WildMatch(const char* pattern, const char* text) {
    if (*pattern == '\0')
        return *text == '\0';
    if (*pattern == '*')
        return WildMatch(pattern + 1, text) || (*text && WildMatch(pattern, text + 1));
    if (*text == '\0')
        return false;
    return (*pattern == '?' || *pattern == *text) && WildMatch(pattern + 1, text + 1);
}

Reply MultiLine(const std::string& status, std::string text) {
    Reply reply = Reply::Line(status);
    reply.multiLine = true;
    reply.Append(std::move(text));
    reply.AppendShared(Terminator());
    return reply;
}

}  // namespace

Session::Session(const ArticleFactory& articles, const ServerOptions& options,
                 const ConnectionScript& script)
    : m_articles(articles), m_options(options), m_script(script) {}

std::string Session::Verb(std::string_view line) {
    size_t end = 0;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    return Upper(line.substr(0, end));
}

Reply Session::Greet() const {
    Reply reply;
    switch (m_script.greeting) {
        case Greeting::kPostingAllowed:
            return Reply::Line("200 newsd.test NNTP service ready, posting allowed");
        case Greeting::kNoPosting:
            return Reply::Line("201 newsd.test NNTP service ready, no posting");
        case Greeting::kUnavailable:
            reply = Reply::Line("400 newsd.test service temporarily unavailable");
            reply.closeAfter = true;
            return reply;
        case Greeting::kRejected:
            reply = Reply::Line("502 newsd.test access denied");
            reply.closeAfter = true;
            return reply;
        case Greeting::kNonStatus:
            return Reply::Line("Welcome to the newsd.test news service");
        case Greeting::kSilent:
            reply.silent = true;
            return reply;
        case Greeting::kCustom:
            reply.Append(m_script.greetingText);
            reply.statusSize = reply.Size();
            return reply;
    }
    return reply;
}

int Session::AuthRequiredCode() const {
    if (m_script.authRequiredCode != 0)
        return m_script.authRequiredCode;
    return m_options.requireAuth ? m_options.authRequiredCode : 0;
}

bool Session::NeedsAuthentication(const std::string& verb) const {
    if (AuthRequiredCode() == 0 || m_authenticated)
        return false;
    return verb != "AUTHINFO" && verb != "CAPABILITIES" && verb != "MODE" && verb != "QUIT";
}

Reply Session::Handle(std::string_view line) {
    const std::string verb = Verb(line);
    const std::string argument = TrimRight(Rest(line));
    if (NeedsAuthentication(verb)) {
        const int code = AuthRequiredCode();
        return Reply::Line(code == 450 ? "450 Authorization required for this command"
                                       : std::to_string(code) + " Authentication required");
    }
    if (verb == "GROUP")
        return Group(argument);
    if (verb == "HEAD" || verb == "BODY" || verb == "ARTICLE" || verb == "STAT")
        return Article(verb, argument);
    if (verb == "XOVER" || verb == "OVER")
        return Overview(argument);
    if (verb == "AUTHINFO")
        return AuthInfo(std::string(Rest(line)));
    if (verb == "NEXT")
        return Step(1);
    if (verb == "LAST")
        return Step(-1);
    if (verb == "LIST")
        return List(Upper(argument));
    if (verb == "MODE") {
        if (Upper(argument) == "READER")
            return Reply::Line("201 newsd.test ready, no posting");
        return Reply::Line("501 Unknown MODE variant");
    }
    if (verb == "CAPABILITIES")
        return Capabilities();
    if (verb == "DATE")
        return Date();
    if (verb == "HELP")
        return MultiLine("100 Help text follows", "newsd serves one group.\r\n");
    if (verb == "POST" || verb == "IHAVE")
        return Reply::Line("440 Posting not permitted");
    if (verb == "QUIT") {
        Reply reply = Reply::Line("205 Bye");
        reply.closeAfter = true;
        return reply;
    }
    return Reply::Line("500 Unknown command");
}

Reply Session::Group(const std::string& argument) {
    const ArticleOptions& group = m_articles.Options();
    if (argument.empty())
        return Reply::Line("501 Syntax error: GROUP needs a newsgroup");
    if (argument != group.group)
        return Reply::Line("411 No such newsgroup");
    m_groupSelected = true;
    const int64_t count = m_articles.Count();
    m_haveCurrent = count > 0;
    m_current = group.first;
    while (m_haveCurrent && !m_articles.Exists(m_current)) ++m_current;
    return Reply::Line("211 " + std::to_string(count) + " " + std::to_string(group.first) + " " +
                       std::to_string(group.last) + " " + group.group);
}

Reply Session::Article(const std::string& verb, const std::string& argument) {
    int64_t number = 0;
    bool byId = !argument.empty() && argument[0] == '<';
    if (byId) {
        if (!ParseMessageId(argument, &number) || !m_articles.Exists(number))
            return Reply::Line("430 No article with that message-id");
    } else if (argument.empty()) {
        if (!m_groupSelected)
            return Reply::Line("412 No newsgroup selected");
        if (!m_haveCurrent || !m_articles.Exists(m_current))
            return Reply::Line("420 Current article number is invalid");
        number = m_current;
    } else {
        if (!ParseNumber(argument, &number))
            return Reply::Line("501 Syntax error in article number");
        if (!m_groupSelected)
            return Reply::Line("412 No newsgroup selected");
        if (!m_articles.Exists(number))
            return Reply::Line("423 No article with that number");
        m_current = number;
        m_haveCurrent = true;
    }
    const std::string where = std::to_string(byId ? 0 : number) + " " + MessageId(number);
    if (verb == "STAT")
        return Reply::Line("223 " + where + " status");

    const std::string status = verb == "HEAD"   ? "221 " + where + " head"
                               : verb == "BODY" ? "222 " + where + " body"
                                                : "220 " + where + " article";
    Reply reply;
    reply.multiLine = true;
    reply.statusSize = status.size() + 2;
    std::string first = status + "\r\n";
    if (verb != "BODY")
        first += m_articles.HeaderWire(number);
    if (verb == "ARTICLE")
        first += "\r\n";
    if (verb != "HEAD")
        first += m_articles.BodyLeadWire(number);
    reply.Append(std::move(first));
    if (verb != "HEAD")
        reply.AppendShared(m_articles.BodyBulkWire());
    reply.AppendShared(Terminator());
    return reply;
}

Reply Session::Overview(const std::string& argument) {
    int64_t low = 0;
    int64_t high = 0;
    if (!argument.empty() && argument[0] == '<') {
        if (!ParseMessageId(argument, &low) || !m_articles.Exists(low))
            return Reply::Line("430 No article with that message-id");
        high = low;
    } else if (argument.empty()) {
        if (!m_groupSelected)
            return Reply::Line("412 No newsgroup selected");
        if (!m_haveCurrent || !m_articles.Exists(m_current))
            return Reply::Line("420 Current article number is invalid");
        low = high = m_current;
    } else {
        if (!ParseRange(argument, &low, &high))
            return Reply::Line("501 Syntax error in range");
        if (!m_groupSelected)
            return Reply::Line("412 No newsgroup selected");
    }
    low = std::max(low, m_articles.Options().first);
    high = std::min(high, m_articles.Options().last);
    while (low <= high && !m_articles.Exists(low)) ++low;
    if (low > high)
        return Reply::Line("423 No articles in that range");

    Reply reply = Reply::Line("224 Overview information follows");
    reply.multiLine = true;
    // Lines are made as the connection drains them: a listing of a whole large group must
    // not sit in memory at once.
    auto next = std::make_shared<int64_t>(low);
    const ArticleFactory* articles = &m_articles;
    reply.more = [articles, next, high](std::string* out) {
        const int64_t stop = std::min(high, *next + kOverviewLinesPerPart - 1);
        for (; *next <= stop; ++*next) {
            if (!articles->Exists(*next))
                continue;
            *out += articles->OverviewLine(*next);
            *out += "\r\n";
        }
        if (*next <= high)
            return true;
        *out += ".\r\n";
        return false;
    };
    return reply;
}

Reply Session::AuthOutcome(const std::string& line) {
    m_authenticated = line.compare(0, 3, "281") == 0;
    m_userGiven = line.compare(0, 3, "381") == 0;
    return Reply::Line(line);
}

Reply Session::AuthInfo(const std::string& rest) {
    const std::string keyword = Verb(rest);
    // The password is everything after the keyword: it may hold spaces.
    const std::string value(Rest(rest));
    if (keyword == "USER")
        return AuthUser(value);
    if (keyword == "PASS")
        return AuthPass(value);
    return Reply::Line("501 Unknown AUTHINFO variant");
}

Reply Session::AuthUser(const std::string& user) {
    if (m_authenticated && m_script.userReply.empty())
        return Reply::Line("502 Already authenticated");
    m_userKnown = m_options.user.empty() || user == m_options.user;
    if (!m_script.userReply.empty())
        return AuthOutcome(m_script.userReply);
    if (m_userKnown && m_options.password.empty())
        return AuthOutcome("281 Authentication accepted");
    return AuthOutcome("381 Password required");
}

Reply Session::AuthPass(const std::string& password) {
    if (m_authenticated && m_script.passReply.empty())
        return Reply::Line("502 Already authenticated");
    if (!m_script.passReply.empty())
        return AuthOutcome(m_script.passReply);
    if (!m_userGiven)
        return Reply::Line("482 Authentication commands issued out of sequence");
    if (m_userKnown && (m_options.password.empty() || password == m_options.password))
        return AuthOutcome("281 Authentication accepted");
    return AuthOutcome("481 Authentication failed");
}

Reply Session::List(const std::string& argument) {
    const ArticleOptions& group = m_articles.Options();
    const std::string keyword = Verb(argument);
    const std::string pattern(Rest(argument));
    if (keyword.empty() || keyword == "ACTIVE") {
        std::string text;
        if (pattern.empty() || WildMatch(pattern.c_str(), Upper(group.group).c_str())) {
            text = group.group + " " + std::to_string(group.last) + " " +
                   std::to_string(group.first) + " n\r\n";
        }
        return MultiLine("215 List of newsgroups follows", text);
    }
    if (keyword == "NEWSGROUPS")
        return MultiLine("215 Descriptions follow", group.group + "\tnewsd test articles\r\n");
    if (keyword == "OVERVIEW.FMT") {
        return MultiLine("215 Order of fields in overview database",
                         "Subject:\r\nFrom:\r\nDate:\r\nMessage-ID:\r\nReferences:\r\n:bytes\r\n"
                         ":lines\r\nXref:full\r\n");
    }
    return Reply::Line("501 Unknown LIST keyword");
}

Reply Session::Step(int direction) {
    if (!m_groupSelected)
        return Reply::Line("412 No newsgroup selected");
    if (!m_haveCurrent)
        return Reply::Line("420 Current article number is invalid");
    const ArticleOptions& group = m_articles.Options();
    for (int64_t n = m_current + direction; n >= group.first && n <= group.last; n += direction) {
        if (!m_articles.Exists(n))
            continue;
        m_current = n;
        return Reply::Line("223 " + std::to_string(n) + " " + MessageId(n) + " retrieved");
    }
    return Reply::Line(direction > 0 ? "421 No next article" : "422 No previous article");
}

Reply Session::Capabilities() const {
    std::string text =
        "VERSION 2\r\nIMPLEMENTATION newsd\r\nREADER\r\nOVER\r\n"
        "LIST ACTIVE NEWSGROUPS OVERVIEW.FMT\r\n";
    if (!m_authenticated)
        text += "AUTHINFO USER\r\n";
    return MultiLine("101 Capability list follows", text);
}

Reply Session::Date() const {
    const time_t now = time(nullptr);
    struct tm parts {};
    gmtime_r(&now, &parts);
    char text[32];
    strftime(text, sizeof(text), "111 %Y%m%d%H%M%S", &parts);
    return Reply::Line(text);
}

}  // namespace newsd
