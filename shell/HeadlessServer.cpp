#include "shell/HeadlessServer.h"

#include "core/Logger.h"
#include "core/NotifyCenter.h"
#include "depot/FleetHistory.h"
#include "platform/ServiceManager.h"
#include "platform/SignalWaiter.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/DepotSettings.h"
#include "settings/RecordIndex.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "shell/ServerControl.h"
#include "vehicles/VehicleMgr.h"

#include <cstdio>
#include <filesystem>

int RunHeadlessServer()
{
    CSignalWaiter signals;
    IgnoreSigPipe();
    CRecordIndex::GetInstance();
    // A server left alone must keep fetching what is recorded after it started, and
    // must not let a flood of registrations exhaust it: a settings file made here
    // starts with a rolling window and a vehicle limit. An existing file is never
    // changed.
    std::error_code ec;
    bool bNewSettings = !std::filesystem::exists(CSettingsFile::kDefaultPath, ec);
    SettingsFile();  // creates ./QorConfig.xml when it is missing
    if (bNewSettings) {
        DepotSettings depot;
        depot.nRollingHours = kHeadlessRollingHours;
        depot.nMaxVehicles = kHeadlessMaxVehicles;
        SaveDepotSettings(depot, SettingsFile());
    }
    CFleetHistory::Instance().Open();

    CServerControl& control = CServerControl::Instance();
    control.SetLowSpaceHandler([&control] {
        control.Stop();
        std::fputs("Disk full,Please delete files or change path!\n", stderr);
    });
    int nResult = 0;
    if (control.Start() != 0) {
        std::fputs("Start failed, please assure port not occupied!\n", stderr);
        nResult = 1;
    } else {
        ServiceManager::Ready();
        std::int64_t nNextTick = MonotonicMs() + Timing().nTimerPeriodMs;
        for (;;) {
            std::int64_t nWait = nNextTick - MonotonicMs();
            if (nWait > 0 && signals.Wait(static_cast<int>(nWait)) != 0)
                break;
            if (MonotonicMs() >= nNextTick) {
                CVehicleMgr::Instance().OnTimer();
                ServiceManager::Alive();
                nNextTick += Timing().nTimerPeriodMs;
            }
        }
        ServiceManager::Stopping();
        control.Stop();
    }
    control.DiskMonitor().Stop();
    CNotifyCenter::Instance().Stop();
    CFleetHistory::Instance().Close();
    CRecordIndex::ReleaseInstance();
    return nResult;
}
