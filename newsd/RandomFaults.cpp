#include "newsd/RandomFaults.h"

#include <random>

namespace newsd {
namespace {

enum class Kind { kReset, kClose, kSilence, kSplit, kOutOfStep, kMissing, kAuthRequired };

// Silence ends a connection's replies for good: it is drawn half as often as the others, so
// that a soak is not left with mute connections waiting out their time-out.
Kind DrawKind(std::mt19937& random) {
    std::discrete_distribution<int> pick({2, 2, 1, 2, 2, 2, 2});
    return static_cast<Kind>(pick(random));
}

Fault MakeFault(Kind kind, int occurrence, std::mt19937& random) {
    std::uniform_int_distribution<size_t> cut(0, 60);
    switch (kind) {
        case Kind::kReset:
            return ConnectionScript::ResetAfter("", occurrence, cut(random));
        case Kind::kClose:
            return ConnectionScript::CloseAfter("", occurrence, cut(random));
        case Kind::kSilence:
            return ConnectionScript::NoReplyTo("", occurrence);
        case Kind::kSplit: {
            const size_t first = 1 + cut(random);
            return ConnectionScript::SplitReply("", occurrence, {first, first + 1 + cut(random)},
                                                std::chrono::milliseconds(5));
        }
        case Kind::kOutOfStep:
            return ConnectionScript::PrefixReply("", occurrence, "this line is out of step\r\n");
        case Kind::kMissing:
            return ConnectionScript::ReplaceReply("", occurrence, "423 No such article\r\n");
        case Kind::kAuthRequired:
            break;
    }
    return ConnectionScript::ReplaceReply("", occurrence, "480 Authentication required\r\n");
}

}  // namespace

ConnectionScript RandomFaultScript(const ConnectionScript& base, const RandomFaultOptions& options,
                                   int connectionIndex) {
    ConnectionScript script = base;
    if (options.rate <= 0)
        return script;
    std::mt19937 random(options.seed * 2654435761u + static_cast<std::uint32_t>(connectionIndex));
    std::bernoulli_distribution faulty(options.rate > 1 ? 1.0 : options.rate);
    if (faulty(random))
        script.greeting = Greeting::kUnavailable;
    for (int occurrence = 1; occurrence <= options.commands; ++occurrence) {
        if (faulty(random))
            script.faults.push_back(MakeFault(DrawKind(random), occurrence, random));
    }
    return script;
}

}  // namespace newsd
