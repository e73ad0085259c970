#pragma once
// Where the real peers started by scripts/test-services listen. A test that needs a peer
// calls RequireService(); when ZODIVA_REQUIRE_SERVICES=1 (as scripts/test sets it) a
// missing peer is a failure, otherwise the test is skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace services {

inline std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

inline bool Required() { return Env("ZODIVA_REQUIRE_SERVICES") == "1"; }

}  // namespace services

// Use inside a TEST body: skips (or fails, when services are required) without the variable.
#define REQUIRE_SERVICE(var)                                                             \
    do {                                                                                 \
        if (services::Env(var).empty()) {                                                \
            if (services::Required()) FAIL() << var << " is not set: is the peer running?"; \
            GTEST_SKIP() << var << " is not set; run scripts/test-services start";       \
        }                                                                                \
    } while (0)
