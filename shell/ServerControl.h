#pragma once

#include "core/PeriodicRunner.h"
#include "depot/Retention.h"
#include "shell/DiskSpaceMonitor.h"

#include <atomic>
#include <functional>
#include "platform/Mutex.h"

// Starting and stopping the server, as the window's Start and Stop and the headless
// server do it: settings reloaded, control channel bound, disk space watched; on
// stop every vehicle removed.
class CServerControl {
public:
    // The process-wide control. Any thread.
    static CServerControl& Instance();

    CServerControl();
    ~CServerControl();
    CServerControl(const CServerControl&) = delete;
    CServerControl& operator=(const CServerControl&) = delete;

    // Reloads the settings, depot settings and special configuration, binds the
    // control port and starts receiving, the retention, the fleet history and the web
    // dashboard. 0, or -1 ("failed to create udp server" logged) when the port cannot
    // be bound; a dashboard that cannot start is only logged. Window thread.
    int Start();

    // Stops the web dashboard and receiving, removes every vehicle, writes the record
    // index's queue (within Timing().nIndexFlushMs), logs "Server stops". Does nothing
    // when not running. Any thread, the disk monitor's included.
    void Stop();

    bool IsRunning() const { return m_bRunning; }
    // Wall-clock seconds of the last Start; 0 before any. Any thread.
    std::uint32_t StartedAt() const { return m_tStarted; }

    // Runs on the runner's thread when space runs low; the default stops the server.
    // Before Start.
    void SetLowSpaceHandler(std::function<void()> handler);
    CDiskSpaceMonitor& DiskMonitor() { return m_monitor; }
    CRetention& Retention() { return m_retention; }
    // The one thread of the periodic work (disk check, retention, fleet history
    // writes), started by Start and ended by Stop. Its Stop also waits for a runner that
    // the low-space handler stopped from its own thread.
    CPeriodicRunner& Runner() { return m_runner; }

private:
    CMutex m_lock;  // serialises the work of Start and Stop
    std::atomic<bool> m_bRunning {false};
    std::atomic<std::uint32_t> m_tStarted {0};
    std::function<void()> m_onLowSpace;
    CDiskSpaceMonitor m_monitor;
    CRetention m_retention;
    CPeriodicRunner m_runner;  // last: ends before what its tasks use
};
