// Two depots sharing one fleet decide through the shared database which of them
// fetches each footage request: exactly one, the one the vehicle is at.
#include "central/CentralStore.h"

#include "central/CentralTestSupport.h"
#include "depot/FleetHistory.h"
#include "footage/FootageRequests.h"
#include "platform/Timing.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

namespace {

constexpr std::uint32_t kT0 = 1700000000;

// One depot: its fleet.db with the request tables, and its sender.
struct Depot {
    Depot(const std::filesystem::path& dir, const std::string& name) : strName(name), history(Db(dir)), requests(Db(dir))
    {
        std::filesystem::create_directories(dir);
        history.Open();
        requests.Open();
    }
    static std::string Db(const std::filesystem::path& dir) { return (dir / "fleet.db").string(); }

    std::string strName;
    CFleetHistory history;
    CFootageRequests requests;
    CCentralStore store;
};

class RequestBrokerTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        Timing().nCentralPollMs = 20;
        Timing().nCentralRetryMs = 50;
        ASSERT_TRUE(Cluster().Start()) << Cluster().Why();
        static std::atomic<int> s_nDb {0};
        m_db = "broker" + std::to_string(::getpid()) + "_" + std::to_string(s_nDb++);
        ASSERT_TRUE(Cluster().CreateDatabase(m_db)) << Cluster().Why();
        m_north = std::make_unique<Depot>(Dir() / "north", "north");
        m_south = std::make_unique<Depot>(Dir() / "south", "south");
    }
    void TearDown() override
    {
        m_north.reset();
        m_south.reset();
        Sandbox::TearDown();
    }

    static CPgCluster& Cluster() { return CPgCluster::Shared(); }

    void StartSenders()
    {
        for (Depot* pDepot : {m_north.get(), m_south.get()})
            ASSERT_EQ(pDepot->store.Start({Cluster().ConnInfo(m_db), pDepot->strName, ""},
                                          Depot::Db(Dir() / pDepot->strName), &pDepot->requests),
                      0);
    }

    static std::int64_t Ask(Depot& depot, const std::string& vehicle, std::uint32_t tFrom)
    {
        std::int64_t nId = 0;
        std::string strError;
        EXPECT_EQ(depot.requests.Create({vehicle, {1}, tFrom, tFrom + 600, "incident", "operator@192.0.2.7"}, kT0,
                                        nId, strError),
                  CFootageRequests::CreateResult::Created)
            << strError;
        return nId;
    }

    static bool Sent(Depot& depot)
    {
        CentralStatus status = depot.store.Status();
        return status.bConnected && status.nOutboxRows == 0;
    }

    std::string Query(const std::string& sql) { return Cluster().Query(m_db, sql); }

    std::string m_db;
    std::unique_ptr<Depot> m_north;
    std::unique_ptr<Depot> m_south;
};

} // namespace

TEST_F(RequestBrokerTest, ARequestMadeAtOneDepotIsFetchedWhereTheVehicleAppearsAndFollowedAtItsOrigin)
{
    StartSenders();
    const std::int64_t nId = Ask(*m_north, "BUS-1", kT0 - 3600);
    ASSERT_TRUE(WaitFor([&] { return Sent(*m_north); }, std::chrono::seconds(20)));
    // Not taken while the vehicle is nowhere: neither depot's passes fetch it.
    EXPECT_TRUE(m_north->requests.OpenRequests("BUS-1").empty());

    m_south->store.VehicleSeen("BUS-1");
    ASSERT_TRUE(WaitFor([&] { return m_south->requests.OpenRequests("BUS-1").size() == 1; }, std::chrono::seconds(20)));
    FootageRequest copy = m_south->requests.OpenRequests("BUS-1")[0];
    EXPECT_EQ(copy.strOriginDepot, "north");
    EXPECT_EQ(copy.nOriginId, nId);
    EXPECT_EQ(copy.strTakenBy, "south");
    EXPECT_EQ(copy.ask.tFrom, kT0 - 3600);
    EXPECT_EQ(copy.ask.strReason, "incident");
    ASSERT_TRUE(WaitFor([&] { return m_north->requests.Get(nId)->strTakenBy == "south"; }, std::chrono::seconds(20)));
    // Seen at the origin later, the vehicle is not given the request again.
    m_north->store.VehicleSeen("BUS-1");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(m_north->requests.OpenRequests("BUS-1").empty());

    // The taker's pass ends it; the origin shows the taker's state.
    m_south->requests.OnTakenUp(copy.nId, kT0 + 10);
    m_south->requests.OnPassEnded(copy.nId, {1}, {FootageChannelResult {1, true, {}, {}}}, kT0 + 20);
    ASSERT_EQ(m_south->requests.Get(copy.nId)->eState, FootageRequest::State::Done);
    EXPECT_TRUE(WaitFor([&] { return m_north->requests.Get(nId)->eState == FootageRequest::State::Done; },
                        std::chrono::seconds(20)));
    EXPECT_EQ(Query("SELECT count(*) FROM request_claim"), "1");
}

TEST_F(RequestBrokerTest, WhenBothDepotsSeeTheVehicleAtOnceExactlyOneTakesEachRequest)
{
    StartSenders();
    constexpr int kRequests = 12;
    for (int i = 0; i < kRequests; ++i)
        Ask(i % 2 ? *m_north : *m_south, "BUS-2", kT0 - 3600 * (i + 1));
    ASSERT_TRUE(WaitFor([&] { return Sent(*m_north) && Sent(*m_south); }, std::chrono::seconds(20)));
    std::thread north([&] { m_north->store.VehicleSeen("BUS-2"); });
    std::thread south([&] { m_south->store.VehicleSeen("BUS-2"); });
    north.join();
    south.join();
    ASSERT_TRUE(WaitFor([&] { return Query("SELECT count(*) FROM request_claim") == std::to_string(kRequests); },
                        std::chrono::seconds(20)));
    // Every copy is stored before the depots settle; then each request is in exactly
    // one depot's passes.
    ASSERT_TRUE(WaitFor(
        [&] {
            return m_north->requests.OpenRequests("BUS-2").size() + m_south->requests.OpenRequests("BUS-2").size() ==
                   kRequests;
        },
        std::chrono::seconds(20)));
    std::set<std::pair<std::string, std::int64_t>> taken;
    for (Depot* pDepot : {m_north.get(), m_south.get()}) {
        for (const FootageRequest& request : pDepot->requests.OpenRequests("BUS-2")) {
            const std::string origin = request.strOriginDepot.empty() ? pDepot->strName : request.strOriginDepot;
            const std::int64_t nOrigin = request.strOriginDepot.empty() ? request.nId : request.nOriginId;
            EXPECT_TRUE(taken.insert({origin, nOrigin}).second) << origin << " " << nOrigin << " taken twice";
            EXPECT_EQ(Query("SELECT taken_by FROM request_claim WHERE origin_depot='" + origin +
                            "' AND origin_id=" + std::to_string(nOrigin)),
                      pDepot->strName);
        }
    }
    EXPECT_EQ(taken.size(), static_cast<std::size_t>(kRequests));
}

TEST_F(RequestBrokerTest, ARequestWrittenIntoTheSharedDatabaseIsNoticedAndACancelledOneStops)
{
    // Only a notification can make the south depot look again within the test's time.
    Timing().nCentralRequestPollMs = 600000;
    StartSenders();
    m_south->store.VehicleSeen("BUS-3");
    ASSERT_TRUE(WaitFor([&] { return Sent(*m_south); }, std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(Query("INSERT INTO footage_request(depot, id, vehicle, channels, time_from, time_to, reason,"
                    " requested_by, created_at, state, reasons, retry, state_changed_at)"
                    " VALUES('hq', 7, 'BUS-3', '1,2', 1699990000, 1699990600, 'complaint', 'head office',"
                    " 1699999999, 'waiting', '[]', 0, 1699999999) RETURNING id"),
              "7");
    ASSERT_TRUE(WaitFor([&] { return m_south->requests.OpenRequests("BUS-3").size() == 1; }, std::chrono::seconds(10)));
    FootageRequest copy = m_south->requests.OpenRequests("BUS-3")[0];
    EXPECT_EQ(copy.strOriginDepot, "hq");
    EXPECT_EQ(copy.ask.channels, (std::vector<std::uint8_t> {1, 2}));

    // Head office cancels it: the copy stops being fetched. (Timings change only while
    // no sender runs.)
    m_north->store.Stop();
    m_south->store.Stop();
    Timing().nCentralRequestPollMs = 50;
    StartSenders();
    ASSERT_EQ(Query("UPDATE footage_request SET state='cancelled' WHERE depot='hq' AND id=7 RETURNING id"), "7");
    EXPECT_TRUE(WaitFor([&] { return m_south->requests.Get(copy.nId)->eState == FootageRequest::State::Cancelled; },
                        std::chrono::seconds(10)));
    EXPECT_TRUE(m_south->requests.OpenRequests("BUS-3").empty());
}
