#include "footage/FootageRequests.h"

#include "depot/FleetHistory.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/SqliteFile.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

class FootageRequestsTest : public Sandbox {
protected:
    static FootageAsk Asking(const std::string& vehicle, std::vector<std::uint8_t> channels = {})
    {
        FootageAsk ask;
        ask.strVehicle = vehicle;
        ask.channels = std::move(channels);
        ask.tFrom = 1700000000;
        ask.tTo = 1700000600;
        ask.strReason = "incident at the depot gate";
        ask.strRequestedBy = "operator@192.0.2.7";
        return ask;
    }

    std::int64_t MustCreate(CFootageRequests& store, const FootageAsk& ask, std::uint32_t tNow = 100)
    {
        std::int64_t nId = 0;
        std::string error;
        EXPECT_EQ(store.Create(ask, tNow, nId, error), CFootageRequests::CreateResult::Created) << error;
        return nId;
    }

    static FootageRecording Recording(std::uint8_t nChannel, const std::string& name, std::uint32_t tStart, bool bFetched)
    {
        FootageRecording rec;
        rec.nChannel = nChannel;
        rec.strFileName = name;
        rec.tStart = tStart;
        rec.tEnd = tStart + 300;
        rec.strPath = "BUS/14-11-2023/ch01/" + name + ".mp4";
        rec.nSize = 1234;
        rec.bFetched = bFetched;
        return rec;
    }

    std::string DbPath() const { return At("fleet.db"); }
};

} // namespace

TEST_F(FootageRequestsTest, CreateGetListAndCancelSurviveAReopen)
{
    std::int64_t nFirst = 0, nSecond = 0, nThird = 0;
    {
        CFootageRequests store(DbPath());
        ASSERT_EQ(store.Open(), 0);
        nFirst = MustCreate(store, Asking("BUS-1", {2, 1}), 100);
        nSecond = MustCreate(store, Asking("BUS-2"), 200);
        nThird = MustCreate(store, Asking("BUS-1", {3}), 300);
        EXPECT_LT(nFirst, nSecond);
        EXPECT_LT(nSecond, nThird);
        EXPECT_EQ(store.Cancel(nSecond, 400), CFootageRequests::CancelResult::Cancelled);
        EXPECT_EQ(store.Cancel(nSecond, 401), CFootageRequests::CancelResult::Ended);
        EXPECT_EQ(store.Cancel(nThird + 100, 401), CFootageRequests::CancelResult::NotFound);
    }
    // A new object on the same file, as after a restart of the program.
    CFootageRequests store(DbPath());
    ASSERT_EQ(store.Open(), 0);
    std::optional<FootageRequest> first = store.Get(nFirst);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->ask.strVehicle, "BUS-1");
    EXPECT_EQ(first->ask.channels, (std::vector<std::uint8_t> {1, 2}));
    EXPECT_EQ(first->ask.tFrom, 1700000000u);
    EXPECT_EQ(first->ask.tTo, 1700000600u);
    EXPECT_EQ(first->ask.strReason, "incident at the depot gate");
    EXPECT_EQ(first->ask.strRequestedBy, "operator@192.0.2.7");
    EXPECT_EQ(first->tCreated, 100u);
    EXPECT_EQ(first->eState, FootageRequest::State::Waiting);
    ASSERT_EQ(first->history.size(), 1u);
    EXPECT_EQ(first->history[0].strState, "waiting");

    std::optional<FootageRequest> second = store.Get(nSecond);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->eState, FootageRequest::State::Cancelled);
    EXPECT_EQ(second->tStateChanged, 400u);

    // Newest first, in pages.
    std::vector<FootageRequest> page = store.List(2);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].nId, nThird);
    EXPECT_EQ(page[1].nId, nSecond);
    std::vector<FootageRequest> next = store.List(2, page.back().nId);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].nId, nFirst);

    // Only the vehicle's open requests go to its passes, oldest first.
    std::vector<FootageRequest> open = store.OpenRequests("BUS-1");
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[0].nId, nFirst);
    EXPECT_EQ(open[1].nId, nThird);
    EXPECT_TRUE(store.OpenRequests("BUS-2").empty());
    EXPECT_FALSE(store.StillOpen(nSecond));
    EXPECT_TRUE(store.StillOpen(nFirst));
}

TEST_F(FootageRequestsTest, ListPagesAreBoundedAndIdsAreNeverReused)
{
    CFootageRequests store(DbPath());
    ASSERT_EQ(store.Open(), 0);
    std::int64_t nLast = 0;
    for (std::size_t i = 0; i < CFootageRequests::kListMax + 5; ++i)
        nLast = MustCreate(store, Asking("BUS"));
    EXPECT_EQ(store.List(100000).size(), CFootageRequests::kListMax);
    // Deleting the newest row by hand must not let its id come back.
    ASSERT_EQ(SqliteFile(DbPath()).Exec("DELETE FROM footage_request WHERE id = " + std::to_string(nLast)), "");
    EXPECT_GT(MustCreate(store, Asking("BUS")), nLast);
}

TEST_F(FootageRequestsTest, InvalidRequestsAreRefusedWithAReason)
{
    CFootageRequests store(DbPath());
    ASSERT_EQ(store.Open(), 0);
    auto refused = [&](FootageAsk ask) {
        std::int64_t nId = -1;
        std::string error;
        EXPECT_EQ(store.Create(ask, 1, nId, error), CFootageRequests::CreateResult::Invalid);
        EXPECT_FALSE(error.empty());
        return error;
    };
    FootageAsk ask = Asking("BUS");
    ask.tTo = ask.tFrom;
    refused(ask);
    EXPECT_EQ(refused(Asking("../etc")), "vehicle name unusable");
    refused(Asking(""));
    refused(Asking(std::string(32, 'N')));
    refused(Asking("BUS", {0}));
    refused(Asking("BUS", {64}));
    refused(Asking("BUS", {2, 2}));
    ask = Asking("BUS");
    ask.tTo = ask.tFrom + CFootageRequests::kWindowMaxS + 1;
    refused(ask);
    ask = Asking("BUS");
    ask.strReason = "two\nlines";
    refused(ask);
    ask = Asking("BUS");
    ask.strRequestedBy.clear();
    refused(ask);
    EXPECT_TRUE(store.List(10).empty());
}

TEST_F(FootageRequestsTest, PassOutcomesSetTheStateWithReasonsAndAPartialOneIsRetried)
{
    CFootageRequests store(DbPath());
    ASSERT_EQ(store.Open(), 0);
    const std::int64_t nDone = MustCreate(store, Asking("BUS", {1}));
    const std::int64_t nPartial = MustCreate(store, Asking("BUS"));
    const std::int64_t nLacking = MustCreate(store, Asking("BUS", {1, 9}));

    for (std::int64_t nId : {nDone, nPartial, nLacking})
        store.OnTakenUp(nId, 500);
    EXPECT_EQ(store.Get(nDone)->eState, FootageRequest::State::Fetching);

    store.OnRecording(nDone, "BUS", Recording(1, "a", 1700000000, true));
    store.OnRecording(nDone, "BUS", Recording(1, "b", 1700000300, false));
    // Seen again at a later pass: listed once, still as fetched.
    store.OnRecording(nDone, "BUS", Recording(1, "a", 1700000000, false));
    FootageChannelResult whole {1, true, {}, {}};
    store.OnPassEnded(nDone, {1, 2}, {whole}, 600);

    FootageChannelResult failed {1, true, {}, {"ch01_x"}};
    FootageChannelResult unfinished {2, false, {}, {}};
    store.OnPassEnded(nPartial, {1, 2}, {failed, unfinished}, 600);

    FootageChannelResult lacking {1, true, {"20231114221320-20231114221500"}, {}};
    store.OnPassEnded(nLacking, {1, 2}, {lacking}, 600);

    std::optional<FootageRequest> done = store.Get(nDone);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->eState, FootageRequest::State::Done);
    EXPECT_TRUE(done->reasons.empty());
    ASSERT_EQ(done->recordings.size(), 2u);
    EXPECT_EQ(done->recordings[0].strFileName, "a");
    EXPECT_TRUE(done->recordings[0].bFetched);
    EXPECT_FALSE(done->recordings[1].bFetched);
    EXPECT_EQ(done->recordings[1].strPath, "BUS/14-11-2023/ch01/b.mp4");
    EXPECT_EQ(done->recordings[1].nSize, 1234u);
    std::vector<std::string> states;
    for (const FootageStateChange& change : done->history)
        states.push_back(change.strState);
    EXPECT_EQ(states, (std::vector<std::string> {"waiting", "fetching", "done"}));

    std::optional<FootageRequest> partial = store.Get(nPartial);
    EXPECT_EQ(partial->eState, FootageRequest::State::Partial);
    EXPECT_TRUE(partial->bRetry);
    EXPECT_EQ(partial->reasons,
              (std::vector<std::string> {"channel 1: ch01_x could not be fetched in this visit, retried at the next visit",
                                         "channel 2: not finished in this visit, retried at the next visit"}));
    std::optional<FootageRequest> lackingRequest = store.Get(nLacking);
    EXPECT_EQ(lackingRequest->eState, FootageRequest::State::Partial);
    EXPECT_FALSE(lackingRequest->bRetry);
    EXPECT_EQ(lackingRequest->reasons,
              (std::vector<std::string> {"channel 1: the recorder has no footage for 20231114221320-20231114221500",
                                         "channel 9: not downloaded from this vehicle"}));

    // Only the request with something left to fetch goes to the next pass.
    std::vector<FootageRequest> open = store.OpenRequests("BUS");
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].nId, nPartial);

    // Its retry stays partial while it is taken up; the same outcome adds no state;
    // the next complete pass makes it done.
    store.OnTakenUp(nPartial, 700);
    store.OnPassEnded(nPartial, {1, 2}, {failed, unfinished}, 700);
    EXPECT_EQ(store.Get(nPartial)->history.size(), 3u);
    store.OnPassEnded(nPartial, {1, 2}, {whole, FootageChannelResult {2, true, {}, {}}}, 800);
    EXPECT_EQ(store.Get(nPartial)->eState, FootageRequest::State::Done);
    EXPECT_EQ(store.Get(nPartial)->history.size(), 4u);

    // A request cancelled while a pass fetched it stays cancelled.
    const std::int64_t nCancelled = MustCreate(store, Asking("BUS"));
    store.OnTakenUp(nCancelled, 900);
    EXPECT_EQ(store.Cancel(nCancelled, 901), CFootageRequests::CancelResult::Cancelled);
    store.OnPassEnded(nCancelled, {1}, {whole}, 902);
    EXPECT_EQ(store.Get(nCancelled)->eState, FootageRequest::State::Cancelled);
    EXPECT_TRUE(LogHas("footage request " + std::to_string(nDone) + ": vehname=BUS, done"));
}

TEST_F(FootageRequestsTest, TheTablesJoinAnExistingFleetHistoryWhichKeepsWorking)
{
    {
        CFleetHistory history(DbPath());
        ASSERT_EQ(history.Open(), 0);
        history.OnArrival("BUS", "127.0.0.1:1", 10);
        history.Close();
    }
    CFleetHistory history(DbPath());
    ASSERT_EQ(history.Open(), 0);
    CFootageRequests store(DbPath());
    ASSERT_EQ(store.Open(), 0);
    const std::int64_t nId = MustCreate(store, Asking("BUS"));
    history.OnArrival("BUS", "127.0.0.1:1", 20);
    history.Flush();
    history.Close();
    store.Close();

    // The history opens the file again as its own (not as one of a newer program).
    CFleetHistory reopened(DbPath());
    ASSERT_EQ(reopened.Open(), 0);
    ASSERT_TRUE(reopened.Knows("BUS"));
    EXPECT_EQ(reopened.Snapshot(30).front().nVisits, 2u);
    std::vector<std::string> messages = ReadLogMessages();
    EXPECT_TRUE(std::none_of(messages.begin(), messages.end(),
                             [](const std::string& m) { return m.find("is damaged") != std::string::npos; }));
    CFootageRequests again(DbPath());
    ASSERT_EQ(again.Open(), 0);
    EXPECT_EQ(again.Get(nId)->ask.strVehicle, "BUS");
}

TEST_F(FootageRequestsTest, AFileOfANewerLayoutIsLeftAlone)
{
    {
        CFootageRequests store(DbPath());
        ASSERT_EQ(store.Open(), 0);
        MustCreate(store, Asking("BUS"));
    }
    ASSERT_EQ(SqliteFile(DbPath()).Exec("UPDATE footage_schema SET version = 99"), "");
    CFootageRequests store(DbPath());
    EXPECT_EQ(store.Open(), -1);
    std::int64_t nId = 0;
    std::string error;
    EXPECT_EQ(store.Create(Asking("BUS"), 1, nId, error), CFootageRequests::CreateResult::Failed);
    EXPECT_TRUE(store.List(10).empty());
}
