#include "footage/AuditLog.h"

#include "depot/FleetHistory.h"
#include "support/Sandbox.h"
#include "support/SqliteFile.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

constexpr std::uint32_t kT0 = 1700000000;

class AuditLogTest : public Sandbox {
protected:
    std::string Db() const { return At("fleet.db"); }

    static AuditEntry Entry(const std::string& client, const std::string& action, const std::string& object,
                            std::uint32_t tTime)
    {
        AuditEntry entry;
        entry.tTime = tTime;
        entry.strClient = client;
        entry.strRole = "viewer";
        entry.strAction = action;
        entry.strObject = object;
        entry.strDetail = "detail of " + object;
        return entry;
    }

    std::vector<std::string> Objects(const CAuditLog& audit) const
    {
        std::vector<std::string> objects;
        for (const AuditEntry& entry : audit.List(CAuditLog::kMaxLimit).entries)
            objects.push_back(entry.strObject);
        return objects;
    }
};

TEST_F(AuditLogTest, EntriesListNewestFirstInPagesAndSurviveAReopen)
{
    {
        CAuditLog audit;
        ASSERT_EQ(audit.Open(Db()), 0);
        for (int i = 0; i < 25; ++i)
            ASSERT_TRUE(audit.Append(Entry("10.0.0." + std::to_string(i), "recording.download", std::to_string(i),
                                           kT0 + i)));
    }
    CAuditLog audit;
    ASSERT_EQ(audit.Open(Db()), 0);
    std::vector<std::string> objects;
    std::string after;
    int nPages = 0;
    do {
        AuditPage page = audit.List(10, after);
        ASSERT_TRUE(page.bValid);
        for (const AuditEntry& entry : page.entries)
            objects.push_back(entry.strObject);
        after = page.strNext;
        ++nPages;
    } while (!after.empty());
    EXPECT_EQ(nPages, 3);
    ASSERT_EQ(objects.size(), 25u);
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(objects[i], std::to_string(24 - i));

    AuditEntry first = audit.List(1).entries.at(0);
    EXPECT_EQ(first.tTime, kT0 + 24);
    EXPECT_EQ(first.strClient, "10.0.0.24");
    EXPECT_EQ(first.strRole, "viewer");
    EXPECT_EQ(first.strAction, "recording.download");
    EXPECT_EQ(first.strDetail, "detail of 24");
    // Time 0 means now; an over-long field is cut.
    AuditEntry now = Entry("c", "a", "late", 0);
    now.strDetail = std::string(5000, 'd');
    ASSERT_TRUE(audit.Append(now));
    AuditEntry stored = audit.List(1).entries.at(0);
    EXPECT_GT(stored.tTime, kT0);
    EXPECT_EQ(stored.strDetail.size(), CAuditLog::kFieldMax);

    EXPECT_FALSE(audit.List(10, "abc").bValid);
    EXPECT_FALSE(audit.List(10, "-3").bValid);
}

TEST_F(AuditLogTest, ThrottledEntriesGoInOncePerTenMinutesPerClientActionAndObject)
{
    CAuditLog audit;
    ASSERT_EQ(audit.Open(Db()), 0);
    EXPECT_TRUE(audit.AppendThrottled(Entry("A", "list", "x", kT0)));
    EXPECT_FALSE(audit.AppendThrottled(Entry("A", "list", "x", kT0 + 599)));
    EXPECT_TRUE(audit.AppendThrottled(Entry("B", "list", "x", kT0 + 1)));
    EXPECT_TRUE(audit.AppendThrottled(Entry("A", "view", "x", kT0 + 2)));
    EXPECT_TRUE(audit.AppendThrottled(Entry("A", "list", "y", kT0 + 3)));
    EXPECT_TRUE(audit.AppendThrottled(Entry("A", "list", "x", kT0 + 600)));
    EXPECT_FALSE(audit.AppendThrottled(Entry("A", "list", "x", kT0 + 1199)));
    // A clock set back lets the entry through rather than hiding it.
    EXPECT_TRUE(audit.AppendThrottled(Entry("A", "list", "x", kT0 - 100)));
    EXPECT_EQ(Objects(audit).size(), 6u);

    // The memory is bounded: with kThrottleMax other keys since, the first is forgotten
    // and goes in again.
    for (std::size_t i = 0; i < CAuditLog::kThrottleMax; ++i)
        audit.AppendThrottled(Entry("poller", "list", std::to_string(i), kT0 + 700));
    EXPECT_TRUE(audit.AppendThrottled(Entry("A", "list", "y", kT0 + 701)));
    EXPECT_FALSE(audit.AppendThrottled(Entry("poller", "list", std::to_string(CAuditLog::kThrottleMax - 1), kT0 + 702)));
}

TEST_F(AuditLogTest, NothingDeletesOrChangesTheTrailAndTheHistoryOpensBesideIt)
{
    CAuditLog audit;
    ASSERT_EQ(audit.Open(Db()), 0);
    ASSERT_TRUE(audit.Append(Entry("A", "request.create", "17", kT0)));
    SqliteFile other(Db());
    ASSERT_TRUE(other.IsOpen());
    EXPECT_NE(other.Exec("DELETE FROM audit"), "");
    EXPECT_NE(other.Exec("UPDATE audit SET client='B'"), "");
    other.Close();
    ASSERT_EQ(audit.List(10).entries.size(), 1u);
    EXPECT_EQ(audit.List(10).entries[0].strClient, "A");

    CFleetHistory history(Db());
    ASSERT_EQ(history.Open(), 0);
    history.OnArrival("BUS1", "10.0.0.1:1", kT0);
    history.Flush();
    EXPECT_TRUE(audit.Append(Entry("A", "request.create", "18", kT0 + 1)));
    EXPECT_EQ(audit.List(10).entries.size(), 2u);
}

} // namespace
