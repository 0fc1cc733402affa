#include "vehicles/VehicleMgr.h"

#include "core/NotifyCenter.h"
#include "depot/FleetHistory.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/Timing.h"
#include "settings/WallClock.h"
#include "vehicles/DownloadTask.h"

#include <ctime>

CVehicleMgr::CVehicleMgr(const ServerParts& parts)
    : m_parts(parts), m_clock([] { return static_cast<std::uint32_t>(std::time(nullptr)); }),
      m_task(CDownloadTask::RunChannel)
{
}

CVehicleMgr::~CVehicleMgr()
{
    // Vehicles still online at exit are stopped before their threads could outlive them.
    CMutexLock registry(m_registryLock);
    CMutexLock table(m_tableLock);
    m_table.clear();
}

CNotifyCenter& CVehicleMgr::Center()
{
    return m_parts.center;
}

CVehicle* CVehicleMgr::Find(const std::string& name)
{
    m_registryLock.Lock();
    CMutexLock table(m_tableLock);
    auto it = m_table.find(name);
    return it == m_table.end() ? nullptr : it->second.get();
}

void CVehicleMgr::Release()
{
    m_registryLock.Unlock();
}

CVehicle* CVehicleMgr::Add(const VehicleInfo& info)
{
    auto pVehicle = std::make_unique<CVehicle>(info, Now(), m_task, m_parts);
    CVehicle* pResult = pVehicle.get();
    std::unique_ptr<CVehicle> replaced;
    {
        CMutexLock table(m_tableLock);
        std::unique_ptr<CVehicle>& slot = m_table[pVehicle->Name()];
        replaced = std::move(slot);
        slot = std::move(pVehicle);
    }
    // A replaced vehicle is stopped outside the table lock, never leaked running.
    if (replaced)
        RecordDeparture(*replaced);
    replaced.reset();
    m_parts.history.OnArrival(pResult->Name(), Format("%s:%u", pResult->PeerIp(), pResult->PeerPort()),
                                        WallClockNow());
    return pResult;
}

void CVehicleMgr::Remove(const std::string& name)
{
    // Taken out under the locks, stopped outside them: the receive thread keeps
    // routing replies and keepalives of other vehicles while this one winds down.
    std::unique_ptr<CVehicle> pGone;
    {
        CMutexLock registry(m_registryLock);
        CMutexLock table(m_tableLock);
        auto it = m_table.find(name);
        if (it == m_table.end())
            return;
        pGone = std::move(it->second);
        m_table.erase(it);
        pGone->SignalStop();
    }
    pGone->Stop();
    RecordDeparture(*pGone);
}

void CVehicleMgr::RecordDeparture(const CVehicle& vehicle)
{
    // Keepalive times are on the registry's clock; the history keeps wall-clock times.
    std::int64_t nSilentFor = static_cast<std::int64_t>(Now()) - vehicle.GetLastKeepalive();
    if (nSilentFor < 0)
        nSilentFor = 0;
    m_parts.history.OnDeparture(vehicle.Name(), WallClockNow() - static_cast<std::uint32_t>(nSilentFor));
}

std::size_t CVehicleMgr::Count()
{
    CMutexLock table(m_tableLock);
    return m_table.size();
}

bool CVehicleMgr::IsOnline(const std::string& name)
{
    CMutexLock table(m_tableLock);
    return m_table.count(name) != 0;
}

std::vector<VehicleStatus> CVehicleMgr::Snapshot()
{
    std::vector<VehicleStatus> list;
    CMutexLock table(m_tableLock);
    list.reserve(m_table.size());
    for (const auto& [name, pVehicle] : m_table) {
        VehicleStatus status;
        status.strName = name;
        status.strAddress = Format("%s:%u", pVehicle->PeerIp(), pVehicle->PeerPort());
        status.nChannels = pVehicle->ChannelCount();
        bool bRunning = pVehicle->IsRunning();
        status.nProgress = bRunning ? pVehicle->GetProgress() : pVehicle->LastProgress();
        status.nSpeedKbps = static_cast<std::uint32_t>((static_cast<std::uint64_t>(pVehicle->LastRate()) * 8) >> 10);
        status.nSpeedBytes = pVehicle->LastRate();
        if (pVehicle->IsWaitingForSlot())
            status.szState = "waiting";
        else if (bRunning)
            status.szState = pVehicle->IsDownloading() ? "downloading" : "querying";
        list.push_back(std::move(status));
    }
    return list;
}

std::set<std::string> CVehicleMgr::DownloadingNames()
{
    std::set<std::string> names;
    CMutexLock table(m_tableLock);
    for (const auto& [name, pVehicle] : m_table) {
        if (pVehicle->IsRunning())
            names.insert(name);
    }
    return names;
}

void CVehicleMgr::RemoveAll()
{
    std::map<std::string, std::unique_ptr<CVehicle>> gone;
    {
        CMutexLock registry(m_registryLock);
        CMutexLock table(m_tableLock);
        gone.swap(m_table);
        for (auto& entry : gone)
            entry.second->SignalStop();
    }
    for (auto& [name, pVehicle] : gone) {
        pVehicle->Stop();
        RecordDeparture(*pVehicle);
        VehicleEvent ev = MakeVehicleEvent(name.c_str(), 0);
        Center().Post(0, NOTIFY_VEHICLE, &ev, sizeof(ev));
        pVehicle.reset();
    }
}

void CVehicleMgr::GetNames(std::vector<std::string>& names)
{
    CMutexLock registry(m_registryLock);
    CMutexLock table(m_tableLock);
    names.clear();
    for (const auto& entry : m_table)
        names.push_back(entry.first);
}

void CVehicleMgr::OnTimer()
{
    OnTimer(Now());
}

void CVehicleMgr::OnTimer(std::uint32_t nNow)
{
    std::vector<std::string> expired;
    {
        CMutexLock table(m_tableLock);
        for (const auto& [name, pVehicle] : m_table) {
            auto nAge = static_cast<std::int64_t>(nNow) - pVehicle->GetLastKeepalive();
            if (nAge <= Timing().nKeepAliveExpiryS) {
                VehicleEvent speed = MakeVehicleEvent(name.c_str(), pVehicle->GetRate());
                Center().Post(0, NOTIFY_SPEED, &speed, sizeof(speed));
                bool bWaiting = pVehicle->IsWaitingForSlot();
                if (pVehicle->ExchangeShownWaiting(bWaiting) != bWaiting) {
                    VehicleEvent waiting = MakeVehicleEvent(name.c_str(), bWaiting ? 1 : 0);
                    Center().Post(0, NOTIFY_WAITING, &waiting, sizeof(waiting));
                }
                if (pVehicle->IsDownloading()) {
                    VehicleEvent progress =
                        MakeVehicleEvent(name.c_str(), static_cast<std::uint32_t>(pVehicle->GetProgress()));
                    Center().Post(0, NOTIFY_PROGRESS, &progress, sizeof(progress));
                }
            } else {
                expired.push_back(name);
            }
        }
    }
    for (const std::string& name : expired) {
        Remove(name);
        VehicleEvent ev = MakeVehicleEvent(name.c_str(), 0);
        Center().Post(0, NOTIFY_VEHICLE, &ev, sizeof(ev));
    }
}

std::uint32_t CVehicleMgr::Now() const
{
    return m_clock();
}

void CVehicleMgr::SetClock(Clock clock)
{
    m_clock = std::move(clock);
}

void CVehicleMgr::SetTaskFunction(CVehicle::TaskFunction task)
{
    m_task = std::move(task);
}
