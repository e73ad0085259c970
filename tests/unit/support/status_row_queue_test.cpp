#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/StatusRowQueue.h"

namespace {

TEST(StatusRowQueue, RowsComeOutInOrderWithTheirTimeAndConnection) {
    StatusRowQueue queue(4);
    EXPECT_TRUE(queue.TryPush(100, 1, "first"));
    EXPECT_TRUE(queue.TryPush(200, 2, "second"));
    StatusRow row;
    ASSERT_TRUE(queue.TryPop(row));
    EXPECT_EQ(row.fileTime, 100);
    EXPECT_EQ(row.connection, 1);
    EXPECT_STREQ(row.text, "first");
    ASSERT_TRUE(queue.TryPop(row));
    EXPECT_STREQ(row.text, "second");
    EXPECT_FALSE(queue.TryPop(row));
}

TEST(StatusRowQueue, AFullQueueDropsNewRowsAndCountsThem) {
    StatusRowQueue queue(3);  // rounded up to 4
    ASSERT_EQ(queue.Capacity(), 4u);
    for (int i = 0; i < 6; ++i) {
        queue.TryPush(i, i, std::to_string(i).c_str());
    }
    EXPECT_EQ(queue.Pushed(), 4u);
    EXPECT_EQ(queue.Dropped(), 2u);
    StatusRow row;
    std::vector<std::string> texts;
    while (queue.TryPop(row)) {
        texts.push_back(row.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"0", "1", "2", "3"}));
    // Room again once drained, and the slots are reused in order.
    EXPECT_TRUE(queue.TryPush(9, 9, "again"));
    ASSERT_TRUE(queue.TryPop(row));
    EXPECT_STREQ(row.text, "again");
}

TEST(StatusRowQueue, LongRowsAreCutAtTheRowLimit) {
    StatusRowQueue queue(2);
    const std::string longText(kStatusRowSize + 100, 'x');
    ASSERT_TRUE(queue.TryPush(0, 1, longText.c_str()));
    ASSERT_TRUE(queue.TryPush(0, 1, nullptr));
    StatusRow row;
    ASSERT_TRUE(queue.TryPop(row));
    EXPECT_EQ(std::strlen(row.text), static_cast<std::size_t>(kStatusRowMaxLength));
    ASSERT_TRUE(queue.TryPop(row));
    EXPECT_STREQ(row.text, "");
}

TEST(StatusRowQueue, PushersAndAPopperOnOtherThreadsLoseNothingThatWasAccepted) {
    StatusRowQueue queue(64);
    constexpr int kPerPusher = 20000;
    std::atomic<int> done{0};
    auto push = [&](int id) {
        for (int i = 0; i < kPerPusher; ++i) {
            const std::string text = std::to_string(id) + ":" + std::to_string(i);
            queue.TryPush(i, id, text.c_str());
        }
        done.fetch_add(1);
    };
    std::thread a(push, 1);
    std::thread b(push, 2);
    std::uint64_t popped = 0;
    int lastOf[3] = {-1, -1, -1};
    StatusRow row;
    for (;;) {
        const bool finished = done.load() == 2;
        if (!queue.TryPop(row)) {
            if (finished) {
                break;
            }
            continue;
        }
        ++popped;
        // Each pusher's rows come out in the order it pushed them, and whole.
        const std::string expected =
            std::to_string(row.connection) + ":" + std::to_string(row.fileTime);
        ASSERT_EQ(expected, row.text);
        ASSERT_GT(row.fileTime, lastOf[row.connection]);
        lastOf[row.connection] = static_cast<int>(row.fileTime);
    }
    a.join();
    b.join();
    EXPECT_EQ(popped, queue.Pushed());
    EXPECT_EQ(queue.Pushed() + queue.Dropped(), 2u * kPerPusher);
}

}  // namespace
