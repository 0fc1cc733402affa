#include "control/ByteOrder.h"
#include "platform/Socket.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/ScriptedPeer.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// zeldownloadd run as a process in the sandbox, its standard error in stderr.txt.
class HeadlessServerTest : public Sandbox {
protected:
    void TearDown() override
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
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
            WriteFile("QorConfig.xml", "<QorConf>\r\n<port>" + std::to_string(nPort) +
                                           "</port>\r\n<downdir>depot/video</downdir>\r\n</QorConf>\r\n");
        m_pid = ::fork();
        ASSERT_GE(m_pid, 0);
        if (m_pid == 0) {
            int fd = ::open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, STDERR_FILENO);
            if (!notifySocket.empty())
                ::setenv("NOTIFY_SOCKET", notifySocket.c_str(), 1);
            ::execl(ZEL_BUILD_DIR "/zeldownloadd", "zeldownloadd", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }

    // Waits up to 10 s for the process to end; its exit status, or -1.
    int WaitExit()
    {
        int nStatus = 0;
        if (!WaitFor([&] { return ::waitpid(m_pid, &nStatus, WNOHANG) == m_pid; }, std::chrono::seconds(10)))
            return -1;
        m_pid = -1;
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
    }

    static bool WaitForLog(const std::string& message)
    {
        return WaitFor([&] { return LogHas(message); });
    }

    pid_t m_pid = -1;
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
    EXPECT_TRUE(std::filesystem::is_directory("depot/video/DEPOT-1"));

    ASSERT_EQ(::kill(m_pid, SIGTERM), 0);
    EXPECT_EQ(WaitExit(), 0);
    auto messages = ReadLogMessages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages.front(), "Server starts");
    EXPECT_EQ(messages.back(), "Server stops");
    EXPECT_NE(std::find(messages.begin(), messages.end(), "DEPOT-1 Registed, number of channel is 2"),
              messages.end());
    // The settings file it read is still the one given; the port answered was ours.
    EXPECT_NE(ReadFile("QorConfig.xml").find(std::to_string(nPort)), std::string::npos);
}

TEST_F(HeadlessServerTest, BusyPortExitsWithMessage)
{
    CSocket holder = CSocket::CreateUdp(nullptr, 0);
    Launch(holder.LocalPort());
    EXPECT_EQ(WaitExit(), 1);
    EXPECT_EQ(ReadFile("stderr.txt"), "Start failed, please assure port not occupied!\n");
    EXPECT_EQ(ReadLogMessages(), std::vector<std::string> {"failed to create udp server"});
}

TEST_F(HeadlessServerTest, CreatesSettingsFileInEmptyDirectory)
{
    Launch(0);
    // On the default port, which this machine may have taken: either outcome writes
    // the settings file first, then its first log line.
    WaitFor([] {
        std::error_code ec;
        return std::filesystem::file_size("log.txt", ec) > 0 && !ec;
    });
    ::kill(m_pid, SIGINT);
    int nExit = WaitExit();
    EXPECT_TRUE(nExit == 0 || nExit == 1) << nExit;
    // A server left alone must follow the clock: the file it made has a rolling window.
    std::string settings = ReadFile("QorConfig.xml");
    EXPECT_EQ(settings.rfind("<QorConf>", 0), 0u);
    EXPECT_NE(settings.find("<rollinghours>24</rollinghours>"), std::string::npos) << settings;
    EXPECT_NE(settings.find("<maxvehicles>1000</maxvehicles>"), std::string::npos) << settings;
}

TEST_F(HeadlessServerTest, KeepsAnExistingSettingsFileAndSetsADamagedHistoryAside)
{
    WriteFile("fleet.db", std::string(8192, 'x'));
    std::uint16_t nPort = FreeUdpPort();
    Launch(nPort);
    std::string given = ReadFile("QorConfig.xml");
    ASSERT_TRUE(WaitForLog("Server starts"));
    ::kill(m_pid, SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
    EXPECT_EQ(ReadFile("QorConfig.xml"), given);

    std::vector<std::filesystem::path> backups;
    for (auto& entry : std::filesystem::directory_iterator("."))
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
    EXPECT_EQ(ReadFile("fleet.db").rfind("SQLite format 3", 0), 0u);
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
    ::kill(m_pid, SIGTERM);
    std::string message = next();
    while (message == "WATCHDOG=1")
        message = next();
    EXPECT_EQ(message, "STOPPING=1");
    EXPECT_EQ(WaitExit(), 0);
    ::close(fd);
}
