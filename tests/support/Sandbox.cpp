#include "Sandbox.h"

#include "control/LogThrottle.h"
#include "control/UDPSrv.h"
#include "core/Logger.h"
#include "core/ServerCounters.h"
#include "depot/FleetHistory.h"
#include "depot/TransferScheduler.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/DepotSettings.h"
#include "settings/RecordIndex.h"
#include "settings/Settings.h"
#include "shell/ServerControl.h"
#include "vehicles/DownloadTask.h"
#include "vehicles/VehicleMgr.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace {

// Ends every thread a test may have left running in a process-wide object, before
// the values they read are reset and the test's objects go.
void StopProcessWide()
{
    CServerControl::Instance().Stop();
    CServerControl::Instance().Runner().Stop();  // one whose disk check stopped the server may still run
    CUDPSrv::Instance().Stop();  // a test may run the control channel alone
    CVehicleMgr::Instance().RemoveAll();
    CFleetHistory::Instance().Close();  // the next Open takes the next test's ./fleet.db
    CFleetHistory::Instance().Forget();
    CRecordIndex::ReleaseInstance();
}

// The values a fresh process starts with.
void ResetProcessWide()
{
    ResetTiming();
    GlobalSettings() = DefaultSettings();
    SpecialConfig().clear();
    EnablePrivileges() = 0;
    GlobalDepotSettings() = DepotSettings();
    CServerCounters::Instance().Reset();
    CLogThrottle::ForgetAll();
    CTransferScheduler::Instance().SetLimit(0);
    CTransferScheduler::Instance().ResetPeak();
    CVehicleMgr& registry = CVehicleMgr::Instance();
    registry.SetClock([] { return static_cast<std::uint32_t>(std::time(nullptr)); });
    registry.SetTaskFunction(CDownloadTask::RunChannel);
    CServerControl& control = CServerControl::Instance();
    control.SetLowSpaceHandler([] { CServerControl::Instance().Stop(); });
    control.DiskMonitor().SetQuery(FreeDiskSpace);
    control.Retention().SetQuery(FreeDiskSpace);
    CRecordIndex::SetInstanceDirectory("");
    InjectSyncFault(SyncFault::Data, 0, 0);
    InjectSyncFault(SyncFault::Directory, 0, 0);
}

void SetTz(const std::optional<std::string>& tz)
{
    if (tz)
        ::setenv("TZ", tz->c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

} // namespace

void Sandbox::SetUp()
{
    m_oldCwd = std::filesystem::current_path();
    std::string tmpl = (std::filesystem::temp_directory_path() / "zeltest-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    m_dir = tmpl;
    std::filesystem::current_path(m_dir);
    if (const char* szTz = std::getenv("TZ"))
        m_oldTz = szTz;
    CLogger::Instance().Reset((m_dir / "log.txt").string());
    CRecordIndex::SetInstanceDirectory(m_dir.string());
}

// Values are put back when the test is over, not in SetUp: a fixture may set some
// before it calls SetUp, for the threads its SetUp starts.
void Sandbox::TearDown()
{
    StopProcessWide();
    ResetProcessWide();
    // tzset races with the notification thread's clock reads: only when a test moved TZ.
    const char* szTz = std::getenv("TZ");
    if ((szTz == nullptr) != !m_oldTz || (szTz && *m_oldTz != szTz))
        SetTz(m_oldTz);
    std::filesystem::current_path(m_oldCwd);
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::string Sandbox::ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Sandbox::WriteFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}
