#include "depot/Retention.h"

#include "core/Logger.h"
#include "core/PeriodicRunner.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"
#include "store/LocalStore.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

struct CRetention::Recording {
    std::uint32_t tStart = 0;
    std::string path;
    std::string relPath;  // below the root
    std::string vehicle;
    std::string chanDir;
    std::string dateDir;
};

namespace {

using Recording = CRetention::Recording;

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::uint64_t kMiB = 1024 * 1024;

bool AllDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int DigitsValue(std::string_view text)
{
    int nValue = 0;
    for (char c : text)
        nValue = nValue * 10 + (c - '0');
    return nValue;
}

// 00:00 of the day a "DD-MM-YYYY" name stands for; nothing when it names no real day.
std::optional<std::int64_t> DateDirStart(const std::string& name)
{
    std::string_view view(name);
    if (view.size() != 10 || view[2] != '-' || view[5] != '-' || !AllDigits(view.substr(0, 2))
        || !AllDigits(view.substr(3, 2)) || !AllDigits(view.substr(6, 4)))
        return std::nullopt;
    int nDay = DigitsValue(view.substr(0, 2));
    int nMonth = DigitsValue(view.substr(3, 2));
    int nYear = DigitsValue(view.substr(6, 4));
    // Wall-clock seconds are 32 bits unsigned: 1970 to early 2106.
    if (nYear < 1970 || nYear > 2105 || nMonth < 1 || nMonth > 12 || nDay < 1 || nDay > 31)
        return std::nullopt;
    std::uint32_t tDay = WallClockFromFields(nYear, nMonth, nDay, 0, 0, 0);
    if (DateDirName(tDay) != name)
        return std::nullopt;  // 31-04 and the like roll over into the next month
    return tDay;
}

// "chNN": the recorder's channels, two digits or more.
bool IsChannelDirName(std::string_view name)
{
    return name.size() >= 4 && name.substr(0, 2) == "ch" && AllDigits(name.substr(2));
}

// The start of a finished recording's name "chNN_<14 digits>_<14 digits>.mp4";
// nothing for any other name.
std::optional<std::uint32_t> FinishedStart(std::string_view name)
{
    constexpr std::size_t kTimeLen = 14;
    constexpr std::string_view kExt = ".mp4";
    std::size_t nSep = name.find('_');
    if (nSep == std::string_view::npos || !IsChannelDirName(name.substr(0, nSep)))
        return std::nullopt;
    std::string_view rest = name.substr(nSep + 1);
    if (rest.size() != 2 * kTimeLen + 1 + kExt.size() || rest[kTimeLen] != '_'
        || rest.substr(2 * kTimeLen + 1) != kExt || !AllDigits(rest.substr(0, kTimeLen))
        || !AllDigits(rest.substr(kTimeLen + 1, kTimeLen)))
        return std::nullopt;
    return ParseTimeString(rest.substr(0, kTimeLen));
}

// The names in dir of real directories (bDirs) or regular files, sorted; symbolic
// links are never listed, so no walk leaves the store. Entries that vanish while
// listed, or a directory that cannot be read, just list nothing.
std::vector<std::string> ListEntries(const std::string& dir, bool bDirs)
{
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    while (!ec && it != fs::directory_iterator()) {
        std::error_code typeEc;
        fs::file_type type = it->symlink_status(typeEc).type();
        if (!typeEc && type == (bDirs ? fs::file_type::directory : fs::file_type::regular))
            names.push_back(it->path().filename().string());
        it.increment(ec);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool QuitSet(const CEvent* pQuit)
{
    return pQuit != nullptr && pQuit->IsSet();
}

// The finished recordings of the vehicles not in busy, in date directories whose
// day starts before tBefore (any date when there is no bound).
std::vector<Recording> FindRecordings(std::string root, const std::set<std::string>& busy,
                                      std::optional<std::int64_t> tBefore, const CEvent* pQuit)
{
    // A configured "dir/" must not log its paths as "dir//vehicle/...".
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    std::vector<Recording> found;
    for (const std::string& vehicle : ListEntries(root, true)) {
        if (QuitSet(pQuit))
            break;
        if (busy.count(vehicle) != 0)
            continue;
        std::string vehicleDir = root + "/" + vehicle;
        for (const std::string& date : ListEntries(vehicleDir, true)) {
            std::optional<std::int64_t> tDay = DateDirStart(date);
            if (!tDay || (tBefore && *tDay >= *tBefore))
                continue;
            std::string dateDir = vehicleDir + "/" + date;
            for (const std::string& chan : ListEntries(dateDir, true)) {
                if (!IsChannelDirName(chan))
                    continue;
                std::string chanDir = dateDir + "/" + chan;
                for (const std::string& name : ListEntries(chanDir, false)) {
                    std::optional<std::uint32_t> tStart = FinishedStart(name);
                    if (tStart)
                        found.push_back(Recording {*tStart, chanDir + "/" + name,
                                                   vehicle + "/" + date + "/" + chan + "/" + name, vehicle, chanDir,
                                                   dateDir});
                }
            }
        }
    }
    return found;
}

// Removes dir when it is a real, empty directory. rmdir refuses a directory that
// holds anything, so a file a receiver creates meanwhile keeps it.
void RemoveEmptyDir(const std::string& dir)
{
    std::error_code ec;
    if (fs::symlink_status(dir, ec).type() == fs::file_type::directory)
        fs::remove(dir, ec);
}

// Deletes a recording and the channel and date directories it leaves empty. False
// when it is gone already or cannot be deleted: receivers write the store meanwhile.
bool DeleteRecording(const Recording& recording)
{
    std::error_code ec;
    if (fs::symlink_status(recording.path, ec).type() != fs::file_type::regular)
        return false;
    if (!fs::remove(recording.path, ec))
        return false;
    RemoveEmptyDir(recording.chanDir);
    RemoveEmptyDir(recording.dateDir);
    return true;
}

} // namespace

CRetention::CRetention() : m_query(FreeDiskSpace), m_busy([] { return std::set<std::string>(); }), m_clock(WallClockNow)
{
}

CRetention::~CRetention() = default;

void CRetention::SetQuery(FreeSpaceQuery query)
{
    m_query = std::move(query);
}

void CRetention::SetBusyVehicles(BusyVehicles busy)
{
    m_busy = std::move(busy);
}

void CRetention::SetClock(Clock clock)
{
    m_clock = std::move(clock);
}

void CRetention::SetOnDeleted(OnDeleted onDeleted)
{
    m_onDeleted = std::move(onDeleted);
}

int CRetention::ApplyAge(const std::string& root, std::uint32_t nRetainDays)
{
    CMutexLock guard(m_sweepLock);
    Pass pass;
    return x_AgeStep(root, nRetainDays, pass, SIZE_MAX, nullptr);
}

int CRetention::ApplySpace(const std::string& root, std::uint32_t nMinFreeMb)
{
    CMutexLock guard(m_sweepLock);
    Pass pass;
    return x_SpaceStep(root, nMinFreeMb, pass, SIZE_MAX, nullptr);
}

void CRetention::AddTo(CPeriodicRunner& runner)
{
    // The age rule first: at the runner's start both are due, and what it deletes may
    // already satisfy the space rule.
    runner.Add("retention age rule", &ZelTiming::nRetentionAgeMs, [this] { return StepAge(); });
    runner.Add("retention space rule", &ZelTiming::nRetentionSpaceMs, [this] { return StepSpace(); });
}

void CRetention::Start(const std::string& root, std::uint32_t nRetainDays, std::uint32_t nMinFreeMb)
{
    {
        CMutexLock guard(m_sweepLock);
        m_agePass = Pass();
        m_spacePass = Pass();
    }
    CMutexLock guard(m_configLock);
    m_hQuit.Reset();
    m_config = Config {nRetainDays != 0 || nMinFreeMb != 0, root, nRetainDays, nMinFreeMb};
}

void CRetention::Stop()
{
    CMutexLock guard(m_configLock);
    m_config.bOn = false;
    m_hQuit.Set();
}

CRetention::Config CRetention::x_Config()
{
    CMutexLock guard(m_configLock);
    return m_config;
}

bool CRetention::StepAge()
{
    const Config config = x_Config();
    CMutexLock guard(m_sweepLock);
    if (!config.bOn || config.nRetainDays == 0) {
        m_agePass = Pass();
        return false;
    }
    x_AgeStep(config.root, config.nRetainDays, m_agePass, kDeletionsPerStep, &m_hQuit);
    return m_agePass.bActive;
}

bool CRetention::StepSpace()
{
    const Config config = x_Config();
    CMutexLock guard(m_sweepLock);
    if (!config.bOn || config.nMinFreeMb == 0) {
        m_spacePass = Pass();
        return false;
    }
    if (m_agePass.bActive)
        return true;
    x_SpaceStep(config.root, config.nMinFreeMb, m_spacePass, kDeletionsPerStep, &m_hQuit);
    return m_spacePass.bActive;
}

int CRetention::x_AgeStep(const std::string& root, std::uint32_t nRetainDays, Pass& pass, std::size_t nMax,
                          const CEvent* pQuit)
{
    if (nRetainDays == 0 || root.empty())
        return 0;
    std::set<std::string> busy = m_busy ? m_busy() : std::set<std::string>();
    if (!pass.bActive) {
        std::int64_t tNow = m_clock ? m_clock() : WallClockNow();
        std::int64_t tToday = tNow - tNow % kSecondsPerDay;
        std::int64_t tBefore = tToday - static_cast<std::int64_t>(nRetainDays) * kSecondsPerDay;
        pass = Pass();
        pass.todo = FindRecordings(root, busy, tBefore, pQuit);
        pass.bActive = true;
    }

    int nDeleted = 0;
    std::size_t nTried = 0;
    while (pass.nNext < pass.todo.size() && nTried < nMax) {
        if (QuitSet(pQuit))
            break;
        const Recording& recording = pass.todo[pass.nNext++];
        ++nTried;
        // Asked again at every step: a vehicle may have started downloading since.
        if (busy.count(recording.vehicle) != 0 || !DeleteRecording(recording))
            continue;
        ++nDeleted;
        if (m_onDeleted)
            m_onDeleted(recording.relPath);
        WriteLog(Format("Retention: deleted %s, older than %u days", recording.path.c_str(), nRetainDays),
                 recording.vehicle.c_str());
    }
    if (QuitSet(pQuit) || pass.nNext >= pass.todo.size())
        pass = Pass();
    return nDeleted;
}

int CRetention::x_SpaceStep(const std::string& root, std::uint32_t nMinFreeMb, Pass& pass, std::size_t nMax,
                            const CEvent* pQuit)
{
    if (nMinFreeMb == 0 || root.empty() || !m_query)
        return 0;
    const std::uint64_t nFloor = static_cast<std::uint64_t>(nMinFreeMb) * kMiB;
    const std::uint64_t nTarget = nFloor + nFloor / 10;
    std::set<std::string> busy;
    if (!pass.bActive) {
        if (!x_BeginSpacePass(root, nFloor, pass, busy, pQuit))
            return 0;
    } else {
        busy = m_busy ? m_busy() : std::set<std::string>();
    }

    int nDeleted = 0;
    std::size_t nTried = 0;
    while (pass.nNext < pass.todo.size()) {
        if (QuitSet(pQuit) || nTried >= nMax) {
            if (QuitSet(pQuit))
                pass = Pass();
            return nDeleted;
        }
        const Recording& recording = pass.todo[pass.nNext++];
        ++nTried;
        if (busy.count(recording.vehicle) != 0 || !DeleteRecording(recording))
            continue;
        ++nDeleted;
        if (m_onDeleted)
            m_onDeleted(recording.relPath);
        WriteLog(Format("Retention: deleted %s, free space below %u MiB", recording.path.c_str(), nMinFreeMb),
                 recording.vehicle.c_str());
        std::optional<std::uint64_t> nFree = m_query(root);
        if (!nFree) {
            pass = Pass();
            return nDeleted;  // no figure to go by: the next sweep asks again
        }
        pass.nFree = *nFree;
        if (*nFree >= nTarget) {
            m_bFloorReported = false;
            pass = Pass();
            return nDeleted;
        }
    }

    x_ReportFloor(pass.nFree, nMinFreeMb);
    pass = Pass();
    return nDeleted;
}

bool CRetention::x_BeginSpacePass(const std::string& root, std::uint64_t nFloor, Pass& pass,
                                  std::set<std::string>& busy, const CEvent* pQuit)
{
    std::optional<std::uint64_t> nFree = m_query(root);
    if (!nFree)
        return false;
    if (*nFree >= nFloor) {
        m_bFloorReported = false;
        return false;
    }
    busy = m_busy ? m_busy() : std::set<std::string>();
    pass = Pass();
    pass.todo = FindRecordings(root, busy, std::nullopt, pQuit);
    std::sort(pass.todo.begin(), pass.todo.end(), [](const Recording& a, const Recording& b) {
        return std::tie(a.tStart, a.path) < std::tie(b.tStart, b.path);
    });
    pass.nFree = *nFree;
    pass.bActive = true;
    return true;
}

void CRetention::x_ReportFloor(std::uint64_t nFree, std::uint32_t nMinFreeMb)
{
    if (nFree >= static_cast<std::uint64_t>(nMinFreeMb) * kMiB) {
        m_bFloorReported = false;
    } else if (!m_bFloorReported) {
        m_bFloorReported = true;
        WriteLog(Format("Retention: free space below %u MiB and no recording left to delete", nMinFreeMb));
    }
}
