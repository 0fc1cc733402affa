#include "shell/ServerControl.h"

#include "platform/Socket.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "support/Sandbox.h"
#include "support/ScriptedPeer.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

class ServerControlTest : public Sandbox {
protected:
    // Settings in the file at path: a free control port, downdir as given.
    static std::uint16_t WriteSettings(const fs::path& path, const char* szDownDir)
    {
        CSettingsFile file(path.string());
        ServerSettings settings = DefaultSettings();
        settings.nPort = CSocket::CreateUdp(nullptr, 0).LocalPort();
        std::strcpy(settings.szDownDir, szDownDir);
        EXPECT_TRUE(SaveSettings(settings, file));
        return settings.nPort;
    }
};

TEST_F(ServerControlTest, AControlWithAHomeKeepsItsFilesThere)
{
    // The sandbox's own control has its home in Dir(); this one's is elsewhere.
    const fs::path home = Dir() / "depot-home";
    fs::create_directories(home);
    CServerControl control(home);
    EXPECT_EQ(control.SettingsPath(), home / "QorConfig.xml");
    const std::uint16_t nPort = WriteSettings(control.SettingsPath(), "video");

    ASSERT_EQ(control.Start(), 0);
    std::shared_ptr<CDepotServer> pServer = control.Server();
    ASSERT_NE(pServer, nullptr);
    EXPECT_EQ(fs::path(pServer->Config().settings.szDownDir), home / "video");
    ScriptedPeer recorder;
    recorder.SetServerPort(nPort);
    recorder.Send(ScriptedPeer::Registration("BUS1", 1, 1));
    ASSERT_TRUE(recorder.ReceiveReply().has_value());
    EXPECT_TRUE(WaitFor([&] { return pServer->Registry().IsOnline("BUS1"); }));
    EXPECT_TRUE(fs::is_directory(home / "video" / "BUS1"));
    pServer.reset();
    control.Stop();
    EXPECT_EQ(control.Server(), nullptr);

    EXPECT_TRUE(fs::exists(home / "fleet.db"));
    for (const char* szName : {"QorConfig.xml", "fleet.db", "video", "mp4download"})
        EXPECT_FALSE(fs::exists(Dir() / szName)) << szName;
}

TEST_F(ServerControlTest, EachStartTakesItsOwnSnapshotAndIdsGoOnAcrossStarts)
{
    WriteSettings(Control().SettingsPath(), "first");
    ASSERT_EQ(Control().Start(), 0);
    ServerConfigPtr pFirst = Server().Parts().pConfig;
    const std::uint32_t nId = Server().Parts().transactions.Next();
    Control().Stop();

    // An edit while stopped is taken by the next Start only; the first run's
    // snapshot stays as it was for whoever still holds it.
    WriteSettings(Control().SettingsPath(), "second");
    ASSERT_EQ(Control().Start(), 0);
    EXPECT_EQ(fs::path(Server().Config().settings.szDownDir), Dir() / "second");
    EXPECT_EQ(fs::path(pFirst->settings.szDownDir), Dir() / "first");
    EXPECT_NE(Server().Parts().pConfig, pFirst);
    // A recorder never sees an id of the previous run again soon.
    EXPECT_EQ(Server().Parts().transactions.Next(), nId + 1);
    Control().Stop();
}

} // namespace
