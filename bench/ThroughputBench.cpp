// Download throughput of the server against the recorder simulator on loopback,
// beside two baselines over the same bytes: a plain TCP copy to disk, and the same
// copy with each file synced to disk at its end (what the server must do before a
// file takes its finished name).
//
//   ThroughputBench [--vehicles N] [--channels N] [--files N] [--size BYTES] [--maxtransfers N]
//
// The server runs as its own process (zeldownloadd from the build directory), so its
// CPU time and peak memory are its own; the simulator runs in this process.

#include "bench/support/BenchOptions.h"
#include "bench/support/ServerProcess.h"
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

// The baseline: nStreams senders each push nBytes to a receiver thread that writes
// them to its own file with a 64 KiB buffer, and with bSync fdatasyncs the file at
// the end of its stream. Seconds taken. The files are removed afterwards, so that
// their dirty pages do not weigh on the next run.
double PlainCopy(const fs::path& dir, int nStreams, std::uint64_t nBytes, bool bSync)
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
        threads.emplace_back([&dir, i, bSync, conn = std::move(conn)]() mutable {
            int fd = ::open((dir / ("plain" + std::to_string(i))).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            std::vector<char> buf(64 << 10);
            for (;;) {
                ssize_t n = conn.Recv(buf.data(), buf.size());
                if (n <= 0 || ::write(fd, buf.data(), static_cast<std::size_t>(n)) != n)
                    break;
            }
            if (bSync && ::fdatasync(fd) != 0)
                std::perror("fdatasync");
            ::close(fd);
        });
    }
    for (auto& thread : threads)
        thread.join();
    double dSeconds = static_cast<double>(MonotonicMs() - nStart) / 1000.0;
    for (int i = 0; i < nStreams; ++i)
        fs::remove(dir / ("plain" + std::to_string(i)));
    return dSeconds;
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    CBenchOptions args;
    args.Add("--vehicles", &config.nVehicles).Add("--channels", &config.nChannels).Add("--files", &config.nFiles);
    args.Add("--size", &config.nSize, "BYTES").Add("--maxtransfers", &config.nMaxTransfers);
    if (!args.Parse(argc, argv))
        return 2;
    if (config.nSize == 0 || config.nSize > 0xFFFFFFFFull) {
        std::fprintf(stderr, "--size must be 1 to 4294967295 bytes\n");
        return 2;
    }
    IgnoreSigPipe();
    const std::uint64_t nTotalFiles = static_cast<std::uint64_t>(config.nVehicles) * config.nChannels * config.nFiles;
    const std::uint64_t nTotalBytes = nTotalFiles * config.nSize;

    const std::uint32_t tStart = 1700000000;
    ServerSettings settings = DefaultSettings();
    settings.tStart = tStart;
    settings.tStop = tStart + 86400 * 30;
    DepotSettings depot;
    depot.nMaxTransfers = config.nMaxTransfers;
    CServerProcess server(settings, depot);
    if (!server.Start()) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    const fs::path& dir = server.Dir();

    SimOptions options;
    options.nServerPort = server.Port();
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
    CServerProcess::Figures figures = server.Read();
    server.Stop();
    fs::remove_all(dir / "store");

    int nStreams = config.nVehicles * config.nChannels;
    double dPlainSeconds = PlainCopy(dir, nStreams, config.nFiles * config.nSize, false);
    double dSyncedSeconds = PlainCopy(dir, nStreams, config.nFiles * config.nSize, true);

    double dMB = static_cast<double>(nTotalBytes) / 1e6;
    double dServerMBs = dMB / dServerSeconds;
    double dPlainMBs = dMB / dPlainSeconds;
    double dSyncedMBs = dMB / dSyncedSeconds;
    std::printf("config: %d vehicles x %d channels x %d files x %llu bytes (%.1f MB), maxtransfers %u\n",
                config.nVehicles, config.nChannels, config.nFiles, static_cast<unsigned long long>(config.nSize), dMB,
                config.nMaxTransfers);
    std::printf("complete: %s\n", bComplete ? "yes" : "NO (timed out)");
    std::printf("server: %.3f s, %.1f MB/s, %.1f files/s (%.1f per channel)\n", dServerSeconds, dServerMBs,
                static_cast<double>(nTotalFiles) / dServerSeconds,
                static_cast<double>(nTotalFiles) / dServerSeconds / nStreams);
    std::printf("server CPU: %.2f s, %.2f CPU s per GB; peak resident memory %.1f MiB\n", figures.dCpuSeconds,
                figures.dCpuSeconds / (dMB / 1000.0), static_cast<double>(figures.nPeakRssKiB) / 1024.0);
    std::printf("baseline (plain TCP to disk, %d streams): %.3f s, %.1f MB/s\n", nStreams, dPlainSeconds, dPlainMBs);
    std::printf("baseline (plain TCP to disk + fdatasync, %d streams): %.3f s, %.1f MB/s\n", nStreams,
                dSyncedSeconds, dSyncedMBs);
    std::printf("ratio_vs_raw=%.3f\n", dServerMBs / dPlainMBs);
    std::printf("ratio_vs_synced=%.3f\n", dServerMBs / dSyncedMBs);
    return bComplete ? 0 : 1;
}
