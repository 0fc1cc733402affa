#pragma once

#include "settings/DepotSettings.h"
#include "settings/Settings.h"

#include <cstdint>
#include <filesystem>
#include <sys/types.h>

// zeldownloadd from the build directory as its own process, in a scratch directory
// of its own with the settings given, so that its CPU time, memory and threads are
// its own. The benchmarks run the recorder simulator in their own process.
class CServerProcess {
public:
    struct Figures {
        double dCpuSeconds = 0;
        std::uint64_t nPeakRssKiB = 0;
        std::uint64_t nRssKiB = 0;
        int nThreads = 0;
        int nDescriptors = 0;
    };

    // Makes the scratch directory and writes QorConfig.xml there; the control port
    // is a free one, the download root "store". bOwnCopy runs a copy of the server
    // placed in that directory, so that what it keeps beside itself (the record
    // index) is this run's own. Bench thread.
    CServerProcess(ServerSettings settings, const DepotSettings& depot, bool bOwnCopy = false);
    // Kills a running server and removes the directory.
    ~CServerProcess();
    CServerProcess(const CServerProcess&) = delete;
    CServerProcess& operator=(const CServerProcess&) = delete;

    // Starts the server and waits until it logged its start; false when it did not.
    // A log.txt of an earlier run is removed first.
    bool Start();
    // SIGTERM and wait.
    void Stop();
    // SIGKILL and wait: the server ends wherever it is, as in a crash.
    void Kill();

    const std::filesystem::path& Dir() const { return m_dir; }
    std::filesystem::path Store() const { return m_dir / "store"; }
    std::uint16_t Port() const { return m_nPort; }
    pid_t Pid() const { return m_pid; }
    // CPU time, peak memory and current threads of the running server.
    Figures Read() const;

private:
    std::filesystem::path m_dir;
    std::filesystem::path m_server;  // the program started
    std::uint16_t m_nPort = 0;
    pid_t m_pid = -1;
};

// Files under root whose extension is ext (".mp4").
std::size_t CountFiles(const std::filesystem::path& root, const std::string& ext);
