// Download throughput of the server against the recorder simulator on loopback,
// beside a plain TCP copy of the same bytes as the baseline.
//
//   ThroughputBench [--vehicles N] [--channels N] [--files N] [--size BYTES] [--maxtransfers N]
//
// The server runs as its own process (zeldownloadd from the build directory), so its
// CPU time and peak memory are its own; the simulator runs in this process.

#include "platform/Socket.h"
#include "platform/System.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "tools/dvrsim/DvrSimulator.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Config {
    int nVehicles = 1;
    int nChannels = 1;
    int nFiles = 1;
    std::uint64_t nSize = 256ull << 20;
    std::uint32_t nMaxTransfers = 0;  // the server's transfer limit; 0 none
};

struct ProcessFigures {
    double dCpuSeconds = 0;
    std::uint64_t nPeakRssKiB = 0;
};

ProcessFigures ReadProcess(pid_t pid)
{
    ProcessFigures figures;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
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
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            figures.nPeakRssKiB = std::strtoull(line.c_str() + 6, nullptr, 10);
    }
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

// The baseline: nStreams senders each push nBytes to a receiver thread that writes
// them to its own file with a 64 KiB buffer. Seconds taken.
double PlainCopy(const fs::path& dir, int nStreams, std::uint64_t nBytes)
{
    CSocket listener = CSocket::ListenTcp("127.0.0.1", 0, 128);
    std::uint16_t nPort = listener.LocalPort();
    std::int64_t nStart = MonotonicMs();
    std::vector<std::thread> threads;
    for (int i = 0; i < nStreams; ++i) {
        threads.emplace_back([&, i] {
            CSocket sock = CSocket::ConnectTcp("127.0.0.1", nPort, 5000);
            std::vector<unsigned char> buf(64 << 10);
            CSimRecordings::Fill(static_cast<std::uint64_t>(i), 0, buf.data(), buf.size());
            for (std::uint64_t nSent = 0; nSent < nBytes;) {
                std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), nBytes - nSent));
                if (!sock.SendAll(buf.data(), n))
                    return;
                nSent += n;
            }
        });
    }
    for (int i = 0; i < nStreams; ++i) {
        CSocket conn = listener.Accept();
        threads.emplace_back([&dir, i, conn = std::move(conn)]() mutable {
            int fd = ::open((dir / ("plain" + std::to_string(i))).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            std::vector<char> buf(64 << 10);
            for (;;) {
                ssize_t n = conn.Recv(buf.data(), buf.size());
                if (n <= 0 || ::write(fd, buf.data(), static_cast<std::size_t>(n)) != n)
                    break;
            }
            ::close(fd);
        });
    }
    for (auto& thread : threads)
        thread.join();
    return static_cast<double>(MonotonicMs() - nStart) / 1000.0;
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        std::uint64_t nValue = std::strtoull(argv[i + 1], nullptr, 10);
        if (option == "--vehicles")
            config.nVehicles = static_cast<int>(nValue);
        else if (option == "--channels")
            config.nChannels = static_cast<int>(nValue);
        else if (option == "--files")
            config.nFiles = static_cast<int>(nValue);
        else if (option == "--maxtransfers")
            config.nMaxTransfers = static_cast<std::uint32_t>(nValue);
        else if (option == "--size")
            config.nSize = nValue;
        else {
            std::fprintf(stderr, "usage: %s [--vehicles N] [--channels N] [--files N] [--size BYTES] [--maxtransfers N]\n", argv[0]);
            return 2;
        }
    }
    if (config.nSize == 0 || config.nSize > 0xFFFFFFFFull) {
        std::fprintf(stderr, "--size must be 1 to 4294967295 bytes\n");
        return 2;
    }
    IgnoreSigPipe();
    const std::uint64_t nTotalFiles = static_cast<std::uint64_t>(config.nVehicles) * config.nChannels * config.nFiles;
    const std::uint64_t nTotalBytes = nTotalFiles * config.nSize;

    std::string tmpl = (fs::temp_directory_path() / "zelbench-XXXXXX").string();
    fs::path dir = ::mkdtemp(tmpl.data());
    std::uint16_t nPort = CSocket::CreateUdp(nullptr, 0).LocalPort();
    const std::uint32_t tStart = 1700000000;
    {
        CSettingsFile file((dir / "QorConfig.xml").string());
        ServerSettings settings = DefaultSettings();
        settings.nPort = nPort;
        std::strcpy(settings.szDownDir, "store");
        settings.tStart = tStart;
        settings.tStop = tStart + 86400 * 30;
        SaveSettings(settings, file);
        DepotSettings depot;
        depot.nMaxTransfers = config.nMaxTransfers;
        SaveDepotSettings(depot, file);
    }

    std::string server = fs::path(ExecutablePath()).parent_path().parent_path() / "zeldownloadd";
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0)
            ::_exit(127);
        int fd = ::open("/dev/null", O_WRONLY);
        ::dup2(fd, STDERR_FILENO);
        ::execl(server.c_str(), "zeldownloadd", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    SimOptions options;
    options.nServerPort = nPort;
    options.nVehicles = config.nVehicles;
    options.strNamePrefix = "BENCH";
    options.nChannels = config.nChannels;
    options.nRecordings = config.nFiles;
    options.nRecBytes = static_cast<std::uint32_t>(config.nSize);
    options.nRecSeconds = 60;
    options.tStart = tStart;
    options.nKeepAliveMs = 1000;
    options.nVerbosity = 0;
    std::int64_t nBegin = MonotonicMs();
    double dServerSeconds = 0;
    bool bComplete = false;
    {
        CDvrSimulator sim(options);
        if (sim.Start() != 0) {
            std::fprintf(stderr, "simulator could not start\n");
            ::kill(pid, SIGKILL);
            return 1;
        }
        // Done when every file is stored under its final name.
        std::int64_t nDeadline = nBegin + 30 * 60 * 1000;
        while (MonotonicMs() < nDeadline) {
            if (CountFiles(dir / "store", ".mp4") == nTotalFiles) {
                bComplete = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        dServerSeconds = static_cast<double>(MonotonicMs() - nBegin) / 1000.0;
    }
    ProcessFigures figures = ReadProcess(pid);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    fs::remove_all(dir / "store");

    int nStreams = config.nVehicles * config.nChannels;
    double dPlainSeconds = PlainCopy(dir, nStreams, config.nFiles * config.nSize);
    fs::remove_all(dir);

    double dMB = static_cast<double>(nTotalBytes) / 1e6;
    double dServerMBs = dMB / dServerSeconds;
    double dPlainMBs = dMB / dPlainSeconds;
    std::printf("config: %d vehicles x %d channels x %d files x %llu bytes (%.1f MB)\n", config.nVehicles,
                config.nChannels, config.nFiles, static_cast<unsigned long long>(config.nSize), dMB);
    std::printf("complete: %s\n", bComplete ? "yes" : "NO (timed out)");
    std::printf("server: %.3f s, %.1f MB/s, %.1f files/s (%.1f per channel)\n", dServerSeconds, dServerMBs,
                static_cast<double>(nTotalFiles) / dServerSeconds,
                static_cast<double>(nTotalFiles) / dServerSeconds / nStreams);
    std::printf("server CPU: %.2f s, %.2f CPU s per GB; peak resident memory %.1f MiB\n", figures.dCpuSeconds,
                figures.dCpuSeconds / (dMB / 1000.0), static_cast<double>(figures.nPeakRssKiB) / 1024.0);
    std::printf("baseline (plain TCP to disk, %d streams): %.3f s, %.1f MB/s\n", nStreams, dPlainSeconds, dPlainMBs);
    std::printf("ratio_vs_raw=%.3f\n", dServerMBs / dPlainMBs);
    return bComplete ? 0 : 1;
}
