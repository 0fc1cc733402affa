#include "vehicles/ListenAddress.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char* szSetting;
    const char* szPeer;
    const char* szLocal;
    const char* szNamed;
    ListenIpSource eSource;
};

} // namespace

TEST(ListenAddressTest, AnAddressTheRecorderCanReachIsNamed)
{
    const Case cases[] = {
        // Empty or not one address: the address the datagrams arrive on.
        {"", "10.8.0.21", "10.8.0.2", "10.8.0.2", ListenIpSource::Arrival},
        {"", "127.0.0.3", "127.0.0.3", "127.0.0.3", ListenIpSource::Arrival},
        {"0.0.0.0", "10.8.0.21", "10.8.0.2", "10.8.0.2", ListenIpSource::Arrival},
        {"depot-pc", "10.8.0.21", "10.8.0.2", "10.8.0.2", ListenIpSource::Arrival},
        {" 10.8.0.2", "10.8.0.21", "10.8.0.3", "10.8.0.3", ListenIpSource::Arrival},
        // Loopback: only a recorder on loopback can reach it.
        {"127.0.0.1", "10.8.0.21", "10.8.0.2", "10.8.0.2", ListenIpSource::Arrival},
        {"127.9.9.9", "192.0.2.7", "192.0.2.1", "192.0.2.1", ListenIpSource::Arrival},
        {"127.0.0.1", "127.0.0.3", "127.0.0.3", "127.0.0.1", ListenIpSource::Setting},
        // Any other address is the operator's: used as it is, wherever the recorder is.
        {"10.8.0.9", "10.8.0.21", "10.8.0.2", "10.8.0.9", ListenIpSource::Setting},
        {"203.0.113.5", "127.0.0.3", "127.0.0.3", "203.0.113.5", ListenIpSource::Setting},
        {"10.8.0.9", "10.8.0.21", "", "10.8.0.9", ListenIpSource::Setting},
        // Needed but unknown: the setting stays, and says so.
        {"", "10.8.0.21", "", "", ListenIpSource::ArrivalUnknown},
        {"127.0.0.1", "10.8.0.21", "", "127.0.0.1", ListenIpSource::ArrivalUnknown},
    };
    for (const Case& c : cases) {
        ListenIpChoice choice = ChooseListenIp(c.szSetting, c.szPeer, c.szLocal);
        EXPECT_EQ(choice.ip, c.szNamed) << c.szSetting << " " << c.szPeer << " " << c.szLocal;
        EXPECT_EQ(choice.eSource, c.eSource) << c.szSetting << " " << c.szPeer << " " << c.szLocal;
        EXPECT_EQ(choice.strUnsuitable.empty(), c.eSource == ListenIpSource::Setting) << c.szSetting;
    }
}

TEST(ListenAddressTest, TheLogLineSaysWhereTheAddressComesFrom)
{
    EXPECT_EQ(ListenIpLogText("BUS 7", "", ChooseListenIp("", "10.8.0.21", "10.8.0.2")),
              "vehname=BUS 7, file requests name 10.8.0.2, the address its datagrams arrive on");
    EXPECT_EQ(ListenIpLogText("BUS 7", "127.0.0.1", ChooseListenIp("127.0.0.1", "10.8.0.21", "10.8.0.2")),
              "vehname=BUS 7, file requests name 10.8.0.2, the address its datagrams arrive on (IP 127.0.0.1 is "
              "loopback, the recorder is not)");
    EXPECT_EQ(ListenIpLogText("BUS 7", "10.8.0.9", ChooseListenIp("10.8.0.9", "10.8.0.21", "10.8.0.2")),
              "vehname=BUS 7, file requests name 10.8.0.9, the IP setting");
    EXPECT_EQ(ListenIpLogText("BUS 7", "", ChooseListenIp("", "10.8.0.21", "")),
              "vehname=BUS 7, file requests name \"\", the IP setting, though it is empty: the address its "
              "datagrams arrive on is unknown");
}
