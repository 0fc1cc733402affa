#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// The server program of this build.
std::filesystem::path ServerProgram();

// A server program run as a child process, as a service manager or a user starts it:
// in a directory of its own, so that a signal ends it at any point. One that still
// runs when the object goes is killed with SIGKILL. Test thread.
class ServerProcess {
public:
    struct Launch {
        std::filesystem::path dir;                    // the working directory
        std::filesystem::path program = ServerProgram();
        std::vector<std::string> args;
        std::filesystem::path out;                    // standard output to this file (relative to dir), kept when empty
        std::filesystem::path err;                    // standard error alike
        std::vector<std::pair<std::string, std::string>> env;  // variables set in the child
    };

    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess();

    // Starts the program; whether the fork worked.
    bool Start(const Launch& launch);
    bool Running() const { return m_pid > 0; }
    // Sends nSignal; whether it was delivered.
    bool Signal(int nSignal) const;
    // Waits up to timeout for the end: the exit status, 128 + signal, or -1.
    int WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Ends it with nSignal and reaps it, however long that takes.
    void Stop(int nSignal);

private:
    pid_t m_pid = -1;
};
