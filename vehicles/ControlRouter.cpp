#include "vehicles/ControlRouter.h"

#include "central/CentralStore.h"
#include "control/ByteOrder.h"
#include "control/ControlMessage.h"
#include "control/LogThrottle.h"
#include "control/PendingReplyTable.h"
#include "control/DatagramSender.h"
#include "core/Logger.h"
#include "core/NotifyCenter.h"
#include "platform/Format.h"
#include "platform/PathName.h"
#include "platform/System.h"
#include "vehicles/VehicleLookup.h"
#include "vehicles/VehicleMgr.h"

#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

using CommandHandler = void (CControlRouter::*)(const unsigned char*, int, const char*, std::uint16_t, const char*);

struct CommandRow {
    std::uint8_t nCode;
    CommandHandler handler;
};

const CommandRow kCommandTable[] = {
    {ZELP_REGISTER, &CControlRouter::ZELPOnRegister},
    {ZELP_KEEPALIVE, &CControlRouter::ZELPOnKeepAlive},
};

// A recorder repeating a bad datagram gets one log line a minute.
CLogThrottle& RefusalThrottle()
{
    static CLogThrottle s_throttle(60000);
    return s_throttle;
}

void LogRefusal(const char* szIp, std::uint16_t nPort, const std::string& text)
{
    if (RefusalThrottle().Allow(Format("%s:%u", szIp, nPort), MonotonicMs()))
        WriteLog(text);
}

void LogTooShort(int nLen, const char* szIp, std::uint16_t nPort, std::uint8_t nCommand)
{
    LogRefusal(szIp, nPort,
               Format("Datagram of %d bytes from %s:%u too short for command %d, refused", nLen, szIp, nPort, nCommand));
}

} // namespace

CControlRouter::CControlRouter(CVehicleMgr& registry) : m_registry(registry) {}

void CControlRouter::SendReply(const unsigned char* pRequest, std::uint16_t nStatus, const char* szIp,
                               std::uint16_t nPort)
{
    unsigned char reply[kControlHeaderSize];
    BuildReply(pRequest, nStatus, reply);
    m_registry.Parts().sender.SendMsg(szIp, nPort, reply, sizeof(reply));
}

void CControlRouter::OnControlDatagram(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort,
                       const char* szLocalIp)
{
    ControlHeader header;
    if (nLen < 0 || !DecodeHeader(pData, static_cast<std::size_t>(nLen), &header))
        return;  // no header, nothing to route
    if (header.isReply != 0) {
        CPendingReplyTable& table = m_registry.Parts().replies;
        // A reply to another copy of a resent request that was answered already is
        // expected, not a fault.
        if (!table.PutReply(header.transactionId, pData, static_cast<std::size_t>(nLen)) &&
            !table.IsSettled(header.transactionId))
            WriteLog(" Can't find matched transaction ID");
        return;
    }
    for (const CommandRow& row : kCommandTable) {
        if (row.nCode == header.command)
            (this->*row.handler)(pData, nLen, szIp, nPort, szLocalIp);
    }
}

void CControlRouter::ZELPOnRegister(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort,
                    const char* szLocalIp)
{
    try {
        std::string name;
        if (nLen < static_cast<int>(kRegisterMinSize) ||
            !ReadNameField(pData, static_cast<std::size_t>(nLen), kRegisterNameOffset, &name)) {
            LogTooShort(nLen, szIp, nPort, ZELP_REGISTER);
            return;  // too short to hold a name and channel count: no reply
        }
        std::uint8_t nChannels = pData[kRegisterChannelsOffset];
        if (!IsSafePathComponent(name)) {
            WriteLog(Format("Registration from %s:%u refused: unusable vehicle name", szIp, nPort));
            return;
        }

        // Online vehicles are bounded: each holds threads, sockets and memory.
        CVehicleMgr& registry = m_registry;
        const std::uint32_t nMaxVehicles = m_registry.Parts().Config().depot.nMaxVehicles;
        if (nMaxVehicles != 0 && registry.Count() >= nMaxVehicles && !registry.IsOnline(name)) {
            LogRefusal(szIp, nPort,
                       Format("Registration of %s from %s:%u refused: %u vehicles online already", name.c_str(), szIp,
                              nPort, nMaxVehicles));
            return;
        }

        WriteLog(Format("%s Registed, number of channel is %d", name.c_str(), nChannels), name.c_str());
        SendReply(pData, kStatusOk, szIp, nPort);

        std::error_code ec;
        std::filesystem::path root = m_registry.Parts().Config().settings.szDownDir;
        std::filesystem::create_directories(root, ec);
        std::filesystem::create_directory(root / name, ec);

        CVehicleLookup hold(registry, name);
        if (hold.Vehicle())
            return;
        VehicleInfo info;
        std::strncpy(info.szIP, szIp, sizeof(info.szIP) - 1);
        info.nPort = nPort;
        std::strncpy(info.szLocalIP, szLocalIp, sizeof(info.szLocalIP) - 1);
        info.nChannels = nChannels;
        std::strncpy(info.szName, name.c_str(), sizeof(info.szName) - 1);
        registry.Add(info);
        if (registry.Parts().pCentral)
            registry.Parts().pCentral->VehicleSeen(name);
        VehicleEvent ev = MakeVehicleEvent(name.c_str(), 1);
        m_registry.Parts().center.Post(0, NOTIFY_VEHICLE, &ev, sizeof(ev));
    } catch (const std::exception&) {
        WriteLog("ZELPOnRegister catched exception!");
    }
}

void CControlRouter::ZELPOnKeepAlive(const unsigned char* pData, int nLen, const char* szIp, std::uint16_t nPort,
                     const char* szLocalIp)
{
    try {
        std::string name;
        if (!ReadNameField(pData, static_cast<std::size_t>(nLen), kKeepAliveNameOffset, &name)) {
            LogTooShort(nLen, szIp, nPort, ZELP_KEEPALIVE);
            return;
        }
        std::uint16_t nStatus;
        {
            CVehicleMgr& registry = m_registry;
            CVehicleLookup hold(registry, name);
            if (CVehicle* pVehicle = hold.Vehicle()) {
                nStatus = kStatusOk;
                pVehicle->SetLastKeepalive(registry.Now());
                // Requests go to the registered address: only its datagrams tell which
                // local address that recorder reaches.
                if (*szLocalIp != '\0' && std::strcmp(pVehicle->PeerIp(), szIp) == 0)
                    pVehicle->SetLocalIp(szLocalIp);
                if (!pVehicle->IsRunning()) {
                    WriteLog(Format("Start download task for %s", name.c_str()), name.c_str());
                    pVehicle->Start();
                }
            } else {
                WriteLog(Format("Receive Keepalive Pack from %s, illegal guest!", name.c_str()), name.c_str());
                nStatus = kStatusNotRegistered;
            }
        }
        SendReply(pData, nStatus, szIp, nPort);
    } catch (const std::exception&) {
        WriteLog("ZELPOnKeepAlive catched exception!");
    }
}
