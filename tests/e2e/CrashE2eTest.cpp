#include "e2e/E2eFixture.h"
#include "settings/WallClock.h"
#include "support/ServerProcess.h"
#include "support/SqliteFile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kDaySeconds = 86400;

// Files and bytes of one vehicle, or of one of its days.
struct Counts {
    std::uint64_t nFiles = 0;
    std::uint64_t nBytes = 0;
    bool operator==(const Counts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Counts& counts)
{
    return out << counts.nFiles << " files, " << counts.nBytes << " bytes";
}

// What fleet.db holds of one vehicle, read through a connection of its own.
struct StoredHistory {
    Counts total;
    Counts lastVisit;
    std::map<std::uint32_t, Counts> days;
};

// The zeldownloadd of the build as its own process, in Dir() as its working directory, so
// that SIGKILL ends it at any point, as a crash or a power switch would.
class CrashE2eTest : public E2eFixture {
protected:
    void SetUp() override
    {
        E2eFixture::SetUp();
        // This process's own history would write the same fleet.db.
        Control().History().Close();
        Control().History().Forget();
    }

    void TearDown() override
    {
        m_server.Stop(SIGKILL);
        E2eFixture::TearDown();
    }

    void Launch()
    {
        // Each start empties log.txt: the one of the run before is kept for a failure
        // message.
        if (m_nRuns > 0) {
            std::error_code ec;
            fs::rename(Dir() / "log.txt", Dir() / ("log." + std::to_string(m_nRuns - 1) + ".txt"), ec);
        }
        ++m_nRuns;
        ASSERT_TRUE(m_server.Start({.dir = Dir(), .out = "/dev/null"}));
        ASSERT_TRUE(WaitFor([this] { return fs::exists(Dir() / "log.txt") && LogHas("Server starts"); }, 10s));
    }

    void Kill() { m_server.Stop(SIGKILL); }
    void Terminate() { m_server.Stop(SIGTERM); }

    // Waits until a partial file grows, that is while a transfer streams in: one left
    // by an earlier kill does not count until its resume brings bytes.
    bool WaitForGrowingPartial(std::chrono::milliseconds timeout)
    {
        std::map<fs::path, std::uintmax_t> sizes;
        bool bFirst = true;
        return WaitFor(
            [&] {
                bool bGrew = false;
                for (const fs::path& path : FilesWithExtension(".td")) {
                    std::error_code ec;
                    std::uintmax_t nSize = fs::file_size(path, ec);
                    if (ec)
                        continue;
                    auto [it, bNew] = sizes.try_emplace(path, nSize);
                    bGrew = bGrew || (!bFirst && (bNew ? nSize > 0 : nSize > it->second));
                    it->second = nSize;
                }
                bFirst = false;
                return bGrew;
            },
            timeout);
    }

    // Kills the server the moment a recording takes its finished name in one of dirs:
    // the rename is seen through inotify, within microseconds. The name, or "" when no
    // rename came within the timeout.
    std::string KillRightAfterARename(const std::vector<fs::path>& dirs, std::chrono::milliseconds timeout)
    {
        int fd = ::inotify_init1(IN_CLOEXEC);
        EXPECT_GE(fd, 0);
        for (const fs::path& dir : dirs)
            EXPECT_GE(::inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO), 0) << dir;
        std::string name;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        alignas(inotify_event) char buf[4096];
        while (name.empty() && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd {fd, POLLIN, 0};
            if (::poll(&pfd, 1, 100) != 1)
                continue;
            ssize_t n = ::read(fd, buf, sizeof(buf));
            for (ssize_t off = 0; n > 0 && off < n;) {
                const auto* pEvent = reinterpret_cast<const inotify_event*>(buf + off);
                std::string entry = pEvent->len > 0 ? pEvent->name : "";
                if (name.empty() && entry.size() > 4 && entry.compare(entry.size() - 4, 4, ".mp4") == 0) {
                    Kill();
                    name = entry;
                }
                off += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
            }
        }
        ::close(fd);
        return name;
    }

    // Each vehicle's finished recordings as the disk has them: in all, and by the
    // day (wall clock) they took their finished name, the time of their rename.
    std::map<std::string, StoredHistory> DiskCounts() const
    {
        const std::int64_t nWallOffset = static_cast<std::int64_t>(WallClockNow()) - std::time(nullptr);
        std::map<std::string, StoredHistory> disk;
        for (const fs::path& path : FilesWithExtension(".mp4")) {
            struct stat st {};
            EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
            StoredHistory& vehicle = disk[path.lexically_relative(Dir() / "store").begin()->string()];
            const auto nBytes = static_cast<std::uint64_t>(st.st_size);
            vehicle.total.nFiles += 1;
            vehicle.total.nBytes += nBytes;
            const auto tRenamed = static_cast<std::uint32_t>(st.st_ctim.tv_sec + nWallOffset);
            Counts& day = vehicle.days[tRenamed - tRenamed % kDaySeconds];
            day.nFiles += 1;
            day.nBytes += nBytes;
        }
        return disk;
    }

    std::map<std::string, StoredHistory> HistoryCounts() const
    {
        std::map<std::string, StoredHistory> history;
        SqliteFile db((Dir() / "fleet.db").string(), true);
        EXPECT_TRUE(db.IsOpen());
        // A row's columns; the names here hold no '|'.
        auto cells = [](const std::string& row) {
            std::vector<std::string> cells;
            std::istringstream in(row);
            for (std::string cell; std::getline(in, cell, '|');)
                cells.push_back(cell);
            return cells;
        };
        auto u64 = [](const std::string& text) { return static_cast<std::uint64_t>(std::stoull(text)); };
        for (const std::string& row :
             db.Rows("SELECT name, files_total, bytes_total, files_last_visit, bytes_last_visit FROM vehicle")) {
            const std::vector<std::string> c = cells(row);
            StoredHistory& vehicle = history[c.at(0)];
            vehicle.total = {u64(c.at(1)), u64(c.at(2))};
            vehicle.lastVisit = {u64(c.at(3)), u64(c.at(4))};
        }
        for (const std::string& row : db.Rows("SELECT name, day, files, bytes FROM day_total")) {
            const std::vector<std::string> c = cells(row);
            history[c.at(0)].days[static_cast<std::uint32_t>(u64(c.at(1)))] = {u64(c.at(2)), u64(c.at(3))};
        }
        EXPECT_EQ(db.Int("SELECT count(*) FROM store_note"), 0);
        return history;
    }

    // The recordings the last run stored per vehicle, with their sizes from the disk:
    // its one visit, begun by its first registration (a repeated one is logged alike).
    std::map<std::string, Counts> LastVisitCounts() const
    {
        std::map<std::string, Counts> visits;
        const std::string over = " is downloaded over!";
        for (const std::string& message : ReadLogMessages()) {
            std::size_t nRegistered = message.find(" Registed, ");
            if (nRegistered != std::string::npos) {
                visits.try_emplace(message.substr(0, nRegistered));
                continue;
            }
            // "file NAME of channel N of VEHICLE is downloaded over!"
            if (message.rfind("file ", 0) != 0 || message.size() < over.size() ||
                message.compare(message.size() - over.size(), over.size(), over) != 0)
                continue;
            std::size_t nOf = message.rfind(" of ", message.size() - over.size());
            std::string vehicle = message.substr(nOf + 4, message.size() - over.size() - nOf - 4);
            std::string name = message.substr(5, message.find(' ', 5) - 5);
            for (const fs::path& path : FilesWithExtension(".mp4")) {
                if (path.filename() == name && path.lexically_relative(Dir() / "store").begin()->string() == vehicle) {
                    visits[vehicle].nFiles += 1;
                    visits[vehicle].nBytes += fs::file_size(path);
                }
            }
        }
        return visits;
    }

    std::string Logs() const
    {
        std::string text;
        for (int i = 0; i < m_nRuns; ++i) {
            fs::path path = Dir() / (i + 1 < m_nRuns ? "log." + std::to_string(i) + ".txt" : std::string("log.txt"));
            text += "--- run " + std::to_string(i) + "\n" + ReadFile(path);
        }
        return text;
    }

    ServerProcess m_server;
    int m_nRuns = 0;
};

} // namespace

// Killed three times while files stream in and once right after a recording took its
// finished name, the server counts every recording it stored exactly once, with all
// its bytes (a resumed recording's bytes from before the kill included), on the day it
// was stored, and the last visit holds what that visit stored.
TEST_F(CrashE2eTest, KilledServerCountsEveryStoredRecordingOnceWithAllItsBytes)
{
    Configure();
    // Every channel directory is there before the first transfer, to be watched.
    SimOptions options = Options({"CRASH-A", "CRASH-B"}, 2, 4, 24u << 20);
    std::vector<fs::path> chanDirs;
    for (const std::string& vehicle : options.vecNames) {
        for (int nChan = 1; nChan <= options.nChannels; ++nChan) {
            chanDirs.push_back(Dir() / "store" / vehicle / DateDirName(kT0) / ChannelDirName(nChan));
            fs::create_directories(chanDirs.back());
        }
    }
    ASSERT_NO_FATAL_FAILURE(Launch());
    StartSim(options);
    for (int nKill = 0; nKill < 3; ++nKill) {
        ASSERT_TRUE(WaitForGrowingPartial(60s)) << "kill " << nKill << "\n" << Logs();
        Kill();
        ASSERT_NO_FATAL_FAILURE(Launch());
    }
    std::string renamed = KillRightAfterARename(chanDirs, 60s);
    ASSERT_FALSE(renamed.empty()) << Logs();
    ASSERT_NO_FATAL_FAILURE(Launch());
    const bool bStored = WaitAllStored(120s);
    Terminate();
    ASSERT_TRUE(bStored) << m_pSim->Summary() << "\n" << Logs();
    ExpectAllByteIdentical();
    EXPECT_TRUE(FilesWithExtension(".td").empty());

    // The recording renamed as the server died was counted by the next run, from the
    // note the dead one left.
    EXPECT_NE(Logs().find(renamed + ", stored as the last run ended, counted now"), std::string::npos) << renamed;
    const std::map<std::string, StoredHistory> disk = DiskCounts();
    const std::map<std::string, StoredHistory> history = HistoryCounts();
    const std::map<std::string, Counts> lastVisits = LastVisitCounts();
    ASSERT_EQ(disk.size(), options.vecNames.size());
    ASSERT_EQ(history.size(), options.vecNames.size());
    for (const auto& [name, onDisk] : disk) {
        ASSERT_TRUE(history.count(name)) << name;
        const StoredHistory& counted = history.at(name);
        EXPECT_EQ(onDisk.total, (Counts {4u * 2u, 4u * 2u * (24u << 20)})) << name;
        EXPECT_EQ(counted.total, onDisk.total) << name;
        EXPECT_EQ(counted.days, onDisk.days) << name;
        ASSERT_TRUE(lastVisits.count(name)) << name;
        EXPECT_EQ(counted.lastVisit, lastVisits.at(name)) << name;
    }
}
