// The recordings catalogue at depot scale: a table of many million rows in fleet.db.
//
//   CatalogueBench [--rows N] [--vehicles N] [--channels N] [--queries N] [--writers N] [--adds N]
//
// Fills the table (one transaction, one prepared statement), prints the query plan of
// a one-hour window of one vehicle, times Find over many random one-hour windows
// (p50, p99), and measures adds while writers add at once: each writer thread stands
// for a vehicle's download threads calling Add, and the periodic runner writes the
// batches as in the server. Also times the fleet history's quick_check on the file,
// which its Open runs over every table.

#include "bench/support/BenchOptions.h"
#include "core/PeriodicRunner.h"
#include "footage/RecordingCatalogue.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "store/LocalStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Config {
    std::uint64_t nRows = 10000000;
    int nVehicles = 100;
    int nChannels = 8;
    int nQueries = 2000;
    int nWriters = 10;
    int nAdds = 20000;  // per writer
};

constexpr std::uint32_t kT0 = 1700000000;
constexpr std::uint32_t kRecSeconds = 600;

std::string VehicleName(int i)
{
    char szName[16];
    std::snprintf(szName, sizeof(szName), "BUS%04d", i);
    return szName;
}

// Recording n: vehicle, channel and slot in turn, back to back in each channel.
struct Slot {
    int nVehicle;
    int nChannel;
    std::uint32_t tStart;
};

Slot SlotOf(std::uint64_t n, const Config& config)
{
    const std::uint64_t nPerSlot = static_cast<std::uint64_t>(config.nVehicles) * config.nChannels;
    return Slot {static_cast<int>(n % config.nVehicles), static_cast<int>(n / config.nVehicles % config.nChannels) + 1,
                 kT0 + static_cast<std::uint32_t>(n / nPerSlot) * kRecSeconds};
}

std::string PathOf(const std::string& vehicle, int nChannel, std::uint32_t tStart)
{
    return vehicle + "/" + DateDirName(tStart) + "/" + ChannelDirName(nChannel) + "/" +
           FinalFileName(nChannel, tStart, tStart + kRecSeconds);
}

bool Fill(const std::string& db, const Config& config)
{
    sqlite3* pDb = nullptr;
    if (sqlite3_open(db.c_str(), &pDb) != SQLITE_OK)
        return false;
    sqlite3_exec(pDb, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    // The indexes are filled out of order: a cache that holds them saves most reads.
    sqlite3_exec(pDb, "PRAGMA cache_size=-1048576", nullptr, nullptr, nullptr);
    sqlite3_exec(pDb, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* p = nullptr;
    sqlite3_prepare_v2(pDb,
                       "INSERT INTO recording(vehicle, channel, start_time, end_time, size, path, stored_at, sha256,"
                       " crc32) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)",
                       -1, &p, nullptr);
    const std::string sha(64, 'a');
    std::vector<std::string> names;
    for (int i = 0; i < config.nVehicles; ++i)
        names.push_back(VehicleName(i));
    bool bOk = true;
    for (std::uint64_t n = 0; n < config.nRows && bOk; ++n) {
        Slot slot = SlotOf(n, config);
        const std::string path = PathOf(names[slot.nVehicle], slot.nChannel, slot.tStart);
        sqlite3_bind_text(p, 1, names[slot.nVehicle].c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(p, 2, slot.nChannel);
        sqlite3_bind_int64(p, 3, slot.tStart);
        sqlite3_bind_int64(p, 4, slot.tStart + kRecSeconds);
        sqlite3_bind_int64(p, 5, 50000000);
        sqlite3_bind_text(p, 6, path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(p, 7, slot.tStart + kRecSeconds + 30);
        sqlite3_bind_text(p, 8, sha.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(p, 9, static_cast<std::int64_t>(n & 0xFFFFFFFF));
        bOk = sqlite3_step(p) == SQLITE_DONE;
        sqlite3_reset(p);
    }
    sqlite3_finalize(p);
    std::string longest = "INSERT OR REPLACE INTO footage_meta(name, value) VALUES('recording_longest', " +
                          std::to_string(kRecSeconds) + ")";
    sqlite3_exec(pDb, longest.c_str(), nullptr, nullptr, nullptr);
    bOk = sqlite3_exec(pDb, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK && bOk;
    if (!bOk)
        std::fprintf(stderr, "fill failed: %s\n", sqlite3_errmsg(pDb));
    sqlite3_close(pDb);
    return bOk;
}

double Percentile(std::vector<double> values, double dPart)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(dPart * static_cast<double>(values.size())))];
}

double NowUs()
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// Find over random one-hour windows; prints p50 and p99 in milliseconds.
void TimeWindows(const CRecordingCatalogue& catalogue, const Config& config, const char* szWhat, bool bVehicle,
                 int nChannel)
{
    const std::uint64_t nSlots = config.nRows / (static_cast<std::uint64_t>(config.nVehicles) * config.nChannels);
    const std::uint32_t tSpan = static_cast<std::uint32_t>(std::max<std::uint64_t>(nSlots, 1) * kRecSeconds);
    std::mt19937 random(7);
    std::vector<double> times;
    std::size_t nRows = 0;
    for (int i = 0; i < config.nQueries; ++i) {
        CatalogueQuery query;
        if (bVehicle)
            query.strVehicle = VehicleName(static_cast<int>(random() % config.nVehicles));
        query.nChannel = nChannel;
        query.tFrom = kT0 + static_cast<std::uint32_t>(random() % tSpan);
        query.tTo = query.tFrom + 3600;
        double dStart = NowUs();
        CataloguePage page = catalogue.Find(query);
        times.push_back((NowUs() - dStart) / 1000.0);
        nRows += page.rows.size();
    }
    std::printf("%s: p50 %.3f ms, p99 %.3f ms, %.1f rows per window (%d windows)\n", szWhat, Percentile(times, 0.5),
                Percentile(times, 0.99), static_cast<double>(nRows) / config.nQueries, config.nQueries);
}

// nWriters threads Add nAdds rows each as fast as they can while the runner writes.
void TimeAdds(CRecordingCatalogue& catalogue, const Config& config)
{
    Timing().nCatalogueFlushMs = 200;
    CPeriodicRunner runner;
    catalogue.AddTo(runner);
    runner.Start();
    std::atomic<bool> bGo {false};
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(config.nWriters));
    std::vector<std::thread> writers;
    // New rows after the filled ones, a vehicle of its own per writer.
    const std::uint64_t nSlots = config.nRows / (static_cast<std::uint64_t>(config.nVehicles) * config.nChannels);
    const auto tAfter = static_cast<std::uint32_t>(kT0 + (nSlots + 1) * kRecSeconds + 86400);
    for (int w = 0; w < config.nWriters; ++w) {
        writers.emplace_back([&, w] {
            while (!bGo)
                std::this_thread::yield();
            const std::string vehicle = "LIVE" + std::to_string(w);
            for (int i = 0; i < config.nAdds; ++i) {
                CatalogueRow row;
                row.strPath = PathOf(vehicle, 1 + i % 4, tAfter + static_cast<std::uint32_t>(i / 4) * kRecSeconds);
                row.nSize = 50000000;
                row.tStoredAt = tAfter;
                double dStart = NowUs();
                catalogue.Add(std::move(row));
                latencies[static_cast<std::size_t>(w)].push_back(NowUs() - dStart);
            }
        });
    }
    const std::int64_t nBegin = MonotonicMs();
    bGo = true;
    for (std::thread& writer : writers)
        writer.join();
    const std::int64_t nAdded = MonotonicMs();
    catalogue.Flush();
    const std::int64_t nWritten = MonotonicMs();
    runner.Stop();
    std::vector<double> all;
    for (const auto& list : latencies)
        all.insert(all.end(), list.begin(), list.end());
    const double dRows = static_cast<double>(config.nWriters) * config.nAdds;
    std::printf("adds from %d writer threads: %.0f rows queued in %.3f s, written by %.3f s: %.0f rows/s into the "
                "filled table\n",
                config.nWriters, dRows, static_cast<double>(nAdded - nBegin) / 1000.0,
                static_cast<double>(nWritten - nBegin) / 1000.0,
                dRows / (static_cast<double>(nWritten - nBegin) / 1000.0));
    std::printf("Add call on a download thread: p50 %.2f us, p99 %.2f us, max %.0f us\n", Percentile(all, 0.5),
                Percentile(all, 0.99), Percentile(all, 1.0));
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    CBenchOptions args;
    args.Add("--rows", &config.nRows).Add("--vehicles", &config.nVehicles).Add("--channels", &config.nChannels);
    args.Add("--queries", &config.nQueries).Add("--writers", &config.nWriters).Add("--adds", &config.nAdds);
    if (!args.Parse(argc, argv))
        return 2;
    if (config.nVehicles <= 0 || config.nChannels <= 0 || config.nChannels > 99 || config.nQueries <= 0) {
        std::fprintf(stderr, "--vehicles, --channels (up to 99) and --queries must be positive\n");
        return 2;
    }
    const fs::path dir = fs::temp_directory_path() / ("CatalogueBench." + std::to_string(MonotonicMs()));
    fs::create_directories(dir / "store");
    const std::string db = (dir / "fleet.db").string();
    {
        CRecordingCatalogue catalogue;
        if (catalogue.Open(db, (dir / "store").string()) != 0)
            return 1;
    }
    std::int64_t nStart = MonotonicMs();
    if (!Fill(db, config))
        return 1;
    double dFill = static_cast<double>(MonotonicMs() - nStart) / 1000.0;
    std::printf("fill: %llu rows (%d vehicles x %d channels) in %.1f s, %.0f rows/s; file %.0f MiB\n",
                static_cast<unsigned long long>(config.nRows), config.nVehicles, config.nChannels, dFill,
                static_cast<double>(config.nRows) / dFill, static_cast<double>(fs::file_size(db)) / 1048576.0);

    {
        sqlite3* pDb = nullptr;
        sqlite3_open(db.c_str(), &pDb);
        nStart = MonotonicMs();
        sqlite3_exec(pDb, "PRAGMA quick_check", nullptr, nullptr, nullptr);
        std::printf("quick_check of the file (the fleet history's Open runs it): %.1f s\n",
                    static_cast<double>(MonotonicMs() - nStart) / 1000.0);
        sqlite3_close(pDb);
    }

    CRecordingCatalogue catalogue;
    nStart = MonotonicMs();
    if (catalogue.Open(db, (dir / "store").string()) != 0)
        return 1;
    std::printf("open: %.3f s\n", static_cast<double>(MonotonicMs() - nStart) / 1000.0);
    CatalogueQuery hour;
    hour.strVehicle = VehicleName(1);
    hour.tFrom = kT0 + 86400 * 10;
    hour.tTo = hour.tFrom + 3600;
    std::printf("EXPLAIN QUERY PLAN, one vehicle's hour (per channel):\n");
    for (const std::string& step : catalogue.PlanOf(hour))
        std::printf("  %s\n", step.c_str());
    hour.strVehicle.clear();
    std::printf("EXPLAIN QUERY PLAN, the fleet's hour:\n");
    for (const std::string& step : catalogue.PlanOf(hour))
        std::printf("  %s\n", step.c_str());

    TimeWindows(catalogue, config, "one vehicle's hour, every channel", true, -1);
    TimeWindows(catalogue, config, "one vehicle's hour, one channel", true, 1);
    TimeWindows(catalogue, config, "the fleet's hour (first page of 100)", false, -1);
    TimeAdds(catalogue, config);
    catalogue.Close();
    fs::remove_all(dir);
    return 0;
}
