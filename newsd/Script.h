#pragma once
// Faults a connection plays on purpose, so a client's recovery can be tested against a real
// socket: odd greetings, silence, replies cut into pieces, dropped connections, odd replies.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace newsd {

enum class Greeting {
    kPostingAllowed,  // "200 ..."
    kNoPosting,       // "201 ..."
    kUnavailable,     // "400 ..."
    kRejected,        // "502 ..."
    kNonStatus,       // a text line that is no status at all
    kSilent,          // nothing: the connection is accepted and stays mute
    kCustom,          // ConnectionScript::greetingText, sent as given
};

enum class FaultAction {
    kNoReply,  // no reply to this command nor to any later one; the connection stays open
    kReplace,  // send `text` exactly as given instead of the reply
    kPrefix,   // send `text` exactly as given, then the reply
    kSplit,    // the reply in pieces cut at `offsets`, each piece a write of its own after `pause`
    kCloseAfter,  // send the first `bytes` of the reply, then close the connection (FIN)
    kResetAfter,  // send the first `bytes` of the reply, then reset the connection (RST)
};

// The verb of a fault that applies to the greeting instead of a command's reply.
inline constexpr const char* kGreetingVerb = "GREETING";

struct Fault {
    // Command verb it applies to, any case ("BODY"); empty: every command; kGreetingVerb:
    // the greeting (occurrence 0 or 1).
    std::string verb;
    int occurrence = 1;  // the n-th matching command of the connection (1 = first); 0: every one
    FaultAction action = FaultAction::kNoReply;
    std::string text;                     // kReplace, kPrefix
    std::vector<size_t> offsets;          // kSplit: byte offsets into the reply, ascending
    std::chrono::milliseconds pause{20};  // kSplit: pause before every piece after the first
    // kCloseAfter, kResetAfter: bytes of the reply (status line included) sent before; a
    // reply shorter than that goes out whole.
    size_t bytes = 0;
};

struct ConnectionScript {
    Greeting greeting = Greeting::kPostingAllowed;
    std::string greetingText;  // kCustom: raw bytes, CR LF included
    // 480 or 450: this connection refuses every command but AUTHINFO, CAPABILITIES,
    // MODE READER and QUIT with that code until AUTHINFO succeeds, whatever the server's
    // options say. 0: as the server's options say.
    int authRequiredCode = 0;
    // Replace the reply to AUTHINFO USER / AUTHINFO PASS (one status line, CR LF added), for
    // example "481 rejected" or "502 no permission". The outcome follows the code: 281 logs in.
    std::string userReply;
    std::string passReply;
    // Write the status line and the text of a multi-line reply in two writes, with Nagle on,
    // as some servers do; a client that delays its ACKs then stalls on every reply.
    bool separateStatusWrite = false;
    std::vector<Fault> faults;

    // Shorthands for the common cases.
    static Fault NoReplyTo(const std::string& verb, int occurrence = 1);
    static Fault ReplaceReply(const std::string& verb, int occurrence, const std::string& text);
    static Fault PrefixReply(const std::string& verb, int occurrence, const std::string& text);
    static Fault SplitReply(const std::string& verb, int occurrence, std::vector<size_t> offsets,
                            std::chrono::milliseconds pause = std::chrono::milliseconds(20));
    static Fault CloseAfter(const std::string& verb, int occurrence, size_t bytes);
    static Fault ResetAfter(const std::string& verb, int occurrence, size_t bytes);
};

}  // namespace newsd
