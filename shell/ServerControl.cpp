#include "shell/ServerControl.h"

#include "core/Logger.h"
#include "core/NotifyCenter.h"
#include "platform/MutexLock.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "settings/WallClock.h"
#include "shell/SettingsReport.h"
#include "web/LogRing.h"

#include <optional>

namespace {

// The settings of this start, as one snapshot. A relative download directory of a
// server with its own home is taken inside that home, so nothing depends on the
// working directory.
ServerConfigPtr ReadConfig(CSettingsFile& file, const std::filesystem::path& home, SettingsReport& report)
{
    report = ReadSettingsReport(file);
    auto pConfig = std::make_shared<ServerConfig>();
    pConfig->settings = report.settings;
    pConfig->depot = report.depot;
    int nFlag = 0;
    LoadSpecialConfig(pConfig->special, nFlag, file);
    pConfig->bSpecialOn = nFlag == 1;
    std::filesystem::path downDir = pConfig->settings.szDownDir;
    if (!home.empty() && downDir.is_relative())
        CopyField(pConfig->settings.szDownDir, sizeof(pConfig->settings.szDownDir), (home / downDir).string());
    return pConfig;
}

} // namespace

CServerControl::CServerControl(std::filesystem::path home, std::string indexDir)
    : m_home(std::move(home)), m_strIndexDir(std::move(indexDir)), m_onLowSpace([this] { Stop(); }),
      m_history(InHome(CFleetHistory::kDefaultPath).string()),
      m_requests(InHome(CFootageRequests::kDefaultPath).string()),
      // The dashboard's log starts with the first line the program writes.
      m_log(CLogRing::Instance())
{
    m_catalogue.SetOnUnhashed([this](std::int64_t nId) { m_hasher.Offer(nId); });
}

CServerControl::~CServerControl()
{
    Stop();
    ReleaseStopped();
    m_requests.Close();
    m_hasher.Stop();
    m_catalogue.Close();
    m_audit.Close();
    m_history.Close();
}

void CServerControl::ReleaseStopped()
{
    std::shared_ptr<CDepotServer> pStopped;
    {
        // A Stop under way on the runner's thread hands its server over first.
        CMutexLock guard(m_lock);
        CMutexLock serverGuard(m_serverLock);
        pStopped.swap(m_pStopped);
    }
    pStopped.reset();
}

std::filesystem::path CServerControl::InHome(const char* szName) const
{
    return m_home.empty() ? std::filesystem::path(szName) : m_home / szName;
}

void CServerControl::OpenDatabases(const ServerConfig& config)
{
    m_history.Open();
    // After the history: a damaged fleet.db is kept aside by the history's Open, and
    // the others then open the fresh file (the catalogue's walk fills it again).
    const std::string dbPath = InHome(CFleetHistory::kDefaultPath).string();
    m_requests.Open();
    m_catalogue.Open(dbPath, config.settings.szDownDir);
    m_audit.Open(dbPath);
}

std::filesystem::path CServerControl::SettingsPath() const
{
    return m_home.empty() ? std::filesystem::path(CSettingsFile::kDefaultPath) : m_home / "QorConfig.xml";
}

void CServerControl::SetLowSpaceHandler(std::function<void()> handler)
{
    m_onLowSpace = std::move(handler);
}

CRecordIndex& CServerControl::Index()
{
    CMutexLock guard(m_indexLock);
    if (!m_pIndex)
        m_pIndex = std::make_unique<CRecordIndex>(!m_strIndexDir.empty() ? m_strIndexDir
                                                  : m_home.empty()        ? CRecordIndex::DefaultDirectory()
                                                                          : m_home.string());
    return *m_pIndex;
}

std::shared_ptr<CDepotServer> CServerControl::Server() const
{
    CMutexLock guard(m_serverLock);
    return m_pServer;
}

CDepotServer::Setup CServerControl::MakeSetup(const ServerConfigPtr& pConfig, CSettingsFile& file)
{
    CDepotServer::Setup setup = m_hooks;
    setup.pConfig = pConfig;
    setup.web = LoadWebSettings(file);
    setup.pIndex = pConfig->settings.bComponentMode != 0 ? &Index() : nullptr;
    setup.pRequests = &m_requests;
    setup.nLastTransaction = m_nLastTransaction;
    setup.pCatalogue = m_catalogue.IsOpen() ? &m_catalogue : nullptr;
    setup.pAudit = m_audit.IsOpen() ? &m_audit : nullptr;
    setup.pCentral = &m_central;
    setup.tStartedAt = WallClockNow();
    setup.addTasks = [this](CPeriodicRunner& runner) {
        m_monitor.AddTo(runner);
        m_history.AddTo(runner);
        m_catalogue.AddTo(runner);
    };
    return setup;
}

int CServerControl::Start()
{
    // A runner whose disk check stopped the last server is waited for before the lock,
    // which its Stop may still need.
    if (!m_bRunning)
        ReleaseStopped();
    CMutexLock guard(m_lock);
    // Not running, yet a server: a Stop has begun and not yet taken the lock.
    while (!m_bRunning && Server())
        m_stopDone.Wait(m_lock);
    if (m_bRunning)
        return 0;
    std::optional<CSettingsFile> ownFile;
    if (!m_home.empty())
        ownFile.emplace(SettingsPath().string());
    CSettingsFile& file = ownFile ? *ownFile : SettingsFile();
    SettingsReport report;
    ServerConfigPtr pConfig = ReadConfig(file, m_home, report);
    CLogger::Instance().SetRotation(LogRotationOf(pConfig->depot));
    // What the server runs with (the download directory as taken in home), and what
    // in the file it does not take as written, follow the start's own line.
    auto logSettings = [&report, &pConfig] {
        WriteLog(SettingsSummary(pConfig->settings, pConfig->depot));
        for (const std::string& warning : report.warnings)
            WriteLog(warning);
    };
    OpenDatabases(*pConfig);
    // After every table it feeds from exists; it only reads fleet.db until it connects.
    m_central.Start(LoadCentralSettings(file), InHome(CFleetHistory::kDefaultPath).string(), &m_requests);

    auto pServer = std::make_shared<CDepotServer>(MakeSetup(pConfig, file), CNotifyCenter::Instance(), m_history,
                                                  m_log);
    if (pServer->BindControl() != 0) {
        WriteLog("failed to create udp server");
        logSettings();
        m_central.Stop();
        return -1;
    }
    {
        CMutexLock serverGuard(m_serverLock);
        m_pServer = pServer;
    }
    WriteLog("Server starts");
    logSettings();
    m_tStarted = WallClockNow();
    m_bRunning = true;
    m_monitor.Start(pConfig->settings.szDownDir, m_onLowSpace);
    // A thread of the run, as the download threads are: none is left when it stops.
    m_hasher.Start();
    pServer->StartServices([this] { return IsRunning(); });
    return 0;
}

void CServerControl::Stop()
{
    // One stopper proceeds; the disk check may be the stopper, and its runner's thread
    // is then only told to end (see CPeriodicRunner).
    if (!m_bRunning.exchange(false))
        return;
    m_monitor.Stop();
    m_hasher.Stop();
    CMutexLock guard(m_lock);
    std::shared_ptr<CDepotServer> pServer;
    {
        CMutexLock serverGuard(m_serverLock);
        pServer = m_pServer;
    }
    if (pServer) {
        pServer->Stop();
        m_nLastTransaction = pServer->LastTransaction();
        pServer.reset();
        // Kept, not destroyed here: this thread may be its runner's, which cannot wait
        // for itself.
        CMutexLock serverGuard(m_serverLock);
        m_pStopped = std::move(m_pServer);
    }
    // The departures just recorded; the runner that would write them has ended.
    m_history.Flush();
    m_catalogue.Flush();
    // What it has not sent waits in fleet.db for the next start.
    m_central.Stop();
    WriteLog("Server stops");
    m_stopDone.NotifyAll();
}
