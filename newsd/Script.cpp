#include "newsd/Script.h"

#include <utility>

namespace newsd {

Fault ConnectionScript::NoReplyTo(const std::string& verb, int occurrence) {
    Fault fault;
    fault.verb = verb;
    fault.occurrence = occurrence;
    fault.action = FaultAction::kNoReply;
    return fault;
}

Fault ConnectionScript::ReplaceReply(const std::string& verb, int occurrence,
                                     const std::string& text) {
    Fault fault = NoReplyTo(verb, occurrence);
    fault.action = FaultAction::kReplace;
    fault.text = text;
    return fault;
}

Fault ConnectionScript::PrefixReply(const std::string& verb, int occurrence,
                                    const std::string& text) {
    Fault fault = ReplaceReply(verb, occurrence, text);
    fault.action = FaultAction::kPrefix;
    return fault;
}

Fault ConnectionScript::SplitReply(const std::string& verb, int occurrence,
                                   std::vector<size_t> offsets, std::chrono::milliseconds pause) {
    Fault fault = NoReplyTo(verb, occurrence);
    fault.action = FaultAction::kSplit;
    fault.offsets = std::move(offsets);
    fault.pause = pause;
    return fault;
}

Fault ConnectionScript::CloseAfter(const std::string& verb, int occurrence, size_t bytes) {
    Fault fault = NoReplyTo(verb, occurrence);
    fault.action = FaultAction::kCloseAfter;
    fault.bytes = bytes;
    return fault;
}

Fault ConnectionScript::ResetAfter(const std::string& verb, int occurrence, size_t bytes) {
    Fault fault = CloseAfter(verb, occurrence, bytes);
    fault.action = FaultAction::kResetAfter;
    return fault;
}

}  // namespace newsd
