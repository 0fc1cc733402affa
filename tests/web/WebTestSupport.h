#pragma once

#include "platform/Socket.h"
#include "platform/System.h"

#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

// What the web tests share: free ports, raw exchanges and the programs they call.

// A TCP port nobody listens on now, on any address. Taken below the ephemeral range
// (from 32768), from a stretch of this process's own, so that the client sockets of
// tests running beside never take it before the server binds it.
inline std::uint16_t FreeTcpPort()
{
    static std::atomic<unsigned> s_nNext {static_cast<unsigned>(::getpid()) * 97u};
    for (int i = 0; i < 500; ++i) {
        const auto nPort = static_cast<std::uint16_t>(20000 + s_nNext++ % 12000);
        if (CSocket::ListenTcp(nullptr, nPort).IsValid())
            return nPort;
    }
    return CSocket::ListenTcp("127.0.0.1", 0).LocalPort();
}

// Sends request as it is and returns everything the server sends back until it
// closes or nTimeoutMs passes.
inline std::string RawExchange(std::uint16_t nPort, const std::string& request, int nTimeoutMs = 5000)
{
    CSocket sock = CSocket::ConnectTcp("127.0.0.1", nPort, 2000);
    if (!sock.IsValid())
        return "(no connection)";
    // A server that refuses a request may close before taking all of it: its answer,
    // read below, is what counts.
    (void)sock.SendAll(request.data(), request.size());
    std::string answer;
    const std::int64_t nEnd = MonotonicMs() + nTimeoutMs;
    char buf[4096];
    while (MonotonicMs() < nEnd && sock.WaitReadable(static_cast<int>(nEnd - MonotonicMs())) > 0) {
        ssize_t n = sock.Recv(buf, sizeof(buf));
        if (n <= 0)
            break;
        answer.append(buf, static_cast<std::size_t>(n));
    }
    return answer;
}

// Standard output of a shell command and its exit status.
inline int RunCommand(const std::string& command, std::string* pOutput = nullptr)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof(buf), pipe)) > 0) {
        if (pOutput)
            pOutput->append(buf, n);
    }
    int nStatus = ::pclose(pipe);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

inline bool HaveCommand(const std::string& name)
{
    return RunCommand("command -v " + name + " >/dev/null 2>&1") == 0;
}
