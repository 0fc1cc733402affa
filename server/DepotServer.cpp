#include "server/DepotServer.h"

#include "core/Logger.h"
#include "footage/RecordingCatalogue.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"

CDepotServer::CDepotServer(Setup setup, CNotifyCenter& center, CFleetHistory& history, CLogRing& log)
    : m_setup(std::move(setup)), m_center(center), m_history(history), m_log(log),
      m_transactions(m_setup.nLastTransaction),
      m_pIndex(m_setup.pConfig->settings.bComponentMode != 0 ? m_setup.pIndex : nullptr),
      m_registry(MakeParts()),
      m_footage(CFootageApi::Parts {m_setup.pCatalogue, m_setup.pRequests, m_setup.pAudit, m_setup.pCentral})
{
    if (m_setup.task)
        m_registry.SetTaskFunction(m_setup.task);
    if (m_setup.clock)
        m_registry.SetClock(m_setup.clock);
    if (m_setup.freeSpace)
        m_retention.SetQuery(m_setup.freeSpace);
    m_retention.SetBusyVehicles([this] { return m_registry.DownloadingNames(); });
    if (CRecordingCatalogue* pCatalogue = m_setup.pCatalogue)
        m_retention.SetOnDeleted(
            [pCatalogue](const std::string& relPath) { pCatalogue->MarkDeleted(relPath, WallClockNow()); });
    m_retention.AddTo(m_runner);
    // The registry's tick: speeds and progress for the window and the dashboard, and
    // the expiry of silent vehicles.
    m_runner.Add("registry tick", &ZelTiming::nTimerPeriodMs, [this] {
        m_registry.OnTimer();
        return false;
    });
    if (m_setup.addTasks)
        m_setup.addTasks(m_runner);
    m_scheduler.SetLimit(Config().depot.nMaxTransfers);
}

CDepotServer::~CDepotServer()
{
    Stop();
}

ServerParts CDepotServer::MakeParts()
{
    return ServerParts {m_setup.pConfig, m_center,   m_counters, m_control, m_replies,
                        m_transactions,  m_scheduler, m_history, m_pIndex,  m_setup.pRequests,
                        m_setup.pCatalogue, m_setup.pCentral};
}

int CDepotServer::BindControl()
{
    auto handler = [this](const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort,
                          const char* szLocalIp) { m_router.OnControlDatagram(pData, nLen, szIp, nPort, szLocalIp); };
    if (m_control.Create(nullptr, Config().settings.nPort, handler) != 0)
        return -1;
    m_control.Start();
    return 0;
}

void CDepotServer::StartServices(std::function<bool()> isRunning)
{
    const ServerConfig& config = Config();
    m_retention.Start(config.settings.szDownDir, config.depot.nRetainDays, config.depot.nMinFreeMb);
    m_runner.Start();
    // A dashboard that cannot start says why in the log; downloading goes on without it.
    CWebApi::Config facts;
    facts.nControlPort = config.settings.nPort;
    facts.strDownloadDir = config.settings.szDownDir;
    facts.tStartedAt = m_setup.tStartedAt;
    facts.isRunning = std::move(isRunning);
    facts.pRegistry = &m_registry;
    facts.pHistory = &m_history;
    facts.pScheduler = &m_scheduler;
    facts.pCounters = &m_counters;
    facts.pLog = &m_log;
    facts.pCentral = m_setup.pCentral;
    facts.routes = m_footage.Routes();
    m_web.Start(m_setup.web, std::move(facts));
}

void CDepotServer::Stop()
{
    if (m_bStopped.exchange(true))
        return;
    m_runner.Stop();
    m_retention.Stop();
    m_web.Stop();
    m_control.Stop();
    m_registry.RemoveAll();
    // Every transfer has ended: what they queued for the record index is written now,
    // or named in the log for the operator.
    if (m_pIndex)
        m_pIndex->Flush(Timing().nIndexFlushMs);
}
