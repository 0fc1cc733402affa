#include "control/ByteOrder.h"
#include "platform/Socket.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "settings/WallClock.h"
#include "store/LocalStore.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/ScriptedPeer.h"
#include "support/ServerProcess.h"
#include "support/WaitFor.h"
#include "tools/dvrsim/DvrSimulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// zeldownloadd run as a process in the sandbox, its standard error in stderr.txt.
class HeadlessServerTest : public Sandbox {
protected:
    // Ended before its directory goes.
    void TearDown() override
    {
        m_server.Stop(SIGKILL);
        Sandbox::TearDown();
    }

    static std::uint16_t FreeUdpPort()
    {
        CSocket probe = CSocket::CreateUdp(nullptr, 0);
        return probe.LocalPort();
    }

    // Starts the server; nPort 0 leaves the directory without a settings file.
    // A notify socket path is handed over as a service manager would.
    void Launch(std::uint16_t nPort, const std::string& notifySocket = {})
    {
        if (nPort != 0)
            WriteFile(Dir() / "QorConfig.xml", "<QorConf>\r\n<port>" + std::to_string(nPort) +
                                                   "</port>\r\n<downdir>depot/video</downdir>\r\n</QorConf>\r\n");
        ServerProcess::Launch launch {.dir = Dir(), .err = "stderr.txt"};
        if (!notifySocket.empty())
            launch.env.emplace_back("NOTIFY_SOCKET", notifySocket);
        ASSERT_TRUE(m_server.Start(launch));
    }

    int WaitExit() { return m_server.WaitExit(); }

    static bool WaitForLog(const std::string& message)
    {
        return WaitFor([&] { return LogHas(message); });
    }

    struct Outcome {
        int nExit = -1;
        std::string strOut;
        std::string strErr;
    };

    // Runs zeldownloadd with args to its end in the directory dir, its standard
    // output and error kept outside that directory.
    Outcome RunOnce(const std::vector<std::string>& args, const std::filesystem::path& dir)
    {
        const std::filesystem::path out = Dir() / "run.out";
        const std::filesystem::path err = Dir() / "run.err";
        EXPECT_TRUE(m_server.Start({.dir = dir, .args = args, .out = out, .err = err}));
        Outcome outcome;
        outcome.nExit = WaitExit();
        outcome.strOut = ReadFile(out);
        outcome.strErr = ReadFile(err);
        return outcome;
    }

    static std::vector<std::string> Entries(const std::filesystem::path& dir)
    {
        std::vector<std::string> names;
        for (auto& entry : std::filesystem::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    ServerProcess m_server;
};

} // namespace

TEST_F(HeadlessServerTest, AnswersRecordersAndStopsCleanlyOnSigterm)
{
    std::uint16_t nPort = FreeUdpPort();
    Launch(nPort);
    ASSERT_TRUE(WaitForLog("Server starts"));
    ScriptedPeer peer;
    peer.SetServerPort(nPort);
    peer.Send(ScriptedPeer::Registration("DEPOT-1", 2, 10));
    auto reply = peer.Receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(ReadBe16(reply->data() + 6), 200);
    peer.Send(ScriptedPeer::KeepAlive("DEPOT-1", 11));
    reply = peer.ReceiveReply();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(ReadBe16(reply->data() + 6), 200);
    EXPECT_EQ(ReadBe32(reply->data() + 8), 11u);
    ASSERT_TRUE(WaitForLog("Start download task for DEPOT-1"));
    EXPECT_TRUE(std::filesystem::is_directory(Dir() / "depot/video/DEPOT-1"));

    ASSERT_TRUE(m_server.Signal(SIGTERM));
    EXPECT_EQ(WaitExit(), 0);
    auto messages = ReadLogMessages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages.front(), "Server starts");
    EXPECT_EQ(messages.back(), "Server stops");
    EXPECT_NE(std::find(messages.begin(), messages.end(), "DEPOT-1 Registed, number of channel is 2"),
              messages.end());
    // The settings file it read is still the one given; the port answered was ours.
    EXPECT_NE(ReadFile(Dir() / "QorConfig.xml").find(std::to_string(nPort)), std::string::npos);
}

TEST_F(HeadlessServerTest, BusyPortExitsWithMessage)
{
    CSocket holder = CSocket::CreateUdp(nullptr, 0);
    Launch(holder.LocalPort());
    EXPECT_EQ(WaitExit(), 1);
    EXPECT_EQ(ReadFile(Dir() / "stderr.txt"), "Start failed, please assure port not occupied!\n");
    // The settings it tried are said after the failure: the port is the one taken.
    auto messages = ReadLogMessages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0], "failed to create udp server");
    EXPECT_EQ(messages[1].rfind("Settings: port " + std::to_string(holder.LocalPort()) + ", ", 0), 0u) << messages[1];
}

TEST_F(HeadlessServerTest, HelpVersionAndWrongArgumentsTouchNoFile)
{
    const std::filesystem::path empty = Dir() / "empty";
    std::filesystem::create_directory(empty);

    Outcome help = RunOnce({"--help"}, empty);
    EXPECT_EQ(help.nExit, 0);
    EXPECT_EQ(help.strOut.rfind("Usage: zeldownloadd [--check-config | --help | --version]\n", 0), 0u) << help.strOut;
    for (const char* szOption : {"--check-config", "--help", "--version"})
        EXPECT_NE(help.strOut.find(std::string("\n  ") + szOption + " "), std::string::npos) << szOption;
    EXPECT_EQ(help.strErr, "");

    Outcome version = RunOnce({"--version"}, empty);
    EXPECT_EQ(version.nExit, 0);
    EXPECT_TRUE(std::regex_match(version.strOut, std::regex("zeldownloadd [0-9]+\\.[0-9]+(\\.[0-9]+)?\n")))
        << version.strOut;

    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>> {
             {"--nonsense"}, {"-h"}, {"start"}, {"--help", "--version"}, {"--check-config", "extra"}}) {
        Outcome wrong = RunOnce(args, empty);
        EXPECT_EQ(wrong.nExit, 2) << args[0];
        EXPECT_EQ(wrong.strOut, "") << args[0];
        EXPECT_NE(wrong.strErr.find(help.strOut), std::string::npos) << args[0] << ": " << wrong.strErr;
    }
    EXPECT_EQ(Entries(empty), std::vector<std::string> {});
}

TEST_F(HeadlessServerTest, CheckConfigTriesTheDownloadDirectoryAndCreatesNothing)
{
    const std::filesystem::path work = Dir() / "work";
    std::filesystem::create_directory(work);

    // No settings file: what a created one would hold, and nothing created.
    Outcome missing = RunOnce({"--check-config"}, work);
    EXPECT_EQ(missing.nExit, 0) << missing.strOut;
    EXPECT_EQ(missing.strOut,
              "QorConfig.xml does not exist: zeldownloadd would create it with these settings\n"
              "Settings: port 5990, downdir " + (work / "mp4download").string() +
                  ", IP automatic, span rolling 24 hours, filetype 0 (All Record), component mode 0, "
                  "maxtransfers 0, retaindays 0, minfreemb 0, maxvehicles 1000, logmaxmb 64, logkeep 5\n"
                  "configuration OK\n");
    EXPECT_EQ(Entries(work), std::vector<std::string> {});

    // A download directory below a regular file cannot be made, not even by root.
    WriteFile(work / "plain", "not a directory");
    const std::string bad = "<QorConf><port>5990</port><downdir>plain/sub</downdir><IP></IP></QorConf>";
    WriteFile(work / "QorConfig.xml", bad);
    Outcome refused = RunOnce({"--check-config"}, work);
    EXPECT_EQ(refused.nExit, 1) << refused.strOut;
    EXPECT_NE(refused.strOut.find("Settings: port 5990, downdir " + (work / "plain/sub").string() + ", IP automatic, "),
              std::string::npos)
        << refused.strOut;
    EXPECT_NE(refused.strOut.find("\nerror: download directory " + (work / "plain/sub").string() +
                                  " cannot be created or written: Not a directory\n"),
              std::string::npos)
        << refused.strOut;
    EXPECT_EQ(refused.strOut.find("configuration OK"), std::string::npos);
    EXPECT_EQ(Entries(work), (std::vector<std::string> {"QorConfig.xml", "plain"}));
    EXPECT_EQ(ReadFile(work / "QorConfig.xml"), bad);

    // A good one two levels down that does not exist yet: tried, and taken away again.
    // A file without a port gets its warning.
    WriteFile(work / "QorConfig.xml", "<QorConf><downdir>a/b</downdir><logmaxmb>8</logmaxmb></QorConf>");
    Outcome fine = RunOnce({"--check-config"}, work);
    EXPECT_EQ(fine.nExit, 0) << fine.strOut;
    EXPECT_NE(fine.strOut.find("\nwarning: QorConfig.xml has no port: downdir ignored, defaults used\n"),
              std::string::npos)
        << fine.strOut;
    EXPECT_NE(fine.strOut.find(", logmaxmb 8, logkeep 5\n"), std::string::npos) << fine.strOut;
    EXPECT_EQ(fine.strOut.substr(fine.strOut.size() - 17), "configuration OK\n");
    EXPECT_EQ(Entries(work), (std::vector<std::string> {"QorConfig.xml", "plain"}));

    WriteFile(work / "QorConfig.xml", "<QorConf><port>5990</port><downdir>" + (work / "x/y").string() +
                                          "</downdir></QorConf>");
    EXPECT_EQ(RunOnce({"--check-config"}, work).nExit, 0);
    EXPECT_EQ(Entries(work), (std::vector<std::string> {"QorConfig.xml", "plain"}));

    // A hand edit gone wrong would cost every setting: an error.
    WriteFile(work / "QorConfig.xml", "<QorConf><port>5990</port><downdir>a</downd");
    Outcome broken = RunOnce({"--check-config"}, work);
    EXPECT_EQ(broken.nExit, 1);
    EXPECT_NE(broken.strOut.find("error: QorConfig.xml is not well-formed"), std::string::npos) << broken.strOut;
    EXPECT_EQ(Entries(work), (std::vector<std::string> {"QorConfig.xml", "plain"}));
}

TEST_F(HeadlessServerTest, CreatesSettingsFileInEmptyDirectoryWhoseEditedDowndirTakesTheRecordings)
{
    Launch(0);
    // On the default port, which this machine may have taken: either outcome writes
    // the settings file first, then its first log line.
    ASSERT_TRUE(WaitFor([this] {
        std::error_code ec;
        return std::filesystem::file_size(Dir() / "log.txt", ec) > 0 && !ec;
    }));
    m_server.Signal(SIGINT);
    int nExit = WaitExit();
    EXPECT_TRUE(nExit == 0 || nExit == 1) << nExit;
    // A server left alone must follow the clock: the file it made has a rolling window.
    std::string settings = ReadFile(Dir() / "QorConfig.xml");
    EXPECT_EQ(settings.rfind("<QorConf>", 0), 0u);
    EXPECT_NE(settings.find("<rollinghours>24</rollinghours>"), std::string::npos) << settings;
    EXPECT_NE(settings.find("<maxvehicles>1000</maxvehicles>"), std::string::npos) << settings;

    // Every key is there with a value, so that editing any one of them counts: the
    // classic keys as the window saves them, the special configuration (off), and
    // every depot key, the log limits included.
    for (const char* szKey : {"port", "downdir", "startdown", "stoptdown", "filetype", "MIRDOMode"})
        EXPECT_TRUE(std::regex_search(settings, std::regex(std::string("<") + szKey + ">[^<]+</" + szKey + ">")))
            << szKey << " in " << settings;
    // The address is automatic: each recorder is told the one its datagrams arrive on.
    EXPECT_NE(settings.find("<IP/>"), std::string::npos) << settings;
    EXPECT_NE(settings.find("<AllPrivileges>\r\n<EnablePrivileges>0</EnablePrivileges>\r\n</AllPrivileges>"),
              std::string::npos)
        << settings;
    CSettingsFile file((Dir() / "QorConfig.xml").string(), CSettingsFile::Access::ReadOnly);
    ServerSettings loaded;
    EXPECT_EQ(LoadSettings(loaded, file), 0);
    EXPECT_STREQ(loaded.szDownDir, "mp4download");
    EXPECT_STREQ(loaded.szIP, "");
    EXPECT_EQ(loaded.nPort, 5990);
    EXPECT_EQ(loaded.tStop - loaded.tStart, 86400u);
    const DepotSettings expected = HeadlessDepotSettings();
    EXPECT_EQ(expected.nLogMaxMb, 64u);
    EXPECT_EQ(expected.nLogKeep, 5u);
    const DepotSettings depot = LoadDepotSettings(file);
    for (const DepotKey& key : DepotKeys()) {
        EXPECT_NE(settings.find(std::string("<") + key.szName + ">"), std::string::npos) << key.szName;
        EXPECT_EQ(depot.*key.pField, expected.*key.pField) << key.szName;
    }
    // Read back whole, it says nothing of missing keys.
    std::vector<std::string> messages = ReadLogMessages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[1].rfind("Settings: port 5990, downdir " + (Dir() / "mp4download").string() +
                                    ", IP automatic, span rolling 24 hours, ",
                                0),
              0u)
        << messages[1];
    EXPECT_EQ(messages[1].substr(messages[1].find(", filetype")),
              ", filetype 0 (All Record), component mode 0, maxtransfers 0, retaindays 0, minfreemb 0, "
              "maxvehicles 1000, logmaxmb 64, logkeep 5");
    EXPECT_FALSE(std::any_of(messages.begin(), messages.end(),
                             [](const std::string& m) { return m.find("QorConfig.xml has no") == 0; }));

    // Only values change, in place; no key is added. The port's value is changed
    // too, as 5990 may be taken on this machine, but only where the server wrote one.
    std::string text = ReadFile(Dir() / "QorConfig.xml");
    const std::uint16_t nPort = FreeUdpPort();
    const std::string target = (Dir() / "disk2" / "recordings").string();
    for (auto [from, to] : {std::pair<std::string, std::string> {"<port>5990</port>",
                                                                  "<port>" + std::to_string(nPort) + "</port>"},
                            {"<downdir>mp4download</downdir>", "<downdir>" + target + "</downdir>"}}) {
        const std::size_t nAt = text.find(from);
        ASSERT_NE(nAt, std::string::npos) << from << " in " << text;
        text.replace(nAt, from.size(), to);
    }
    WriteFile(Dir() / "QorConfig.xml", text);
    const std::string firstRun = ReadFile(Dir() / "log.txt");

    ASSERT_TRUE(m_server.Start({.dir = Dir()}));
    // With rotation on, the first run's lines move to log.txt.1 before the first new one.
    ASSERT_TRUE(WaitFor([this] { return std::filesystem::exists(Dir() / "log.txt.1"); }));
    ASSERT_TRUE(WaitForLog("Server starts"));
    SimOptions options;
    options.nServerPort = nPort;
    options.vecNames = {"MOVED-1"};
    options.nChannels = 1;
    options.nRecordings = 2;
    options.nRecBytes = 200000;
    options.nRecSeconds = 300;
    options.tStart = WallClockNow() - 3600;  // inside the rolling window the server wrote
    options.nKeepAliveMs = 300;
    options.nVerbosity = 0;
    CDvrSimulator sim(options);
    ASSERT_EQ(sim.Start(), 0);
    std::vector<std::filesystem::path> stored;
    for (const SimRecording& rec : sim.Recorder(0).Recordings().All())
        stored.push_back(std::filesystem::path(target) / "MOVED-1" / DateDirName(rec.tStart) /
                         ChannelDirName(rec.nChannel) / FinalFileName(rec.nChannel, rec.tStart, rec.tEnd));
    const bool bStored = WaitFor(
        [&] { return std::all_of(stored.begin(), stored.end(), [](const auto& p) { return std::filesystem::exists(p); }); },
        std::chrono::seconds(30));
    sim.Stop();
    m_server.Signal(SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
    ASSERT_TRUE(bStored) << ReadFile(Dir() / "log.txt");
    for (const std::filesystem::path& path : stored)
        EXPECT_EQ(std::filesystem::file_size(path), 200000u) << path;
    EXPECT_FALSE(std::filesystem::exists(Dir() / "mp4download"));
    EXPECT_TRUE(LogHas("Settings: port " + std::to_string(nPort) + ", downdir " + target +
                       ", IP automatic, span rolling 24 hours, filetype 0 (All Record), component mode 0, "
                       "maxtransfers 0, retaindays 0, minfreemb 0, maxvehicles 1000, logmaxmb 64, logkeep 5"));
    EXPECT_EQ(ReadFile(Dir() / "log.txt.1"), firstRun);
}

TEST_F(HeadlessServerTest, KeepsAnExistingSettingsFileAndSetsADamagedHistoryAside)
{
    WriteFile(Dir() / "fleet.db", std::string(8192, 'x'));
    std::uint16_t nPort = FreeUdpPort();
    Launch(nPort);
    std::string given = ReadFile(Dir() / "QorConfig.xml");
    ASSERT_TRUE(WaitForLog("Server starts"));
    m_server.Signal(SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
    EXPECT_EQ(ReadFile(Dir() / "QorConfig.xml"), given);

    std::vector<std::filesystem::path> backups;
    for (auto& entry : std::filesystem::directory_iterator(Dir()))
        if (entry.path().extension() == ".bak" && entry.path().filename().string().rfind("fleet.db.", 0) == 0)
            backups.push_back(entry.path());
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(ReadFile(backups[0]), std::string(8192, 'x'));
    auto messages = ReadLogMessages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const std::string& m) {
        return m.find("is damaged, kept as") != std::string::npos &&
               m.find(backups[0].filename().string()) != std::string::npos;
    }));
    // The new database is a working one.
    EXPECT_EQ(ReadFile(Dir() / "fleet.db").rfind("SQLite format 3", 0), 0u);
}

TEST_F(HeadlessServerTest, TellsTheServiceManagerItIsReadyAliveAndStopping)
{
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::string path = (Dir() / "notify").string();
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    auto next = [fd]() -> std::string {
        pollfd pfd {fd, POLLIN, 0};
        if (::poll(&pfd, 1, 5000) != 1)
            return "(nothing)";
        char buf[256];
        ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "(error)";
    };

    Launch(FreeUdpPort(), path);
    // Ready only once the control port is bound; then the watchdog every tick.
    EXPECT_EQ(next(), "READY=1");
    EXPECT_TRUE(LogHas("Server starts"));
    EXPECT_EQ(next(), "WATCHDOG=1");
    m_server.Signal(SIGTERM);
    std::string message = next();
    while (message == "WATCHDOG=1")
        message = next();
    EXPECT_EQ(message, "STOPPING=1");
    EXPECT_EQ(WaitExit(), 0);
    ::close(fd);
}
