#include "e2e/E2eFixture.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

class ListenAddressE2eTest : public E2eFixture {
protected:
    // The settings of Configure with IP set to szIp.
    void ConfigureIp(const char* szIp)
    {
        Configure();
        ServerSettings settings;
        ASSERT_EQ(LoadSettings(settings, Settings()), 0);
        CopyField(settings.szIP, sizeof(settings.szIP), szIp);
        ASSERT_TRUE(SaveSettings(settings, Settings()));
    }

    // One recorder bound to szLocalIp that sends to the server at szServerIp and
    // refuses a file request naming any other address; its event lines are kept.
    void StartRecorder(const std::string& name, const char* szLocalIp, const char* szServerIp)
    {
        SimOptions options = Options({name}, 2, 2, 150000);
        options.strLocalIp = szLocalIp;
        options.strServerIp = szServerIp;
        options.bCheckAddress = true;
        options.nVerbosity = 1;
        m_pSim = std::make_unique<CDvrSimulator>(options);
        m_pSim->SetLineSink([this](const std::string& line) {
            std::lock_guard guard(m_linesLock);
            m_lines.push_back(line);
        });
        ASSERT_EQ(m_pSim->Start(), 0);
    }

    // The listen addresses the server's file requests named, one per request logged.
    static std::vector<std::string> NamedAddresses()
    {
        std::vector<std::string> named;
        const std::string key = "szListenIP: ";
        for (const std::string& message : ReadLogMessages()) {
            if (message.find("SendGetFileCmd FileName: ") == std::string::npos)
                continue;
            std::size_t nAt = message.find(key);
            if (nAt != std::string::npos)
                named.push_back(message.substr(nAt + key.size(), message.find(',', nAt) - nAt - key.size()));
        }
        return named;
    }

    std::size_t SimLinesWith(const std::string& text)
    {
        std::lock_guard guard(m_linesLock);
        return static_cast<std::size_t>(std::count_if(m_lines.begin(), m_lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        }));
    }

    // Downloads everything of a recorder bound to szLocalIp and sending to
    // szServerIp, and expects each request to have named szExpected.
    void ExpectDownloadNaming(const char* szLocalIp, const char* szServerIp, const std::string& expected,
                              const std::string& logLine)
    {
        StartServer();
        StartRecorder("ADDR", szLocalIp, szServerIp);
        ASSERT_TRUE(WaitAllStored(60s)) << m_pSim->Summary();
        ExpectAllByteIdentical();
        EXPECT_EQ(m_pSim->Totals().nWrongAddress, 0u);
        std::vector<std::string> named = NamedAddresses();
        EXPECT_EQ(named.size(), 4u);
        EXPECT_EQ(named, std::vector<std::string>(named.size(), expected));
        // Once per vehicle, though two channels ask.
        EXPECT_EQ(CountLog(logLine), 1u);
    }

    std::mutex m_linesLock;
    std::vector<std::string> m_lines;
};

} // namespace

TEST_F(ListenAddressE2eTest, AnEmptyIpNamesTheAddressTheRecorderSendsTo)
{
    ConfigureIp("");
    ExpectDownloadNaming("127.0.0.3", "127.0.0.3", "127.0.0.3",
                         "vehname=ADDR, file requests name 127.0.0.3, the address its datagrams arrive on");
}

TEST_F(ListenAddressE2eTest, ALoopbackIpIsUsedAsItIsForARecorderOnLoopback)
{
    ConfigureIp("127.0.0.1");
    ExpectDownloadNaming("127.0.0.3", "127.0.0.1", "127.0.0.1",
                         "vehname=ADDR, file requests name 127.0.0.1, the IP setting");
}

TEST_F(ListenAddressE2eTest, ALoopbackIpGivesWayToTheAddressARecorderElsewhereSendsTo)
{
    const std::string address = NonLoopbackAddress();
    if (address.empty())
        GTEST_SKIP() << "this machine has no IPv4 address outside loopback";
    ConfigureIp("127.0.0.1");
    ExpectDownloadNaming(address.c_str(), address.c_str(), address,
                         "vehname=ADDR, file requests name " + address +
                             ", the address its datagrams arrive on (IP 127.0.0.1 is loopback, the recorder is not)");
}

TEST_F(ListenAddressE2eTest, AnExplicitAddressIsUsedAsItIs)
{
    // Not this machine's: a recorder checking the address refuses every request.
    ConfigureIp("203.0.113.9");
    StartServer();
    StartRecorder("ADDR", "127.0.0.3", "127.0.0.3");
    ASSERT_TRUE(WaitFor([this] { return m_pSim->Totals().nWrongAddress >= 2; }, 30s)) << m_pSim->Summary();
    // The simulator counts a refusal before its log lines reach the file.
    EXPECT_TRUE(WaitFor([this] { return SimLinesWith("-> 203.0.113.9:") >= 2; }));
    EXPECT_TRUE(WaitFor(
        [this] { return SimLinesWith("listen address is not the server's 127.0.0.3, answered 400") >= 2; }));
    EXPECT_EQ(m_pSim->Totals().nUploads, 0u);
    std::vector<std::string> named = NamedAddresses();
    ASSERT_FALSE(named.empty());
    EXPECT_EQ(named, std::vector<std::string>(named.size(), "203.0.113.9"));
    EXPECT_EQ(CountLog("vehname=ADDR, file requests name 203.0.113.9, the IP setting"), 1u);
    EXPECT_TRUE(FilesWithExtension(".mp4").empty());
}
