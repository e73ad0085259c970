#pragma once
// The NNTP conversation of one connection, without any I/O: command line in, reply out.
// Faults that concern the bytes on the wire are played by the connection, not here.

#include <cstdint>
#include <string>
#include <string_view>

#include "newsd/Articles.h"
#include "newsd/Options.h"
#include "newsd/Reply.h"
#include "newsd/Script.h"

namespace newsd {

class Session {
public:
    Session(const ArticleFactory& articles, const ServerOptions& options,
            const ConnectionScript& script);

    Reply Greet() const;
    Reply Handle(std::string_view line);

    bool Authenticated() const { return m_authenticated; }

    // First word of a command line in upper case ("HEAD" for "head 12").
    static std::string Verb(std::string_view line);

private:
    Reply Group(const std::string& argument);
    Reply Article(const std::string& verb, const std::string& argument);
    Reply Overview(const std::string& argument);
    Reply AuthInfo(const std::string& argument);
    Reply AuthUser(const std::string& user);
    Reply AuthPass(const std::string& password);
    Reply List(const std::string& argument);
    Reply Step(int direction);
    Reply Capabilities() const;
    Reply Date() const;
    int AuthRequiredCode() const;  // 0 when reading is open
    bool NeedsAuthentication(const std::string& verb) const;
    Reply AuthOutcome(const std::string& line);

    const ArticleFactory& m_articles;
    const ServerOptions& m_options;
    const ConnectionScript& m_script;
    bool m_authenticated = false;
    bool m_userGiven = false;
    bool m_userKnown = false;
    bool m_groupSelected = false;
    int64_t m_current = 0;
    bool m_haveCurrent = false;
};

}  // namespace newsd
