#include "bench/support/ServerProcess.h"

#include "platform/Socket.h"
#include "platform/System.h"
#include "settings/SettingsFile.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

CServerProcess::CServerProcess(ServerSettings settings, const DepotSettings& depot, bool bOwnCopy)
{
    std::string tmpl = (fs::temp_directory_path() / "zelbench-XXXXXX").string();
    m_dir = ::mkdtemp(tmpl.data());
    m_server = fs::path(ExecutablePath()).parent_path().parent_path() / "zeldownloadd";
    if (bOwnCopy) {
        std::error_code ec;
        fs::copy_file(m_server, m_dir / "zeldownloadd", ec);
        m_server = m_dir / "zeldownloadd";
    }
    m_nPort = CSocket::CreateUdp(nullptr, 0).LocalPort();
    CSettingsFile file((m_dir / "QorConfig.xml").string());
    settings.nPort = m_nPort;
    std::strcpy(settings.szDownDir, "store");
    SaveSettings(settings, file);
    SaveDepotSettings(depot, file);
}

CServerProcess::~CServerProcess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

bool CServerProcess::Start()
{
    std::string server = m_server.string();
    std::error_code ec;
    fs::remove(m_dir / "log.txt", ec);
    m_pid = ::fork();
    if (m_pid == 0) {
        if (::chdir(m_dir.c_str()) != 0)
            ::_exit(127);
        int fd = ::open("/dev/null", O_WRONLY);
        ::dup2(fd, STDERR_FILENO);
        ::execl(server.c_str(), "zeldownloadd", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 500; ++i) {
        std::ifstream log(m_dir / "log.txt");
        std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        if (text.find("Server starts") != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void CServerProcess::Stop()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

void CServerProcess::Kill()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

CServerProcess::Figures CServerProcess::Read() const
{
    Figures figures;
    std::ifstream stat("/proc/" + std::to_string(m_pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    if (text.empty())
        return figures;
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long nUtime = 0, nStime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            nUtime = std::stoull(field);
        if (i == 15)
            nStime = std::stoull(field);
    }
    figures.dCpuSeconds = static_cast<double>(nUtime + nStime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            figures.nPeakRssKiB = std::strtoull(line.c_str() + 6, nullptr, 10);
        if (line.rfind("VmRSS:", 0) == 0)
            figures.nRssKiB = std::strtoull(line.c_str() + 6, nullptr, 10);
        if (line.rfind("Threads:", 0) == 0)
            figures.nThreads = std::atoi(line.c_str() + 8);
    }
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(m_pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        ++figures.nDescriptors;
    return figures;
}

std::size_t CountFiles(const fs::path& root, const std::string& ext)
{
    std::size_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        if (it->path().extension() == ext)
            ++n;
    }
    return n;
}
