#include "support/ServerProcess.h"

#include "support/WaitFor.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

std::filesystem::path ServerProgram()
{
    return std::filesystem::path(ZEL_BUILD_DIR) / "zeldownloadd";
}

ServerProcess::~ServerProcess()
{
    if (m_pid > 0)
        Stop(SIGKILL);
}

bool ServerProcess::Start(const Launch& launch)
{
    // Everything the child needs is made before the fork.
    std::vector<std::string> args {launch.program.filename().string()};
    args.insert(args.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid != 0)
        return m_pid > 0;
    if (::chdir(launch.dir.c_str()) != 0)
        ::_exit(126);
    if (!launch.out.empty())
        ::dup2(::open(launch.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
    if (!launch.err.empty())
        ::dup2(::open(launch.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
    for (const auto& [name, value] : launch.env)
        ::setenv(name.c_str(), value.c_str(), 1);
    ::execv(launch.program.c_str(), argv.data());
    ::_exit(127);
}

bool ServerProcess::Signal(int nSignal) const
{
    return m_pid > 0 && ::kill(m_pid, nSignal) == 0;
}

int ServerProcess::WaitExit(std::chrono::milliseconds timeout)
{
    int nStatus = 0;
    if (m_pid <= 0 || !WaitFor([&] { return ::waitpid(m_pid, &nStatus, WNOHANG) == m_pid; }, timeout))
        return -1;
    m_pid = -1;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

void ServerProcess::Stop(int nSignal)
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, nSignal);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}
