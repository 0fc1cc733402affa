#include "control/PendingReplyTable.h"

#include "control/TransactionCounter.h"
#include "platform/Event.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

using PendingReplyTableTest = Sandbox;

TEST_F(PendingReplyTableTest, ReplyIsCopiedToItsWaiterOnlyWhileItWaits)
{
    CPendingReplyTable table;
    CEvent event(CEvent::Mode::AutoReset);
    unsigned char buffer[8] = {};
    EXPECT_FALSE(table.PutReply(5, reinterpret_cast<const unsigned char*>("abc"), 3));
    ASSERT_TRUE(table.AddWaiter(5, &event, buffer, sizeof(buffer)));
    CEvent other(CEvent::Mode::AutoReset);
    unsigned char otherBuffer[8] = {};
    EXPECT_FALSE(table.AddWaiter(5, &other, otherBuffer, sizeof(otherBuffer)));  // the first keeps the id

    EXPECT_FALSE(table.PutReply(5, reinterpret_cast<const unsigned char*>("123456789"), 9));
    EXPECT_FALSE(event.Wait(0));
    EXPECT_EQ(ReadLogMessages(), std::vector<std::string> {" nReplyLen < nLen!"});
    EXPECT_TRUE(table.PutReply(5, reinterpret_cast<const unsigned char*>("12345678"), 8));  // exactly fits
    EXPECT_TRUE(event.Wait(0));
    EXPECT_EQ(table.GetWaiter(5)->nReceived, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 8), "12345678");
    // A duplicate reply is taken but leaves the first one as it is.
    EXPECT_TRUE(table.PutReply(5, reinterpret_cast<const unsigned char*>("abcdefg"), 7));
    EXPECT_EQ(table.GetWaiter(5)->nReceived, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 8), "12345678");

    table.RemoveWaiter(5, &other);  // not its waiter: stays
    EXPECT_TRUE(table.GetWaiter(5).has_value());
    table.RemoveWaiter(5, &event);
    EXPECT_FALSE(table.GetWaiter(5).has_value());
    EXPECT_FALSE(table.PutReply(5, reinterpret_cast<const unsigned char*>("abc"), 3));
}

TEST(TransactionCounterTest, IdsStartAtOneAndAreUniqueAcrossThreads)
{
    CTransactionCounter counter;
    EXPECT_EQ(counter.Next(), 1u);
    std::vector<std::jthread> threads;
    std::vector<std::vector<std::uint32_t>> ids(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1000; ++i)
                ids[t].push_back(counter.Next());
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::set<std::uint32_t> all;
    for (const auto& list : ids)
        all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), 4000u);
    EXPECT_EQ(*all.rbegin(), 4001u);
}
