#pragma once

#include <string>

// Where the address a file request names comes from.
enum class ListenIpSource {
    Setting,       // the IP setting, as it is
    Arrival,       // the local address the recorder's datagrams arrive on
    ArrivalUnknown // the setting, though it does not suit and the arrival address is unknown
};

struct ListenIpChoice {
    std::string ip;
    ListenIpSource eSource = ListenIpSource::Setting;
    std::string strUnsuitable;  // why the setting was not named as it is; "" when it was
};

// The address a recorder sending from szPeerIp to this server's szLocalIp ("" unknown)
// is told to connect back to, given the IP setting szSetting. An address is used as
// it is, except a loopback one for a recorder elsewhere, which could never reach it;
// that, an empty setting, 0.0.0.0 and text that is no address give way to the
// address the recorder's datagrams arrive on. Any thread.
[[nodiscard]] ListenIpChoice ChooseListenIp(const char* szSetting, const char* szPeerIp, const char* szLocalIp);

// The log line telling which address the file requests of szVehicle name, and why.
// Any thread.
[[nodiscard]] std::string ListenIpLogText(const char* szVehicle, const char* szSetting,
                                          const ListenIpChoice& choice);
