// A depot's life compressed into minutes: zeldownloadd, as its own process, serves
// waves of dvrsim vehicles with live footage (--start now: a recording becomes
// fetchable once its start has passed), some with cut transfers, one per wave leaving
// early, while retention keeps a small store (a tmpfs) below its floor, and the server
// is killed with SIGKILL a few times while a file streams in and started again.
//
//   SoakBench [--minutes M] [--fleet N] [--wave-vehicles V] [--wave-s S] [--visit-s S]
//             [--channels C] [--rec-kib K] [--rec-seconds S] [--store-mib T]
//             [--minfree-mib F] [--kills K] [--sample-s S] [--warmup-s S] [--trace 0|1]
//
// Every S seconds a wave of V vehicles of the fleet of N arrives and stays for the
// visit; a vehicle comes back only after the server has let it go. It samples the
// server every few seconds and prints, per hour, the slopes of its memory (RSS),
// threads, descriptors, log.txt, fleet.db, fleet.db-wal and the record index, each
// fitted within every run of the process after its warm-up (a killed server starts
// afresh). Every stored recording is compared byte for byte with what dvrsim
// generated while it is on disk. At the end the fleet history's counts are compared
// with what was stored: a vehicle's files and bytes in all are the recordings on disk
// plus those retention deleted (its log lines), the per-day totals add up to them,
// and its last visit holds what its last wave stored. Figures only: the exit status
// is 1 when a stored file differs, a count is wrong, or a run could not start.

#include "bench/support/BenchOptions.h"
#include "bench/support/ServerProcess.h"
#include "platform/System.h"
#include "settings/WallClock.h"
#include "shell/DiskSpaceMonitor.h"
#include "store/LocalStore.h"
#include "tools/dvrsim/DvrSimulator.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <sys/mount.h>
#include <thread>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Config {
    std::uint32_t nMinutes = 10;
    std::uint32_t nFleet = 12;
    std::uint32_t nWaveVehicles = 4;
    std::uint32_t nWaveS = 30;
    std::uint32_t nVisitS = 45;
    std::uint32_t nChannels = 2;
    std::uint32_t nRecKiB = 512;
    std::uint32_t nRecSeconds = 5;
    // The server stops below 256 MiB free: the floor is above that, and the store
    // holds what lies between the two.
    std::uint32_t nStoreMiB = 384;
    std::uint32_t nMinFreeMiB = 320;
    std::uint32_t nKills = 3;
    std::uint32_t nSampleS = 5;
    std::uint32_t nWarmupS = 60;
    bool bTrace = false;  // every sample printed as it is taken
};

// A vehicle leaves the server's list this long after its last keepalive (the shipped
// expiry, 20 s, and the timer's second), and only then may it come back as a new visit.
constexpr std::uint32_t kLeaveS = 25;

double Seconds(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A recording dvrsim offered: the key of its finished file in the store, and what it holds.
using RecordingKey = std::tuple<std::string, int, std::uint32_t>;  // vehicle, channel, start
struct Expected {
    std::uint64_t nSeed = 0;
    std::uint32_t nSize = 0;
    int nWave = 0;
};

// The vehicle, channel and start of a finished file's path under the store, or false
// for anything else.
bool KeyOf(const fs::path& relative, RecordingKey& key)
{
    std::vector<std::string> parts;
    for (const fs::path& part : relative)
        parts.push_back(part.string());
    if (parts.size() != 4 || parts[3].size() != 4 + 1 + 14 + 1 + 14 + 4 || parts[3].rfind("ch", 0) != 0 ||
        parts[3].compare(parts[3].size() - 4, 4, ".mp4") != 0)
        return false;
    key = RecordingKey(parts[0], std::atoi(parts[3].c_str() + 2), ParseTimeString(parts[3].substr(5, 14)));
    return true;
}

bool SameContent(const fs::path& path, const Expected& rec)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<unsigned char> buf(1 << 20);
    std::uint64_t nOffset = 0;
    while (file) {
        file.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(buf.size()));
        auto nRead = static_cast<std::size_t>(file.gcount());
        if (nRead == 0)
            break;
        if (nOffset + nRead > rec.nSize || CSimRecordings::FirstMismatch(rec.nSeed, nOffset, buf.data(), nRead) != -1)
            return false;
        nOffset += nRead;
    }
    return nOffset == rec.nSize;
}

// One wave: the vehicles that stay for the visit, and the one that leaves early.
struct Wave {
    int nIndex = 0;
    std::unique_ptr<CDvrSimulator> stay;
    std::unique_ptr<CDvrSimulator> leaver;
    double dLeaverEnd = 0;
    double dEnd = 0;
    std::vector<std::string> names;
    int nServerRun = 0;  // the server's run it began in
    bool bKilledDuring = false;
};

// One sample of the server, in the run (process) it was taken in.
struct Sample {
    int nRun = 0;
    double dT = 0;  // seconds since the bench began
    double dRssKiB = 0;
    double dThreads = 0;
    double dDescriptors = 0;
    double dLog = 0;
    double dDb = 0;
    double dWal = 0;
    double dIndex = 0;
};

// The slope of y over t per hour, fitted within each run (each its own level), samples
// in a run's first dWarmupS seconds left out: a run killed and started again starts
// from nothing. 0 when there is nothing to fit.
double SlopePerHour(const std::vector<Sample>& samples, double Sample::*pValue, double dWarmupS)
{
    std::map<int, std::vector<const Sample*>> runs;
    std::map<int, double> runStart;
    for (const Sample& s : samples) {
        runStart.try_emplace(s.nRun, s.dT);
        if (s.dT - runStart[s.nRun] >= dWarmupS)
            runs[s.nRun].push_back(&s);
    }
    double dNum = 0, dDen = 0;
    for (const auto& [nRun, points] : runs) {
        if (points.size() < 2)
            continue;
        double dMeanT = 0, dMeanY = 0;
        for (const Sample* p : points) {
            dMeanT += p->dT;
            dMeanY += p->*pValue;
        }
        dMeanT /= static_cast<double>(points.size());
        dMeanY /= static_cast<double>(points.size());
        for (const Sample* p : points) {
            dNum += (p->dT - dMeanT) * (p->*pValue - dMeanY);
            dDen += (p->dT - dMeanT) * (p->dT - dMeanT);
        }
    }
    return dDen > 0 ? dNum / dDen * 3600.0 : 0;
}

double FileSize(const fs::path& path)
{
    std::error_code ec;
    auto n = fs::file_size(path, ec);
    return ec ? 0 : static_cast<double>(n);
}

// Reads the server's log.txt as it grows; a new run starts a new file.
class CLogTail {
public:
    explicit CLogTail(fs::path path) : m_path(std::move(path)) {}

    // The whole lines added since the last call.
    std::vector<std::string> NewLines()
    {
        std::vector<std::string> lines;
        std::ifstream file(m_path, std::ios::binary);
        if (!file)
            return lines;
        file.seekg(static_cast<std::streamoff>(m_nOffset));
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::size_t nPos = 0;
        for (std::size_t nEnd; (nEnd = text.find('\n', nPos)) != std::string::npos; nPos = nEnd + 1)
            lines.push_back(text.substr(nPos, nEnd - nPos));
        m_nOffset += nPos;
        return lines;
    }
    // The server starts a new log.txt.
    void Restart() { m_nOffset = 0; }

private:
    fs::path m_path;
    std::size_t m_nOffset = 0;
};

// Files and bytes of a vehicle, or of a day.
struct Counts {
    std::uint64_t nFiles = 0;
    std::uint64_t nBytes = 0;
    bool operator==(const Counts&) const = default;
};

struct History {
    Counts total;
    Counts lastVisit;
    Counts daySum;
    std::size_t nDays = 0;
};

std::map<std::string, History> ReadHistory(const fs::path& db)
{
    std::map<std::string, History> history;
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2(db.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "%s cannot be read\n", db.c_str());
        sqlite3_close_v2(pDb);
        return history;
    }
    auto each = [pDb](const char* szSql, auto row) {
        sqlite3_stmt* pStmt = nullptr;
        if (sqlite3_prepare_v2(pDb, szSql, -1, &pStmt, nullptr) == SQLITE_OK)
            while (sqlite3_step(pStmt) == SQLITE_ROW)
                row(pStmt);
        sqlite3_finalize(pStmt);
    };
    auto u64 = [](sqlite3_stmt* p, int n) { return static_cast<std::uint64_t>(sqlite3_column_int64(p, n)); };
    auto text = [](sqlite3_stmt* p, int n) { return std::string(reinterpret_cast<const char*>(sqlite3_column_text(p, n))); };
    each("SELECT name, files_total, bytes_total, files_last_visit, bytes_last_visit FROM vehicle", [&](sqlite3_stmt* p) {
        History& h = history[text(p, 0)];
        h.total = {u64(p, 1), u64(p, 2)};
        h.lastVisit = {u64(p, 3), u64(p, 4)};
    });
    each("SELECT name, files, bytes FROM day_total", [&](sqlite3_stmt* p) {
        History& h = history[text(p, 0)];
        h.daySum.nFiles += u64(p, 1);
        h.daySum.nBytes += u64(p, 2);
        ++h.nDays;
    });
    sqlite3_close_v2(pDb);
    return history;
}

class CSoak {
public:
    explicit CSoak(const Config& config) : m_config(config) {}

    int Run();

private:
    bool PrepareStore();
    void StartWave(double dNow);
    void EndWaves(double dNow, bool bAll);
    // Kills the server and starts it again; false when it did not start.
    bool KillAndRestart();
    // Whether the server has a partial file open: a file streams in.
    bool TransferInFlight() const;
    void TakeSample(double dNow);
    void ReadLog();
    void CheckNewFiles();
    int Report(double dSeconds);

    const Config& m_config;
    std::unique_ptr<CServerProcess> m_pServer;
    std::unique_ptr<CLogTail> m_pLog;
    std::chrono::steady_clock::time_point m_t0;
    bool m_bTmpfs = false;
    int m_nRun = 0;
    int m_nKills = 0;
    std::vector<Wave> m_waves;          // arrived, not yet gone
    int m_nWaves = 0;
    std::map<RecordingKey, Expected> m_expected;
    std::map<std::string, int> m_lastWave;   // vehicle: the wave of its last visit
    std::map<std::string, bool> m_lastWaveKilled;
    std::map<RecordingKey, bool> m_seen;     // stored files seen: byte-identical or not
    std::set<RecordingKey> m_deleted;        // deleted by retention, by its log
    std::size_t m_nDiffering = 0;
    std::size_t m_nStoredLines = 0;          // "is downloaded over!" in all runs
    std::size_t m_nSettled = 0;              // "counted now": counted by the next run from its note
    std::vector<Sample> m_samples;
};

bool CSoak::PrepareStore()
{
    fs::path store = m_pServer->Store();
    fs::create_directories(store);
    std::string options = "size=" + std::to_string(m_config.nStoreMiB) + "m,mode=0755";
    if (::mount("tmpfs", store.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
        m_bTmpfs = true;
        std::printf("store: tmpfs of %u MiB, retention below %u MiB free\n", m_config.nStoreMiB, m_config.nMinFreeMiB);
    } else {
        // Mounting needs root (CAP_SYS_ADMIN): the store is then a plain directory, and
        // the free-space rule sees the whole disk it is on.
        std::printf("store: a plain directory without a size limit (tmpfs not mounted: %s); the free-space rule of "
                    "%u MiB acts only when the disk itself runs that low\n",
                    std::strerror(errno), m_config.nMinFreeMiB);
    }
    return true;
}

void CSoak::StartWave(double dNow)
{
    Wave wave;
    wave.nIndex = m_nWaves++;
    wave.nServerRun = m_nRun;
    const std::uint32_t nFleet = m_config.nFleet;
    for (std::uint32_t i = 0; i < m_config.nWaveVehicles; ++i) {
        char szName[32];
        std::snprintf(szName, sizeof(szName), "SOAK%03u", (wave.nIndex * m_config.nWaveVehicles + i) % nFleet + 1);
        wave.names.push_back(szName);
    }
    SimOptions options;
    options.nServerPort = m_pServer->Port();
    options.nChannels = static_cast<int>(m_config.nChannels);
    options.nRecSeconds = m_config.nRecSeconds;
    options.nRecordings = static_cast<int>(m_config.nVisitS / m_config.nRecSeconds);
    options.nRecBytes = m_config.nRecKiB * 1024;
    options.tStart = WallClockNow();
    options.nKeepAliveMs = 1000;
    options.nVerbosity = 0;
    // Every other wave breaks each recording's first transfer; the server resumes it.
    if (wave.nIndex % 2 == 1) {
        options.faults.nCutAfterBytes = options.nRecBytes / 3;
        options.faults.nCutCount = 1;
    }
    SimOptions leaving = options;
    options.vecNames.assign(wave.names.begin(), wave.names.end() - 1);
    leaving.vecNames.assign(1, wave.names.back());
    wave.stay = std::make_unique<CDvrSimulator>(options);
    wave.leaver = std::make_unique<CDvrSimulator>(leaving);
    for (CDvrSimulator* pSim : {wave.stay.get(), wave.leaver.get()}) {
        for (std::size_t i = 0; i < pSim->Count(); ++i) {
            const CSimRecorder& recorder = pSim->Recorder(i);
            for (const SimRecording& rec : recorder.Recordings().All())
                m_expected[RecordingKey(recorder.Name(), rec.nChannel, rec.tStart)] = {rec.nSeed, rec.nSize, wave.nIndex};
        }
        if (pSim->Start() != 0)
            std::fprintf(stderr, "wave %d: simulator could not start\n", wave.nIndex);
    }
    for (const std::string& name : wave.names) {
        m_lastWave[name] = wave.nIndex;
        m_lastWaveKilled[name] = false;
    }
    wave.dLeaverEnd = dNow + m_config.nVisitS / 3.0;
    wave.dEnd = dNow + m_config.nVisitS;
    m_waves.push_back(std::move(wave));
}

void CSoak::EndWaves(double dNow, bool bAll)
{
    for (Wave& wave : m_waves) {
        if (wave.leaver && (bAll || dNow >= wave.dLeaverEnd)) {
            wave.leaver->Stop();
            wave.leaver.reset();
        }
        if (wave.stay && (bAll || dNow >= wave.dEnd)) {
            wave.stay->Stop();
            wave.stay.reset();
        }
    }
    m_waves.erase(std::remove_if(m_waves.begin(), m_waves.end(), [](const Wave& w) { return !w.stay && !w.leaver; }),
                  m_waves.end());
}

bool CSoak::TransferInFlight() const
{
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(m_pServer->Pid()) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code linkEc;
        fs::path target = fs::read_symlink(it->path(), linkEc);
        if (!linkEc && target.extension() == ".td")
            return true;
    }
    return false;
}

bool CSoak::KillAndRestart()
{
    m_pServer->Kill();
    ++m_nKills;
    for (Wave& wave : m_waves)
        for (const std::string& name : wave.names)
            m_lastWaveKilled[name] = true;
    ReadLog();
    m_pLog->Restart();
    ++m_nRun;
    if (!m_pServer->Start()) {
        std::fprintf(stderr, "the server did not start again after kill %d\n", m_nKills);
        return false;
    }
    std::printf("%7.1f s: killed while a file streamed in (kill %d), started again\n", Seconds(m_t0), m_nKills);
    std::fflush(stdout);
    return true;
}

void CSoak::ReadLog()
{
    const std::string deleted = "Retention: deleted ";
    const std::string prefix = (m_pServer->Store().filename() / "").string();
    for (const std::string& line : m_pLog->NewLines()) {
        if (line.find(" is downloaded over!") != std::string::npos)
            ++m_nStoredLines;
        if (line.find(", stored as the last run ended, counted now") != std::string::npos)
            ++m_nSettled;
        std::size_t nAt = line.find(deleted);
        if (nAt == std::string::npos)
            continue;
        std::string path = line.substr(nAt + deleted.size());
        path = path.substr(0, path.find(", "));
        RecordingKey key;
        if (path.rfind(prefix, 0) == 0 && KeyOf(fs::path(path.substr(prefix.size())), key))
            m_deleted.insert(key);
    }
}

void CSoak::CheckNewFiles()
{
    const fs::path store = m_pServer->Store();
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(store, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        RecordingKey key;
        if (it->path().extension() != ".mp4" || !KeyOf(it->path().lexically_relative(store), key) || m_seen.count(key))
            continue;
        auto itExpected = m_expected.find(key);
        bool bSame = itExpected != m_expected.end() && SameContent(it->path(), itExpected->second);
        // Deleted while it was read: not judged now, nor ever.
        if (!bSame && !fs::exists(it->path()))
            continue;
        m_seen[key] = bSame;
        if (!bSame) {
            ++m_nDiffering;
            std::fprintf(stderr, "differs from what dvrsim generated: %s\n", it->path().c_str());
        }
    }
}

void CSoak::TakeSample(double dNow)
{
    CServerProcess::Figures figures = m_pServer->Read();
    const fs::path& dir = m_pServer->Dir();
    Sample s;
    s.nRun = m_nRun;
    s.dT = dNow;
    s.dRssKiB = static_cast<double>(figures.nRssKiB);
    s.dThreads = figures.nThreads;
    s.dDescriptors = figures.nDescriptors;
    s.dLog = FileSize(dir / "log.txt");
    s.dDb = FileSize(dir / "fleet.db");
    s.dWal = FileSize(dir / "fleet.db-wal");
    s.dIndex = FileSize(dir / "xmlDataRecords.xml");
    m_samples.push_back(s);
    if (m_config.bTrace) {
        std::printf("sample %7.1f s run %d: rss %.0f KiB, threads %.0f, descriptors %.0f, log %.0f, fleet.db %.0f, "
                    "wal %.0f, index %.0f bytes\n",
                    s.dT, s.nRun, s.dRssKiB, s.dThreads, s.dDescriptors, s.dLog, s.dDb, s.dWal, s.dIndex);
        std::fflush(stdout);
    }
}

int CSoak::Run()
{
    ServerSettings settings = DefaultSettings();
    settings.bComponentMode = 1;  // the record index grows too
    DepotSettings depot;
    depot.nRollingHours = 24;
    depot.nRetainDays = 30;
    depot.nMinFreeMb = m_config.nMinFreeMiB;
    m_pServer = std::make_unique<CServerProcess>(settings, depot, true);
    m_pLog = std::make_unique<CLogTail>(m_pServer->Dir() / "log.txt");
    PrepareStore();
    bool bGood = m_pServer->Start();
    if (!bGood) {
        std::fprintf(stderr, "server did not start\n");
    }
    m_t0 = std::chrono::steady_clock::now();
    const double dEnd = m_config.nMinutes * 60.0;
    double dNextWave = 0;
    double dNextSample = 0;
    std::uint32_t nKillsDone = 0;
    bool bKillArmed = false;
    while (bGood) {
        const double dNow = Seconds(m_t0);
        if (dNow >= dNextWave && dNow + m_config.nVisitS <= dEnd) {
            StartWave(dNow);
            dNextWave += m_config.nWaveS;
        }
        EndWaves(dNow, false);
        // The kills are spread over the run: the k-th at k/(K+1) of it, once a file streams.
        if (!bKillArmed && nKillsDone < m_config.nKills && dNow >= dEnd * (nKillsDone + 1) / (m_config.nKills + 1))
            bKillArmed = true;
        if (bKillArmed && TransferInFlight()) {
            bKillArmed = false;
            ++nKillsDone;
            bGood = KillAndRestart();
        }
        if (dNow >= dNextSample) {
            TakeSample(dNow);
            ReadLog();
            CheckNewFiles();
            dNextSample += m_config.nSampleS;
        }
        if (dNow >= dEnd && m_waves.empty())
            break;
        // A transfer of a small recording lasts milliseconds: looked for often while armed.
        std::this_thread::sleep_for(std::chrono::milliseconds(bKillArmed ? 1 : 50));
    }
    EndWaves(0, true);
    const double dSeconds = Seconds(m_t0);
    CheckNewFiles();
    m_pServer->Stop();
    ReadLog();
    int nResult = bGood ? Report(dSeconds) : 1;
    if (m_bTmpfs)
        ::umount2(m_pServer->Store().c_str(), MNT_DETACH);
    return nResult;
}

int CSoak::Report(double dSeconds)
{
    const double dWarmupS =
        std::min<double>(m_config.nWarmupS, m_config.nMinutes * 60.0 / (m_config.nKills + 1) / 3.0);
    std::printf("%.0f s, %d waves, %d kills, %zu samples; slopes per hour after %.0f s of warm-up in each of the %d "
                "runs of the server:\n",
                dSeconds, m_nWaves, m_nKills, m_samples.size(), dWarmupS, m_nRun + 1);
    struct Figure {
        const char* szName;
        double Sample::*pValue;
        double dScale;
        const char* szUnit;
    };
    const Figure figures[] = {
        {"RSS", &Sample::dRssKiB, 1.0 / 1024, "MiB"},       {"threads", &Sample::dThreads, 1, ""},
        {"descriptors", &Sample::dDescriptors, 1, ""},      {"log.txt", &Sample::dLog, 1.0 / 1024, "KiB"},
        {"fleet.db", &Sample::dDb, 1.0 / 1024, "KiB"},      {"fleet.db-wal", &Sample::dWal, 1.0 / 1024, "KiB"},
        {"record index", &Sample::dIndex, 1.0 / 1024, "KiB"},
    };
    for (const Figure& f : figures) {
        double dMin = 0, dMax = 0;
        bool bFirst = true;
        for (const Sample& s : m_samples) {
            double d = s.*(f.pValue) * f.dScale;
            dMin = bFirst ? d : std::min(dMin, d);
            dMax = bFirst ? d : std::max(dMax, d);
            bFirst = false;
        }
        double dLast = m_samples.empty() ? 0 : m_samples.back().*(f.pValue) * f.dScale;
        std::printf("  %-13s %+11.3f %-3s/h   (from %.1f to %.1f, last %.1f %s)\n", f.szName,
                    SlopePerHour(m_samples, f.pValue, dWarmupS) * f.dScale, f.szUnit, dMin, dMax, dLast, f.szUnit);
    }

    // What was stored: on disk now, or deleted by retention (logged).
    const fs::path store = m_pServer->Store();
    std::map<std::string, Counts> stored;
    std::map<std::string, Counts> lastWaveStored;
    std::set<RecordingKey> onDisk;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(store, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        RecordingKey key;
        if (it->path().extension() == ".mp4" && KeyOf(it->path().lexically_relative(store), key))
            onDisk.insert(key);
    }
    std::size_t nUnknown = 0;
    auto add = [&](const RecordingKey& key) {
        auto it = m_expected.find(key);
        if (it == m_expected.end()) {
            ++nUnknown;
            return;
        }
        const std::string& name = std::get<0>(key);
        Counts& counts = stored[name];
        ++counts.nFiles;
        counts.nBytes += it->second.nSize;
        if (m_lastWave.count(name) && m_lastWave[name] == it->second.nWave) {
            ++lastWaveStored[name].nFiles;
            lastWaveStored[name].nBytes += it->second.nSize;
        }
    };
    for (const RecordingKey& key : onDisk)
        add(key);
    std::size_t nDeletedAndBack = 0;
    for (const RecordingKey& key : m_deleted) {
        if (onDisk.count(key))
            ++nDeletedAndBack;  // deleted and stored again: the disk has it once, the history twice
        add(key);
    }
    std::size_t nIdentical = 0;
    for (const auto& [key, bSame] : m_seen)
        nIdentical += bSame ? 1 : 0;
    std::size_t nEverStored = onDisk.size() + m_deleted.size();
    std::size_t nUnchecked = 0;
    for (const RecordingKey& key : m_deleted)
        nUnchecked += m_seen.count(key) ? 0 : 1;
    std::printf("recordings: %zu stored (%zu on disk, %zu deleted by retention), %zu \"downloaded over\" lines, "
                "%zu counted at a start from a dead run's note; byte-identical: %zu of %zu checked, %zu differ, "
                "%zu deleted before they were checked%s\n",
                nEverStored, onDisk.size(), m_deleted.size(), m_nStoredLines, m_nSettled, nIdentical, m_seen.size(),
                m_nDiffering, nUnchecked, m_bTmpfs ? "" : " (no tmpfs)");
    if (nUnknown > 0 || nDeletedAndBack > 0)
        std::printf("  %zu files dvrsim never offered, %zu deleted and stored again\n", nUnknown, nDeletedAndBack);

    std::map<std::string, History> history = ReadHistory(m_pServer->Dir() / "fleet.db");
    std::size_t nTotalsExact = 0, nDaysExact = 0, nVisitsExact = 0, nVisitsJudged = 0;
    std::set<std::string> names;
    for (const auto& [name, counts] : stored)
        names.insert(name);
    for (const auto& [name, h] : history)
        if (h.total.nFiles > 0)
            names.insert(name);
    for (const std::string& name : names) {
        const History h = history.count(name) ? history[name] : History {};
        const Counts want = stored.count(name) ? stored[name] : Counts {};
        bool bTotal = h.total == want;
        bool bDays = h.daySum == want;
        nTotalsExact += bTotal ? 1 : 0;
        nDaysExact += bDays ? 1 : 0;
        // A kill during the vehicle's last wave made two visits of it.
        bool bVisitJudged = !m_lastWaveKilled[name];
        const Counts wantVisit = lastWaveStored.count(name) ? lastWaveStored[name] : Counts {};
        bool bVisit = !bVisitJudged || h.lastVisit == wantVisit;
        nVisitsJudged += bVisitJudged ? 1 : 0;
        nVisitsExact += bVisitJudged && bVisit ? 1 : 0;
        if (!bTotal || !bDays || !bVisit)
            std::printf("  %s: history %llu files %llu bytes (days %llu/%llu, last visit %llu/%llu), stored %llu "
                        "files %llu bytes (last visit %llu/%llu)\n",
                        name.c_str(), static_cast<unsigned long long>(h.total.nFiles),
                        static_cast<unsigned long long>(h.total.nBytes), static_cast<unsigned long long>(h.daySum.nFiles),
                        static_cast<unsigned long long>(h.daySum.nBytes),
                        static_cast<unsigned long long>(h.lastVisit.nFiles),
                        static_cast<unsigned long long>(h.lastVisit.nBytes), static_cast<unsigned long long>(want.nFiles),
                        static_cast<unsigned long long>(want.nBytes), static_cast<unsigned long long>(wantVisit.nFiles),
                        static_cast<unsigned long long>(wantVisit.nBytes));
    }
    const bool bCountsExact = nTotalsExact == names.size() && nDaysExact == names.size() && nVisitsExact == nVisitsJudged;
    std::printf("history counts equal to what was stored: totals %zu of %zu vehicles, per-day sums %zu of %zu, last "
                "visits %zu of %zu (%zu split by a kill): %s\n",
                nTotalsExact, names.size(), nDaysExact, names.size(), nVisitsExact, nVisitsJudged,
                names.size() - nVisitsJudged, bCountsExact ? "exact" : "NOT exact");
    std::fflush(stdout);
    return m_nDiffering == 0 && bCountsExact ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    CBenchOptions args;
    args.Add("--minutes", &config.nMinutes, "M")
        .Add("--fleet", &config.nFleet)
        .Add("--wave-vehicles", &config.nWaveVehicles, "V")
        .Add("--wave-s", &config.nWaveS, "S")
        .Add("--visit-s", &config.nVisitS, "S")
        .Add("--channels", &config.nChannels, "C")
        .Add("--rec-kib", &config.nRecKiB, "K")
        .Add("--rec-seconds", &config.nRecSeconds, "S")
        .Add("--store-mib", &config.nStoreMiB, "T")
        .Add("--minfree-mib", &config.nMinFreeMiB, "F")
        .Add("--kills", &config.nKills, "K")
        .Add("--sample-s", &config.nSampleS, "S")
        .Add("--warmup-s", &config.nWarmupS, "S")
        .Add("--trace", &config.bTrace, "0|1");
    if (!args.Parse(argc, argv))
        return 2;
    if (config.nMinutes < 1 || config.nWaveVehicles < 2 || config.nFleet < config.nWaveVehicles ||
        config.nWaveS < 1 || config.nRecSeconds < 1 || config.nVisitS < config.nRecSeconds * 3 ||
        config.nChannels < 1 || config.nChannels > 16 || config.nRecKiB < 1 || config.nSampleS < 1 ||
        config.nStoreMiB <= config.nMinFreeMiB || config.nMinFreeMiB <= CDiskSpaceMonitor::kMinFreeMiB) {
        std::fprintf(stderr, "need --minutes >= 1, 2 <= --wave-vehicles <= --fleet, --visit-s >= 3 x --rec-seconds, "
                             "1 to 16 channels, --store-mib above --minfree-mib above %llu (where the server stops)\n",
                     static_cast<unsigned long long>(CDiskSpaceMonitor::kMinFreeMiB));
        return 2;
    }
    // A vehicle must be gone from the server's list before it comes back.
    const std::uint32_t nReturnS = config.nFleet / config.nWaveVehicles * config.nWaveS;
    if (nReturnS < config.nVisitS + kLeaveS) {
        std::fprintf(stderr, "a vehicle would come back %u s after it arrived, before the server let it go (visit %u s "
                             "+ %u s): take a larger --fleet or --wave-s\n",
                     nReturnS, config.nVisitS, kLeaveS);
        return 2;
    }
    IgnoreSigPipe();
    std::printf("%u min: fleet of %u, a wave of %u every %u s staying %u s (one leaves after a third), %u channels, "
                "recordings of %u KiB every %u s of footage, cut transfers every other wave, %u kills\n",
                config.nMinutes, config.nFleet, config.nWaveVehicles, config.nWaveS, config.nVisitS, config.nChannels,
                config.nRecKiB, config.nRecSeconds, config.nKills);
    std::fflush(stdout);
    CSoak soak(config);
    return soak.Run();
}
