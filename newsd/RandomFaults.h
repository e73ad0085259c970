#pragma once
// Faults drawn at random for a soak: each command of a connection may be answered with a
// reset, a close, silence, a split reply, a line out of step, a 423 or a 480, and a
// connection may be greeted with 400. The draw depends only on the seed and the connection's
// index, so a run can be played again.

#include <cstdint>

#include "newsd/Script.h"

namespace newsd {

struct RandomFaultOptions {
    double rate = 0;         // chance of a fault per command and of a 400 greeting; 0: none
    std::uint32_t seed = 1;  // the same seed gives every connection the same faults again
    int commands = 2000;     // commands of a connection covered; later ones are answered well
};

// `base` with random faults added for the connection with that index.
ConnectionScript RandomFaultScript(const ConnectionScript& base, const RandomFaultOptions& options,
                                   int connectionIndex);

}  // namespace newsd
