// A fleet returning at once: V recorders x C channels x R recordings register,
// keep alive and are downloaded by zeldownloadd running as its own process.
//
//   FleetRushBench [--vehicles V] [--channels C] [--files R] [--size BYTES]
//                  [--maxtransfers N] [--keepalive-ms MS]
//
// Prints the kernel's drops at the server's control socket, reply time-outs,
// repeated transfers, recordings stored out of expected, wall time, the most threads
// and the peak memory of the server. Figures only: it asserts nothing.

#include "bench/support/BenchOptions.h"
#include "bench/support/ServerProcess.h"
#include "platform/System.h"
#include "tools/dvrsim/DvrSimulator.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Config {
    int nVehicles = 300;
    int nChannels = 4;
    int nFiles = 3;
    std::uint32_t nSize = 256 * 1024;
    std::uint32_t nMaxTransfers = 0;
    int nKeepAliveMs = 2000;
};

// The drops column of the UDP socket bound to nPort, from /proc/net/udp; -1 when
// the socket is not listed.
long long UdpDrops(std::uint16_t nPort)
{
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);  // column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        auto nColon = local.find(':');
        if (nColon == std::string::npos || std::stoul(local.substr(nColon + 1), nullptr, 16) != nPort)
            continue;
        std::string field, last;
        while (fields >> field)
            last = field;
        return std::atoll(last.c_str());
    }
    return -1;
}

std::size_t CountLines(const fs::path& log, const std::string& text)
{
    std::ifstream file(log);
    std::string line;
    std::size_t n = 0;
    while (std::getline(file, line))
        n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    CBenchOptions args;
    args.Add("--vehicles", &config.nVehicles, "V").Add("--channels", &config.nChannels, "C");
    args.Add("--files", &config.nFiles, "R").Add("--size", &config.nSize, "BYTES");
    args.Add("--maxtransfers", &config.nMaxTransfers).Add("--keepalive-ms", &config.nKeepAliveMs, "MS");
    if (!args.Parse(argc, argv))
        return 2;
    IgnoreSigPipe();
    const std::uint32_t tStart = 1700000000;
    ServerSettings settings = DefaultSettings();
    settings.tStart = tStart;
    settings.tStop = tStart + 86400 * 30;
    DepotSettings depot;
    depot.nMaxTransfers = config.nMaxTransfers;
    depot.nMaxVehicles = static_cast<std::uint32_t>(config.nVehicles);
    CServerProcess server(settings, depot);
    if (!server.Start()) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    const std::size_t nExpected = static_cast<std::size_t>(config.nVehicles) * config.nChannels * config.nFiles;

    SimOptions options;
    options.nServerPort = server.Port();
    options.nVehicles = config.nVehicles;
    options.strNamePrefix = "RUSH";
    options.nChannels = config.nChannels;
    options.nRecordings = config.nFiles;
    options.nRecBytes = config.nSize;
    options.nRecSeconds = 60;
    options.tStart = tStart;
    options.nKeepAliveMs = config.nKeepAliveMs;
    options.nVerbosity = 0;

    std::int64_t nBegin = MonotonicMs();
    std::size_t nStored = 0;
    int nMostThreads = 0;
    long long nDrops = 0;
    std::uint64_t nRepeated = 0;
    {
        CDvrSimulator sim(options);
        if (sim.Start() != 0) {
            std::fprintf(stderr, "simulator could not start\n");
            return 1;
        }
        std::int64_t nDeadline = nBegin + 20 * 60 * 1000;
        std::int64_t nNextCount = 0;
        while (MonotonicMs() < nDeadline) {
            nMostThreads = std::max(nMostThreads, server.Read().nThreads);
            nDrops = std::max(nDrops, UdpDrops(server.Port()));
            if (MonotonicMs() >= nNextCount) {
                nStored = CountFiles(server.Store(), ".mp4");
                if (nStored >= nExpected)
                    break;
                nNextCount = MonotonicMs() + 200;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        for (std::size_t i = 0; i < sim.Count(); ++i)
            for (const SimRecordingStats& stats : sim.Recorder(i).Stats())
                nRepeated += stats.nCompleted > 1 ? stats.nCompleted - 1 : 0;
    }
    double dSeconds = static_cast<double>(MonotonicMs() - nBegin) / 1000.0;
    CServerProcess::Figures figures = server.Read();
    nDrops = std::max(nDrops, UdpDrops(server.Port()));
    server.Stop();
    const fs::path log = server.Dir() / "log.txt";

    std::printf("config: %d vehicles x %d channels x %d recordings x %u bytes, maxtransfers %u, keepalive %d ms\n",
                config.nVehicles, config.nChannels, config.nFiles, config.nSize, config.nMaxTransfers,
                config.nKeepAliveMs);
    std::printf("control socket drops: %lld\n", nDrops);
    std::printf("reply time-outs: %zu\n", CountLines(log, "wait for response"));
    std::printf("repeated transfers: %llu (\"already exsit\" logged %zu times)\n",
                static_cast<unsigned long long>(nRepeated), CountLines(log, "already exsit"));
    std::printf("stored: %zu of %zu\n", nStored, nExpected);
    std::printf("wall time: %.1f s\n", dSeconds);
    std::printf("server: most threads %d, peak resident memory %.1f MiB, CPU %.1f s\n", nMostThreads,
                static_cast<double>(figures.nPeakRssKiB) / 1024.0, figures.dCpuSeconds);
    return nStored == nExpected ? 0 : 1;
}
