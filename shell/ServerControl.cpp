#include "shell/ServerControl.h"

#include "control/UDPSrv.h"
#include "core/Logger.h"
#include "depot/FleetHistory.h"
#include "depot/TransferScheduler.h"
#include "platform/MutexLock.h"
#include "platform/Timing.h"
#include "settings/DepotSettings.h"
#include "settings/RecordIndex.h"
#include "settings/Settings.h"
#include "settings/WallClock.h"
#include "shell/SettingsReport.h"
#include "vehicles/ControlRouter.h"
#include "vehicles/VehicleMgr.h"
#include "web/LogRing.h"
#include "web/WebServer.h"
#include "web/WebSettings.h"

CServerControl& CServerControl::Instance()
{
    static CServerControl s_control;
    return s_control;
}

CServerControl::CServerControl() : m_onLowSpace([this] { Stop(); })
{
    // The dashboard's log starts with the first line the server writes.
    CLogRing::Instance();
    m_retention.SetBusyVehicles([] { return CVehicleMgr::Instance().DownloadingNames(); });
    m_monitor.AddTo(m_runner);
    m_retention.AddTo(m_runner);
    CFleetHistory::Instance().AddTo(m_runner);
}

CServerControl::~CServerControl()
{
    Stop();
}

void CServerControl::SetLowSpaceHandler(std::function<void()> handler)
{
    m_onLowSpace = std::move(handler);
}

int CServerControl::Start()
{
    // A runner whose low-space check stopped the server is waited for before the lock,
    // which its Stop may still need.
    if (!m_bRunning)
        m_runner.Stop();
    CMutexLock guard(m_lock);
    if (m_bRunning)
        return 0;
    SettingsReport report = ReadSettingsReport(SettingsFile());
    GlobalSettings() = report.settings;
    LoadSpecialConfig(SpecialConfig(), EnablePrivileges());
    GlobalDepotSettings() = report.depot;
    const DepotSettings& depot = GlobalDepotSettings();
    CLogger::Instance().SetRotation(LogRotationOf(depot));
    CTransferScheduler::Instance().SetLimit(depot.nMaxTransfers);
    // What the server runs with, and what in the file it does not take as written,
    // follow the start's own line.
    auto logSettings = [&report] {
        WriteLog(SettingsSummary(report.settings, report.depot));
        for (const std::string& warning : report.warnings)
            WriteLog(warning);
    };
    CFleetHistory::Instance().Open();
    CUDPSrv& server = CUDPSrv::Instance();
    if (server.Create(nullptr, GlobalSettings().nPort, OnControlDatagram) != 0) {
        WriteLog("failed to create udp server");
        logSettings();
        return -1;
    }
    server.Start();
    WriteLog("Server starts");
    logSettings();
    m_tStarted = WallClockNow();
    m_bRunning = true;
    m_monitor.Start(GlobalSettings().szDownDir, m_onLowSpace);
    m_retention.Start(GlobalSettings().szDownDir, depot.nRetainDays, depot.nMinFreeMb);
    m_runner.Start();
    // A dashboard that cannot start says why in the log; downloading goes on without it.
    CWebApi::Config facts;
    facts.nControlPort = GlobalSettings().nPort;
    facts.strDownloadDir = GlobalSettings().szDownDir;
    facts.tStartedAt = m_tStarted;
    facts.isRunning = [this] { return IsRunning(); };
    CWebServer::Instance().Start(LoadWebSettings(SettingsFile()), std::move(facts));
    return 0;
}

void CServerControl::Stop()
{
    // One stopper proceeds. The runner is ended before the lock is taken: its disk
    // check may be the stopper, and then it is not waited for (see CPeriodicRunner).
    if (!m_bRunning.exchange(false))
        return;
    m_monitor.Stop();
    m_retention.Stop();
    m_runner.Stop();
    CMutexLock guard(m_lock);
    CWebServer::Instance().Stop();
    CUDPSrv::Instance().Stop();
    CVehicleMgr::Instance().RemoveAll();
    // Every transfer has ended: what they queued for the record index is written now,
    // or named in the log for the operator.
    CRecordIndex::FlushInstance(Timing().nIndexFlushMs);
    // The departures just recorded; the runner that would write them has ended.
    CFleetHistory::Instance().Flush();
    WriteLog("Server stops");
}
