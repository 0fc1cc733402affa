// The depot's feed of the shared fleet database, against a PostgreSQL server of its
// own (initdb in a temporary directory, loopback, fsync off) and zeldownloadd run as
// its own process with the recorder simulator in this one.
//
//   CentralSyncBench [--rows N] [--vehicles V] [--channels C] [--files R] [--size BYTES]
//                    [--tput-vehicles V] [--tput-channels C] [--tput-files R] [--tput-size BYTES]
//                    [--runs N] [--seconds S] [--aim-rows-per-s N] [--aim-p99-ms N]
//
// Three measurements, each printed beside its aim, with the load average of the machine:
//   1. drain: fleet.db is given --rows catalogue rows before the server starts, with the
//      database stopped, so that the outbox holds them all; the database is then
//      started, and the rows per second are taken from the sender's connecting to the
//      outbox's being empty (polled from /api/v1/status), checked against the rows
//      PostgreSQL then holds;
//   2. latency: a fleet of --vehicles small recorders downloads; each recording's time
//      from taking its finished name in the download tree (inotify) to its row being
//      committed centrally (a trigger in the bench's database notifies this process);
//      p50 and p99. The catalogue's write period and the sender's poll period
//      (nCatalogueFlushMs, nCentralPollMs) add up to 400 ms of it at most;
//   3. throughput: the same fleet (--tput-*) downloaded --runs times each with the
//      central store off and on, alternating, each run in a fresh server; MB/s (10^6
//      bytes) from the first stored byte to the last finished file.
// --seconds bounds each wait. Figures only: it asserts nothing, but exits 1 when a phase
// did not complete or the database lacks rows.

#include "bench/support/BenchOptions.h"
#include "bench/support/ServerProcess.h"
#include "central/PgConnection.h"
#include "footage/RecordingCatalogue.h"
#include "platform/Mutex.h"
#include "platform/MutexLock.h"
#include "platform/Socket.h"
#include "platform/System.h"
#include "platform/ThreadSafety.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "store/LocalStore.h"
#include "tests/support/PgCluster.h"
#include "tools/dvrsim/DvrSimulator.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Config {
    std::uint64_t nRows = 100000;         // 1: catalogue rows waiting in the outbox
    int nVehicles = 300;                  // 2: the fleet whose rows are timed
    int nChannels = 2;
    int nFiles = 2;
    std::uint32_t nSize = 64 * 1024;
    int nTputVehicles = 30;               // 3: the fleet downloaded with and without
    int nTputChannels = 2;
    int nTputFiles = 24;
    std::uint32_t nTputSize = 2u << 20;
    int nRuns = 3;                        // of each kind
    int nSeconds = 180;                   // longest wait of any step
    std::uint32_t nAimRowsPerS = 5000;
    std::uint32_t nAimP99Ms = 1000;
};

constexpr std::uint32_t kT0 = 1700000000;
constexpr std::uint32_t kRecSeconds = 60;
constexpr const char* kDepot = "BENCH";

std::int64_t NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double SecondsSince(std::int64_t nStartUs)
{
    return static_cast<double>(std::max<std::int64_t>(1, NowUs() - nStartUs)) / 1e6;
}

// The machine is shared: every figure is printed with the load it was taken under.
std::string LoadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return "load average " + one + ", " + five + ", " + fifteen;
}

const char* Verdict(bool bMet)
{
    return bMet ? "met" : "MISSED";
}

double Percentile(std::vector<double> values, double dPart)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(dPart * static_cast<double>(values.size())))];
}

// Paths (relative to a root) and when each was first noted. Any thread.
class CArrivals {
public:
    void Note(const std::string& path, std::int64_t nUs) EXCLUDES(m_lock)
    {
        CMutexLock guard(m_lock);
        m_times.emplace(path, nUs);
    }
    std::map<std::string, std::int64_t> Copy() const EXCLUDES(m_lock)
    {
        CMutexLock guard(m_lock);
        return m_times;
    }
    std::size_t Count() const EXCLUDES(m_lock)
    {
        CMutexLock guard(m_lock);
        return m_times.size();
    }

private:
    mutable CMutex m_lock;
    std::map<std::string, std::int64_t> m_times GUARDED_BY(m_lock);
};

// Notes the moment every .mp4 file below root takes its name (a rename or a link into
// place), by inotify on every directory of the tree. A directory made before its watch
// is read once when the watch is added, so nothing made in between is missed. Its own
// thread; built and destroyed by the bench thread.
class CStoreWatch {
public:
    explicit CStoreWatch(fs::path root) : m_root(std::move(root))
    {
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd >= 0)
            x_Add(m_root);
        m_thread = std::thread([this] { x_Run(); });
    }
    ~CStoreWatch()
    {
        m_bStop = true;
        m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CStoreWatch(const CStoreWatch&) = delete;
    CStoreWatch& operator=(const CStoreWatch&) = delete;

    bool IsValid() const { return m_fd >= 0; }
    const CArrivals& Stored() const { return m_stored; }
    // Watches that could not be added and event queue overflows: either loses times.
    int Problems() const { return m_nProblems.load(); }

private:
    void x_Add(const fs::path& dir)
    {
        const int wd = ::inotify_add_watch(m_fd, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
        if (wd < 0) {
            ++m_nProblems;
            return;
        }
        m_dirs[wd] = dir;
        std::error_code ec;
        for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
            x_Found(it->path(), it->is_directory(ec));
    }
    void x_Found(const fs::path& path, bool bDir)
    {
        if (bDir)
            x_Add(path);
        else if (path.extension() == ".mp4")
            m_stored.Note(path.lexically_relative(m_root).string(), NowUs());
    }
    void x_Run()
    {
        alignas(inotify_event) char buf[64 * 1024];
        while (!m_bStop && m_fd >= 0) {
            pollfd item {m_fd, POLLIN, 0};
            if (::poll(&item, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(m_fd, buf, sizeof(buf));
            for (ssize_t nAt = 0; nAt < n;) {
                const auto* pEvent = reinterpret_cast<const inotify_event*>(buf + nAt);
                nAt += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
                if (pEvent->mask & IN_Q_OVERFLOW)
                    ++m_nProblems;
                auto dir = m_dirs.find(pEvent->wd);
                if (dir != m_dirs.end() && pEvent->len > 0)
                    x_Found(dir->second / pEvent->name, (pEvent->mask & IN_ISDIR) != 0);
            }
        }
    }

    const fs::path m_root;
    int m_fd = -1;
    std::map<int, fs::path> m_dirs;  // the watch thread's once it runs
    CArrivals m_stored;
    std::atomic<int> m_nProblems {0};
    std::atomic<bool> m_bStop {false};
    std::thread m_thread;
};

// Makes every new row of the table recording in database connInfo announce its path on
// commit, and notes when each announcement arrives. Its own thread and connection.
class CRowListener {
public:
    bool Start(const std::string& connInfo, std::string& strError)
    {
        if (!m_conn.Connect(connInfo, 10000, nullptr, strError))
            return false;
        // An AFTER INSERT trigger: a row updated later (its hash) is not new, and a
        // notification is delivered only when its transaction commits.
        PgResult result = m_conn.Exec(
            "CREATE FUNCTION bench_row_seen() RETURNS trigger LANGUAGE plpgsql AS"
            " $$ BEGIN PERFORM pg_notify('bench_row_seen', NEW.path); RETURN NULL; END $$;"
            " CREATE TRIGGER bench_row_seen AFTER INSERT ON recording"
            " FOR EACH ROW EXECUTE FUNCTION bench_row_seen();"
            " LISTEN bench_row_seen",
            {}, 10000, nullptr);
        if (!result.bOk) {
            strError = result.strError;
            return false;
        }
        m_thread = std::thread([this] { x_Run(); });
        return true;
    }
    ~CRowListener()
    {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    const CArrivals& Seen() const { return m_seen; }
    bool Lost() const { return m_bLost.load(); }

private:
    void x_Run()
    {
        while (!m_bStop) {
            if (!m_conn.WaitForInput(100, nullptr)) {
                m_bLost = true;
                return;
            }
            const std::int64_t nNow = NowUs();
            for (const auto& [channel, payload] : m_conn.TakeNotifications())
                m_seen.Note(payload, nNow);
        }
    }

    CPgConnection m_conn;  // the listener thread's once it runs
    CArrivals m_seen;
    std::atomic<bool> m_bStop {false};
    std::atomic<bool> m_bLost {false};
    std::thread m_thread;
};

// The server's "central" status; an empty object while it cannot be read.
nlohmann::json CentralStatus(std::uint16_t nWebPort)
{
    httplib::Client client("127.0.0.1", nWebPort);
    client.set_connection_timeout(2);
    client.set_read_timeout(5);
    auto res = client.Get("/api/v1/status");
    if (!res || res->status != 200)
        return nlohmann::json::object();
    nlohmann::json status = nlohmann::json::parse(res->body, nullptr, false);
    if (!status.is_object() || !status.contains("central") || !status["central"].is_object())
        return nlohmann::json::object();
    return status["central"];
}

std::int64_t OutboxRows(const nlohmann::json& central)
{
    return central.contains("outbox_rows") ? central["outbox_rows"].get<std::int64_t>() : -1;
}

bool Connected(const nlohmann::json& central)
{
    return central.value("connected", false);
}

// Polls the status until done(central) or nSeconds passed; the time it took, or -1.
template <typename Done>
double WaitStatus(std::uint16_t nWebPort, int nSeconds, int nPeriodMs, Done done)
{
    const std::int64_t nStart = NowUs();
    while (SecondsSince(nStart) < nSeconds) {
        if (done(CentralStatus(nWebPort)))
            return SecondsSince(nStart);
        std::this_thread::sleep_for(std::chrono::milliseconds(nPeriodMs));
    }
    return -1;
}

// A server in a scratch directory of its own, with its dashboard on a free port and,
// with connInfo, the shared database on.
struct Depot {
    std::unique_ptr<CServerProcess> pServer;
    std::uint16_t nWebPort = 0;
};

Depot MakeDepot(const std::string& connInfo, int nVehicles)
{
    ServerSettings settings = DefaultSettings();
    settings.tStart = kT0;
    settings.tStop = kT0 + 86400 * 30;
    DepotSettings depot;
    depot.nMaxVehicles = static_cast<std::uint32_t>(nVehicles);
    Depot made;
    made.pServer = std::make_unique<CServerProcess>(settings, depot);
    made.nWebPort = CSocket::ListenTcp("127.0.0.1", 0).LocalPort();
    CSettingsFile file((made.pServer->Dir() / "QorConfig.xml").string());
    file.WriteValue("httpport", std::to_string(made.nWebPort));
    if (!connInfo.empty()) {
        file.WriteValue("centraldb", connInfo);
        file.WriteValue("depotname", kDepot);
    }
    return made;
}

SimOptions FleetOptions(std::uint16_t nServerPort, const std::string& prefix, int nVehicles, int nChannels,
                        int nFiles, std::uint32_t nSize)
{
    SimOptions options;
    options.nServerPort = nServerPort;
    options.nVehicles = nVehicles;
    options.strNamePrefix = prefix;
    options.nChannels = nChannels;
    options.nRecordings = nFiles;
    options.nRecBytes = nSize;
    options.nRecSeconds = kRecSeconds;
    options.tStart = kT0;
    options.nKeepAliveMs = nVehicles > 100 ? 2000 : 1000;
    options.nVerbosity = 0;
    return options;
}

// The catalogue's tables in fleet.db at db, then nRows rows of finished, hashed
// recordings (none of them on disk) in one transaction.
bool FillCatalogue(const fs::path& db, const fs::path& store, std::uint64_t nRows)
{
    {
        CRecordingCatalogue catalogue;
        if (catalogue.Open(db.string(), store.string()) != 0)
            return false;
    }
    sqlite3* pDb = nullptr;
    if (sqlite3_open(db.c_str(), &pDb) != SQLITE_OK)
        return false;
    sqlite3_exec(pDb, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* p = nullptr;
    sqlite3_prepare_v2(pDb,
                       "INSERT INTO recording(vehicle, channel, start_time, end_time, size, path, stored_at, sha256,"
                       " crc32) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                       -1, &p, nullptr);
    const std::string sha(64, 'a');
    bool bOk = p != nullptr;
    for (std::uint64_t n = 0; n < nRows && bOk; ++n) {
        char szVehicle[16];
        std::snprintf(szVehicle, sizeof(szVehicle), "OLD%04d", static_cast<int>(n % 1000));
        const int nChannel = static_cast<int>(n / 1000 % 4) + 1;
        const auto tStart = static_cast<std::uint32_t>(kT0 + n / 4000 * 600);
        const std::string path = std::string(szVehicle) + "/" + DateDirName(tStart) + "/" + ChannelDirName(nChannel) +
                                 "/" + FinalFileName(nChannel, tStart, tStart + 600);
        sqlite3_bind_text(p, 1, szVehicle, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(p, 2, nChannel);
        sqlite3_bind_int64(p, 3, tStart);
        sqlite3_bind_int64(p, 4, tStart + 600);
        sqlite3_bind_int64(p, 5, 50000000);
        sqlite3_bind_text(p, 6, path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(p, 7, tStart + 630);
        sqlite3_bind_text(p, 8, sha.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(p, 9, static_cast<std::int64_t>(n));
        bOk = sqlite3_step(p) == SQLITE_DONE;
        sqlite3_reset(p);
    }
    sqlite3_finalize(p);
    sqlite3_exec(pDb, "INSERT OR REPLACE INTO footage_meta(name, value) VALUES('recording_longest', 600)", nullptr,
                 nullptr, nullptr);
    bOk = sqlite3_exec(pDb, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK && bOk;
    if (!bOk)
        std::fprintf(stderr, "fill failed: %s\n", sqlite3_errmsg(pDb));
    sqlite3_close(pDb);
    return bOk;
}

std::uint64_t CentralCount(CPgCluster& cluster, const std::string& db, const std::string& table)
{
    return std::strtoull(cluster.Query(db, "SELECT count(*) FROM " + table).c_str(), nullptr, 10);
}

// 1. Rows per second from a full outbox; false when it did not drain.
bool MeasureDrain(CPgCluster& cluster, const Config& config)
{
    const std::string db = "drain";
    if (!cluster.CreateDatabase(db) || !cluster.Stop()) {
        std::fprintf(stderr, "drain: %s\n", cluster.Why().c_str());
        return false;
    }
    Depot depot = MakeDepot(cluster.ConnInfo(db), 1);
    std::int64_t nStart = NowUs();
    if (!FillCatalogue(depot.pServer->Dir() / "fleet.db", depot.pServer->Store(), config.nRows))
        return false;
    std::printf("1. drain: %llu catalogue rows written to fleet.db in %.1f s\n",
                static_cast<unsigned long long>(config.nRows), SecondsSince(nStart));
    nStart = NowUs();
    // The start queues every row (the feed's triggers are new to the file); the database
    // is down, so they stay.
    const bool bStarted = depot.pServer->Start();
    const double dQueued = WaitStatus(depot.nWebPort, config.nSeconds, 100, [&](const nlohmann::json& central) {
        return OutboxRows(central) >= static_cast<std::int64_t>(config.nRows);
    });
    if (dQueued < 0) {
        std::fprintf(stderr, "drain: the outbox did not fill (server started: %s)\n", bStarted ? "yes" : "no");
        return false;
    }
    std::printf("   outbox filled in %.1f s of the server's start\n", SecondsSince(nStart));
    const std::int64_t nPgStart = NowUs();
    if (!cluster.Start()) {
        std::fprintf(stderr, "drain: %s\n", cluster.Why().c_str());
        return false;
    }
    // The sender retries with a growing wait; the drain is timed from its connecting.
    if (WaitStatus(depot.nWebPort, config.nSeconds, 20, Connected) < 0) {
        std::fprintf(stderr, "drain: the server did not connect\n");
        return false;
    }
    const std::int64_t nConnected = NowUs();
    const double dDrain = WaitStatus(depot.nWebPort, config.nSeconds, 20,
                                     [](const nlohmann::json& central) { return OutboxRows(central) == 0; });
    const double dConnect = static_cast<double>(nConnected - nPgStart) / 1e6;
    depot.pServer->Stop();
    const std::uint64_t nCentral = CentralCount(cluster, db, "recording");
    const double dRate = dDrain > 0 ? static_cast<double>(config.nRows) / dDrain : 0;
    std::printf("   database up; the sender connected %.1f s later; the outbox drained in %.2f s%s\n", dConnect,
                dDrain, dDrain < 0 ? " (NOT within --seconds)" : "");
    std::printf("   rows in PostgreSQL: %llu of %llu\n", static_cast<unsigned long long>(nCentral),
                static_cast<unsigned long long>(config.nRows));
    std::printf("   aim (--aim-rows-per-s): drain at least %u rows/s: %.0f rows/s, %s (%s)\n", config.nAimRowsPerS, dRate,
                Verdict(dRate >= config.nAimRowsPerS), LoadAverage().c_str());
    std::fflush(stdout);
    return dDrain > 0 && nCentral == config.nRows;
}

// 2. Stored-to-central times of a fleet's recordings; false when some never arrived.
bool MeasureLatency(CPgCluster& cluster, const Config& config)
{
    const std::string db = "latency";
    if (!cluster.Start() || !cluster.CreateDatabase(db)) {
        std::fprintf(stderr, "latency: %s\n", cluster.Why().c_str());
        return false;
    }
    Depot depot = MakeDepot(cluster.ConnInfo(db), config.nVehicles);
    fs::create_directories(depot.pServer->Store());
    // Connected means the schema is made: the trigger needs the table.
    if (!depot.pServer->Start() || WaitStatus(depot.nWebPort, config.nSeconds, 50, Connected) < 0) {
        std::fprintf(stderr, "latency: the server did not start or connect\n");
        return false;
    }
    CRowListener listener;
    std::string strError;
    if (!listener.Start(cluster.ConnInfo(db), strError)) {
        std::fprintf(stderr, "latency: %s\n", strError.c_str());
        return false;
    }
    CStoreWatch watch(depot.pServer->Store());
    if (!watch.IsValid()) {
        std::fprintf(stderr, "latency: inotify: %s\n", std::strerror(errno));
        return false;
    }
    const std::size_t nExpected = static_cast<std::size_t>(config.nVehicles) * config.nChannels * config.nFiles;
    const std::int64_t nStart = NowUs();
    {
        CDvrSimulator sim(FleetOptions(depot.pServer->Port(), "LAT", config.nVehicles, config.nChannels,
                                       config.nFiles, config.nSize));
        if (sim.Start() != 0) {
            std::fprintf(stderr, "latency: the simulator could not start\n");
            return false;
        }
        while (SecondsSince(nStart) < config.nSeconds &&
               (watch.Stored().Count() < nExpected || listener.Seen().Count() < nExpected) && !listener.Lost())
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const double dSeconds = SecondsSince(nStart);
    const std::map<std::string, std::int64_t> stored = watch.Stored().Copy();
    const std::map<std::string, std::int64_t> seen = listener.Seen().Copy();
    std::vector<double> latencies;
    std::size_t nUnmatched = 0;
    for (const auto& [path, nSeenUs] : seen) {
        auto it = stored.find(path);
        if (it == stored.end())
            ++nUnmatched;
        else
            latencies.push_back(static_cast<double>(nSeenUs - it->second) / 1000.0);
    }
    depot.pServer->Stop();
    const double dP50 = Percentile(latencies, 0.5), dP99 = Percentile(latencies, 0.99);
    std::printf("2. latency: %d vehicles x %d channels x %d recordings of %u bytes: %zu stored, %zu seen centrally "
                "(%zu of them not seen stored%s) in %.1f s\n",
                config.nVehicles, config.nChannels, config.nFiles, config.nSize, stored.size(), seen.size(),
                nUnmatched, watch.Problems() > 0 ? "; the tree watch lost events" : "", dSeconds);
    std::printf("   stored to committed centrally: p50 %.0f ms, p99 %.0f ms, max %.0f ms\n", dP50, dP99,
                Percentile(latencies, 1.0));
    std::printf("   aim (--aim-p99-ms): p99 under %u ms: %.0f ms, %s (%s)\n", config.nAimP99Ms, dP99,
                Verdict(!latencies.empty() && dP99 < config.nAimP99Ms), LoadAverage().c_str());
    std::fflush(stdout);
    return stored.size() == nExpected && seen.size() == nExpected && nUnmatched == 0;
}

// The bytes of every file under root, finished and partial.
std::uint64_t StoredBytes(const fs::path& root)
{
    std::uint64_t nBytes = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::error_code ecSize;
        const std::uint64_t nSize = it->is_regular_file(ecSize) ? it->file_size(ecSize) : 0;
        if (!ecSize)
            nBytes += nSize;
    }
    return nBytes;
}

// Commits what is written under dir, so that one run's writeback does not weigh on the next.
void SyncDir(const fs::path& dir)
{
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        if (::syncfs(fd) != 0)
            std::perror("syncfs");
        ::close(fd);
    }
}

// One download of the throughput fleet: MB/s, 0 when it did not complete.
double ThroughputRun(CPgCluster& cluster, const Config& config, int nRun, bool bCentral)
{
    const std::string db = "tput" + std::to_string(nRun);
    if (bCentral && (!cluster.Start() || !cluster.CreateDatabase(db))) {
        std::fprintf(stderr, "throughput: %s\n", cluster.Why().c_str());
        return 0;
    }
    Depot depot = MakeDepot(bCentral ? cluster.ConnInfo(db) : std::string(), config.nTputVehicles);
    CServerProcess& server = *depot.pServer;
    if (!server.Start() || (bCentral && WaitStatus(depot.nWebPort, config.nSeconds, 50, Connected) < 0)) {
        std::fprintf(stderr, "throughput: the server did not start or connect\n");
        return 0;
    }
    const std::size_t nFiles = static_cast<std::size_t>(config.nTputVehicles) * config.nTputChannels * config.nTputFiles;
    const std::uint64_t nBytes = static_cast<std::uint64_t>(nFiles) * config.nTputSize;
    std::uint64_t nBefore = 0;
    std::int64_t nStart = 0;
    bool bComplete = false;
    const std::int64_t nBegin = NowUs();
    {
        CDvrSimulator sim(FleetOptions(server.Port(), "TPUT", config.nTputVehicles, config.nTputChannels,
                                       config.nTputFiles, config.nTputSize));
        if (sim.Start() != 0) {
            std::fprintf(stderr, "throughput: the simulator could not start\n");
            return 0;
        }
        // Timed from the first byte: registering is no part of the throughput.
        while (SecondsSince(nBegin) < config.nSeconds && (nBefore = StoredBytes(server.Store())) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        nStart = NowUs();
        while (SecondsSince(nBegin) < config.nSeconds && !bComplete) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            bComplete = CountFiles(server.Store(), ".mp4") == nFiles;
        }
    }
    const double dSeconds = SecondsSince(nStart);
    const double dMBs = bComplete ? static_cast<double>(nBytes - nBefore) / 1e6 / dSeconds : 0;
    const double dCpu = server.Read().dCpuSeconds;
    std::string strCentral = "off";
    if (bCentral) {
        // What the run left in the outbox, and that every recording reached the database.
        const std::int64_t nLeft = OutboxRows(CentralStatus(depot.nWebPort));
        const double dDrained = WaitStatus(depot.nWebPort, config.nSeconds, 50,
                                           [](const nlohmann::json& central) { return OutboxRows(central) == 0; });
        char szText[160];
        std::snprintf(szText, sizeof(szText), "on: %lld rows waiting at the end, drained %.1f s later, %llu of %zu "
                      "recordings in PostgreSQL", static_cast<long long>(nLeft), dDrained,
                      static_cast<unsigned long long>(CentralCount(cluster, db, "recording")), nFiles);
        strCentral = szText;
    }
    server.Stop();
    std::printf("   run %d: %.1f MB/s over %.1f s%s, server CPU %.1f s; central %s (%s)\n", nRun + 1, dMBs, dSeconds,
                bComplete ? "" : " (NOT complete)", dCpu, strCentral.c_str(), LoadAverage().c_str());
    std::fflush(stdout);
    fs::remove_all(server.Store());
    SyncDir(server.Dir());
    return dMBs;
}

// 3. Throughput with the central store off against on; false when a run failed.
bool MeasureThroughput(CPgCluster& cluster, const Config& config)
{
    std::printf("3. throughput: %d vehicles x %d channels x %d recordings of %u bytes (%.1f MB) per run\n",
                config.nTputVehicles, config.nTputChannels, config.nTputFiles, config.nTputSize,
                static_cast<double>(config.nTputVehicles) * config.nTputChannels * config.nTputFiles *
                    config.nTputSize / 1e6);
    std::vector<double> off, on;
    bool bOk = true;
    // Alternating, so that a change in the machine's load weighs on both alike.
    for (int nRun = 0; nRun < 2 * config.nRuns; ++nRun) {
        const bool bCentral = nRun % 2 == 1;
        const double dMBs = ThroughputRun(cluster, config, nRun, bCentral);
        bOk = bOk && dMBs > 0;
        (bCentral ? on : off).push_back(dMBs);
    }
    auto mean = [](const std::vector<double>& values) {
        double dSum = 0;
        for (double d : values)
            dSum += d;
        return dSum / static_cast<double>(values.size());
    };
    const double dOff = mean(off), dOn = mean(on);
    const double dRatio = dOff > 0 ? dOn / dOff : 0;
    std::printf("   off: mean %.1f MB/s (%.1f to %.1f); on: mean %.1f MB/s (%.1f to %.1f)\n", dOff,
                Percentile(off, 0), Percentile(off, 1), dOn, Percentile(on, 0), Percentile(on, 1));
    std::printf("   aim: on within 5%% of off: %.3f of it, %s (%s)\n", dRatio, Verdict(dRatio >= 0.95),
                LoadAverage().c_str());
    return bOk;
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    CBenchOptions args;
    args.Add("--rows", &config.nRows).Add("--vehicles", &config.nVehicles).Add("--channels", &config.nChannels);
    args.Add("--files", &config.nFiles).Add("--size", &config.nSize, "BYTES");
    args.Add("--tput-vehicles", &config.nTputVehicles).Add("--tput-channels", &config.nTputChannels);
    args.Add("--tput-files", &config.nTputFiles).Add("--tput-size", &config.nTputSize, "BYTES");
    args.Add("--runs", &config.nRuns).Add("--seconds", &config.nSeconds, "S");
    args.Add("--aim-rows-per-s", &config.nAimRowsPerS).Add("--aim-p99-ms", &config.nAimP99Ms, "MS");
    if (!args.Parse(argc, argv))
        return 2;
    if (config.nRows == 0 || config.nVehicles == 0 || config.nChannels == 0 || config.nFiles == 0 ||
        config.nSize == 0 || config.nTputVehicles == 0 || config.nTputChannels == 0 || config.nTputFiles == 0 ||
        config.nTputSize == 0 || config.nSeconds == 0) {
        std::fprintf(stderr, "every count, size and --seconds needs 1 or more\n");
        return 2;
    }
    IgnoreSigPipe();
    std::printf("start: %s\n", LoadAverage().c_str());
    CPgCluster cluster;
    if (!cluster.Start()) {
        std::fprintf(stderr, "PostgreSQL: %s\n", cluster.Why().c_str());
        return 1;
    }
    std::fflush(stdout);
    bool bOk = MeasureDrain(cluster, config);
    bOk = MeasureLatency(cluster, config) && bOk;
    if (config.nRuns > 0)
        bOk = MeasureThroughput(cluster, config) && bOk;
    std::printf("PostgreSQL runs on the same machine (and cores) as the server and the recorders.\n");
    return bOk ? 0 : 1;
}
