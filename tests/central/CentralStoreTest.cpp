// The depot's sender against a real PostgreSQL server: every fed table of fleet.db
// reaches the shared database, whatever happens to the connection.
#include "central/CentralStore.h"

#include "central/CentralSchema.h"
#include "central/CentralTestSupport.h"
#include "depot/FleetHistory.h"
#include "footage/AuditLog.h"
#include "footage/FootageRequests.h"
#include "footage/RecordingCatalogue.h"
#include "platform/Timing.h"
#include "store/LocalStore.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

constexpr std::uint32_t kT0 = 1700000000;

// Every fed table's owner, open on one fleet.db.
struct Tables {
    Tables(const std::string& db, const std::string& root) : history(db), requests(db)
    {
        EXPECT_EQ(history.Open(), 0);
        EXPECT_EQ(requests.Open(), 0);
        EXPECT_EQ(catalogue.Open(db, root), 0);
        EXPECT_EQ(audit.Open(db), 0);
    }
    CFleetHistory history;
    CFootageRequests requests;
    CRecordingCatalogue catalogue;
    CAuditLog audit;
};

class CentralStoreTest : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        Timing().nCentralPollMs = 20;
        Timing().nCentralRetryMs = 50;
        Timing().nCentralRetryMaxMs = 200;
        ASSERT_TRUE(Cluster().Start()) << Cluster().Why();
        static std::atomic<int> s_nDb {0};
        m_db = "fleet" + std::to_string(::getpid()) + "_" + std::to_string(s_nDb++);
        ASSERT_TRUE(Cluster().CreateDatabase(m_db)) << Cluster().Why();
    }

    static CPgCluster& Cluster() { return CPgCluster::Shared(); }
    std::string DbPath() const { return At("fleet.db"); }
    CentralSettings Settings(const std::string& depot = "north") const
    {
        return {Cluster().ConnInfo(m_db), depot, "https://" + depot + ".example:5991"};
    }

    // A depot's tables with a row or more in each, as the server writes them.
    void WriteFleet(CFleetHistory& history, CRecordingCatalogue& catalogue, CFootageRequests& requests,
                    CAuditLog& audit, const std::string& vehicle, std::uint32_t tNow)
    {
        history.OnArrival(vehicle, "192.0.2.9:7000", tNow);
        history.OnFileStored(vehicle, 4096, tNow + 10);
        history.OnCompleteOffload(vehicle, tNow + 20);
        history.Flush();
        CatalogueRow row;
        row.strPath = vehicle + "/" + DateDirName(tNow - 600) + "/" + ChannelDirName(1) + "/" +
                      FinalFileName(1, tNow - 600, tNow);
        row.nSize = 4096;
        row.tStoredAt = tNow + 10;
        ASSERT_TRUE(catalogue.Add(row));
        catalogue.Flush();
        FootageAsk ask {vehicle, {1}, tNow - 600, tNow, "gate incident", "operator@192.0.2.7"};
        std::int64_t nId = 0;
        std::string strError;
        ASSERT_EQ(requests.Create(ask, tNow, nId, strError), CFootageRequests::CreateResult::Created) << strError;
        ASSERT_TRUE(audit.Append({0, tNow, "192.0.2.7", "operator", "request.create", std::to_string(nId), ""}));
    }

    // Every fed table holds the same rows here and, under depot, there.
    void ExpectSameRows(const std::string& depot)
    {
        for (const CentralFeed& feed : CentralFeeds()) {
            std::vector<std::string> local = LocalRows(DbPath(), feed);
            EXPECT_EQ(CentralRows(Cluster(), m_db, depot, feed), local) << feed.szTable;
        }
    }

    static bool Drained(CCentralStore& store)
    {
        CentralStatus status = store.Status();
        return status.bConnected && status.nOutboxRows == 0;
    }

    std::string m_db;
};

} // namespace

TEST_F(CentralStoreTest, EveryTableReachesTheSharedDatabaseOnceAcrossACrashAndAnOutage)
{
    Tables tables(DbPath(), At("down"));
    auto& [history, requests, catalogue, audit] = tables;
    // Rows written before the shared database was configured go too.
    WriteFleet(history, catalogue, requests, audit, "BUS-1", kT0);
    COutbox outbox;
    std::string strError;
    ASSERT_EQ(outbox.Open(DbPath(), strError), 0) << strError;
    std::vector<OutboxRow> before = outbox.Take(COutbox::kTakeMax, strError);
    ASSERT_GE(before.size(), 6u);
    {
        CCentralStore store;
        ASSERT_EQ(store.Start(Settings(), DbPath()), 0);
        ASSERT_TRUE(WaitFor([&] { return Drained(store); }, std::chrono::seconds(20))) << store.Status().strLastError;
        ExpectSameRows("north");
        EXPECT_EQ(Cluster().Query(m_db, "SELECT name, url FROM depot"), "north|https://north.example:5991");
    }
    ASSERT_EQ(outbox.Depth().nRows, 0);

    // What the outbox held is put back after it was sent, as after a process that ended
    // between the shared commit and the local removal: sent again, it is the same row.
    SqliteFile db(DbPath());
    auto quote = [](std::string text) {
        for (std::size_t n = 0; (n = text.find('\'', n)) != std::string::npos; n += 2)
            text.insert(n, 1, '\'');
        return "'" + text + "'";
    };
    for (const OutboxRow& row : before)
        EXPECT_EQ(db.Exec("INSERT INTO central_outbox(tbl, key, queued_at, payload) VALUES(" + quote(row.strTable) +
                          ", " + quote(row.strKey) + ", " + std::to_string(row.tQueued) + ", " +
                          quote(row.strPayload) + ")"),
                  "");
    db.Close();
    CCentralStore store;
    ASSERT_EQ(store.Start(Settings(), DbPath()), 0);
    ASSERT_TRUE(WaitFor([&] { return Drained(store); }, std::chrono::seconds(20)));
    ExpectSameRows("north");
    EXPECT_EQ(store.Status().nSent, before.size());

    // The database goes away: writes go on, the outbox keeps them, one line says so.
    ASSERT_TRUE(Cluster().Stop());
    WriteFleet(history, catalogue, requests, audit, "BUS-2", kT0 + 3600);
    history.OnArrival("BUS-1", "192.0.2.9:7001", kT0 + 7200);
    history.Flush();
    ASSERT_TRUE(WaitFor([&] { return !store.Status().bConnected && store.Status().nOutboxRows > 0; },
                        std::chrono::seconds(20)))
        << store.Status().bConnected << " " << store.Status().nOutboxRows << " " << store.Status().strLastError;
    ASSERT_TRUE(WaitFor([] { return CountLogContaining("Central database not usable") == 1; }));
    EXPECT_GT(store.Status().tOldest, 0u);

    ASSERT_TRUE(Cluster().Start()) << Cluster().Why();
    ASSERT_TRUE(WaitFor([&] { return Drained(store); }, std::chrono::seconds(30))) << store.Status().strLastError;
    ExpectSameRows("north");
    EXPECT_EQ(CountLogContaining("Central database not usable"), 1u);
    EXPECT_EQ(Cluster().Query(m_db, "SELECT visits FROM vehicle WHERE depot='north' AND name='BUS-1'"), "2");
    store.Stop();
}

TEST_F(CentralStoreTest, ARefusedRowIsKeptAsideAndTheOthersGoOn)
{
    CFleetHistory history(DbPath());
    ASSERT_EQ(history.Open(), 0);
    // A recorder may name itself with bytes that are no UTF-8; the shared database
    // takes text only.
    history.OnArrival("BUS-\xff\xfe", "192.0.2.9:7000", kT0);
    history.OnArrival("BUS-2", "192.0.2.9:7001", kT0);
    history.Flush();
    CCentralStore store;
    ASSERT_EQ(store.Start(Settings(), DbPath()), 0);
    ASSERT_TRUE(WaitFor([&] { return Drained(store); }, std::chrono::seconds(20)));
    EXPECT_EQ(store.Status().nRejected, 1);
    EXPECT_EQ(CountLogContaining("Central database refused the vehicle row"), 1u);
    EXPECT_EQ(Cluster().Query(m_db, "SELECT name FROM vehicle"), "BUS-2");
    // Later rows are not held up by it.
    history.OnArrival("BUS-3", "192.0.2.9:7002", kT0 + 60);
    history.Flush();
    EXPECT_TRUE(WaitFor([&] { return Cluster().Query(m_db, "SELECT count(*) FROM vehicle") == "2"; },
                        std::chrono::seconds(20)));
}

TEST_F(CentralStoreTest, TwoDepotsStartingTogetherMigrateOnceAndKeepTheirRowsApart)
{
    std::filesystem::create_directories(Dir() / "south");
    const std::string southDb = (Dir() / "south" / "fleet.db").string();
    CFleetHistory north(DbPath()), south(southDb);
    ASSERT_EQ(north.Open(), 0);
    ASSERT_EQ(south.Open(), 0);
    north.OnArrival("BUS-1", "192.0.2.9:7000", kT0);
    south.OnArrival("BUS-1", "192.0.2.9:7000", kT0 + 86400);
    north.Flush();
    south.Flush();
    CCentralStore northStore, southStore;
    ASSERT_EQ(northStore.Start(Settings("north"), DbPath()), 0);
    ASSERT_EQ(southStore.Start(Settings("south"), southDb), 0);
    ASSERT_TRUE(WaitFor([&] { return Drained(northStore) && Drained(southStore); }, std::chrono::seconds(20)));
    EXPECT_EQ(Cluster().Query(m_db, "SELECT count(*) FROM schema_version"),
              std::to_string(CentralMigrations().size()));
    std::string strError;
    auto fleet = northStore.FleetAcrossDepots(strError);
    ASSERT_TRUE(fleet) << strError;
    ASSERT_EQ(fleet->size(), 2u);
    EXPECT_EQ((*fleet)[0].strDepot, "south");  // the newest first
    EXPECT_EQ((*fleet)[0].tLastSeen, kT0 + 86400);
    EXPECT_EQ((*fleet)[1].strDepot, "north");
}

TEST_F(CentralStoreTest, WithoutTheSettingNothingIsQueuedAndAnOldOutboxIsEmptied)
{
    CFleetHistory history(DbPath());
    ASSERT_EQ(history.Open(), 0);
    history.OnArrival("BUS-1", "192.0.2.9:7000", kT0);
    history.Flush();
    CCentralStore store;
    ASSERT_TRUE(Cluster().Stop());
    ASSERT_EQ(store.Start(Settings(), DbPath()), 0);
    EXPECT_EQ(store.Status().nOutboxRows, 1);
    store.Stop();
    ASSERT_EQ(store.Start(CentralSettings {}, DbPath()), 0);
    EXPECT_FALSE(store.Status().bEnabled);
    history.OnArrival("BUS-2", "192.0.2.9:7000", kT0);
    history.Flush();
    EXPECT_EQ(SqliteFile::QueryInt(DbPath(), "SELECT count(*) FROM central_outbox"), 0);
    // A depot name is needed with a connection string.
    EXPECT_EQ(store.Start(CentralSettings {Cluster().ConnInfo(m_db), "", ""}, DbPath()), -1);
    EXPECT_EQ(CountLogContaining("depotname is empty"), 1u);
}

TEST_F(CentralStoreTest, RowsRefusedForWantOfAGrantWaitUntilItIsGiven)
{
    CFleetHistory history(DbPath());
    ASSERT_EQ(history.Open(), 0);
    {
        // The schema, made by the owner.
        CCentralStore owner;
        ASSERT_EQ(owner.Start(Settings(), DbPath()), 0);
        ASSERT_TRUE(WaitFor([&] { return Drained(owner); }, std::chrono::seconds(20)));
    }
    const std::string role = "depot_" + m_db;
    ASSERT_EQ(Cluster().Query(m_db, "CREATE ROLE " + role + " LOGIN; GRANT SELECT ON schema_version TO " + role +
                                        "; GRANT SELECT, INSERT, UPDATE ON depot TO " + role + "; SELECT 1"),
              "1");
    history.OnArrival("BUS-1", "192.0.2.9:7000", kT0);
    history.Flush();
    CentralSettings limited = Settings();
    limited.strConnInfo.replace(limited.strConnInfo.find("user=zel"), 8, "user=" + role);
    CCentralStore store;
    ASSERT_EQ(store.Start(limited, DbPath()), 0);
    ASSERT_TRUE(WaitFor([&] { return store.Status().strLastError.find("permission denied") != std::string::npos; },
                        std::chrono::seconds(20)))
        << store.Status().strLastError;
    EXPECT_EQ(store.Status().nOutboxRows, 1);
    EXPECT_EQ(store.Status().nRejected, 0);
    // It tries again after pauses, not in a loop: no recovery is claimed meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(CountLogContaining("Central database not usable, rows wait in fleet.db: "), 1u);
    EXPECT_EQ(CountLogContaining("Central database connected"), 1u);  // the owner's

    ASSERT_EQ(Cluster().Query(m_db, "GRANT SELECT, INSERT, UPDATE ON vehicle TO " + role + "; SELECT 1"), "1");
    ASSERT_TRUE(WaitFor([&] { return Drained(store); }, std::chrono::seconds(20))) << store.Status().strLastError;
    EXPECT_EQ(Cluster().Query(m_db, "SELECT name FROM vehicle WHERE depot='north'"), "BUS-1");
    EXPECT_EQ(store.Status().nRejected, 0);
}
