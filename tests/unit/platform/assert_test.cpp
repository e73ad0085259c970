#include "platform/Assert.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(Assert, ConditionIsEvaluatedOnlyWhenChecksAreOn) {
    int evaluations = 0;
    ZODIVA_ASSERT(++evaluations == 1);
    ZODIVA_ASSERT_MSG(++evaluations == 2, "counted");
    EXPECT_EQ(evaluations, ZODIVA_ASSERTS_ENABLED ? 2 : 0);
}

TEST(Assert, BrokenRuleStopsTheProgramSayingWhereAndWhat) {
    if (!ZODIVA_ASSERTS_ENABLED)
        GTEST_SKIP() << "checks are compiled out in this build";
    const int open = 3;
    EXPECT_DEATH(ZODIVA_ASSERT_MSG(open == 2, "two sockets"),
                 "assert_test\\.cpp:[0-9]+: rule broken: open == 2 \\(two sockets\\)");
}

TEST(Assert, OwnerCheckPassesOnTheOwnerAndStopsAnyOtherThread) {
    if (!ZODIVA_ASSERTS_ENABLED)
        GTEST_SKIP() << "checks are compiled out in this build";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ThreadOwner owner;
    ZODIVA_ASSERT_OWNER(owner);
    EXPECT_DEATH(std::thread([&owner] { ZODIVA_ASSERT_OWNER(owner); }).join(),
                 "does not own it");

    // Handed on: the new thread owns it, the one that made it no longer does.
    std::thread([&owner] {
        owner.Adopt();
        ZODIVA_ASSERT_OWNER(owner);
    }).join();
    EXPECT_FALSE(owner.IsCurrentThread());
}

}  // namespace
