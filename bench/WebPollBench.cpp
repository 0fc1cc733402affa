// The dashboard under load: an online fleet, many clients polling the vehicle list
// over kept-alive connections, and what that costs the downloads.
//
//   WebPollBench [--fleet N] [--pollers N] [--period-ms N] [--seconds N]
//                [--vehicles N] [--channels N] [--files N] [--size BYTES] [--gzip 0|1]
//
// The server runs as its own process (zeldownloadd from the build directory); the
// recorder simulators and the pollers run in this process. Printed: requests per
// second with p50/p99 latency of the pollers alone, the download throughput of a file
// workload (as ThroughputBench's, smaller by default) without pollers and with them,
// and the pollers' figures during that second download.

#include "bench/support/BenchOptions.h"
#include "bench/support/HttpPollers.h"
#include "bench/support/ServerProcess.h"
#include "platform/System.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "tools/dvrsim/DvrSimulator.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>


namespace {

struct Config {
    int nFleet = 1000;        // online vehicles with nothing to download
    int nPollers = 200;       // client threads, one kept-alive connection each
    int nPeriodMs = 100;      // each poller asks this often (200 x 10/s = 2000/s)
    bool bGzip = true;        // pollers take gzip, as browsers do
    int nSeconds = 10;        // poll phase length
    int nVehicles = 2;        // the file workload
    int nChannels = 2;
    int nFiles = 4;
    std::uint64_t nSize = 64ull << 20;
};

constexpr std::uint32_t kT0 = 1700000000;

// Runs the file workload with vehicles named prefix...; MB/s until every file is stored.
double DownloadRun(const Config& config, const CServerProcess& server, const std::string& prefix)
{
    SimOptions options;
    options.nServerPort = server.Port();
    options.nVehicles = config.nVehicles;
    options.strNamePrefix = prefix;
    options.nChannels = config.nChannels;
    options.nRecordings = config.nFiles;
    options.nRecBytes = static_cast<std::uint32_t>(config.nSize);
    options.nRecSeconds = 60;
    options.tStart = kT0;
    options.nKeepAliveMs = 1000;
    options.nVerbosity = 0;
    const std::size_t nTotal = static_cast<std::size_t>(config.nVehicles) * config.nChannels * config.nFiles;
    std::size_t nBefore = CountFiles(server.Store(), ".mp4");
    std::int64_t nBegin = MonotonicMs();
    CDvrSimulator sim(options);
    if (sim.Start() != 0)
        return 0;
    while (CountFiles(server.Store(), ".mp4") < nBefore + nTotal) {
        if (MonotonicMs() - nBegin > 30 * 60 * 1000)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    double dSeconds = static_cast<double>(MonotonicMs() - nBegin) / 1000.0;
    return static_cast<double>(nTotal * config.nSize) / 1e6 / dSeconds;
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    CBenchOptions args;
    args.Add("--fleet", &config.nFleet).Add("--pollers", &config.nPollers).Add("--period-ms", &config.nPeriodMs);
    args.Add("--seconds", &config.nSeconds).Add("--vehicles", &config.nVehicles).Add("--channels", &config.nChannels);
    args.Add("--files", &config.nFiles).Add("--size", &config.nSize, "BYTES").Add("--gzip", &config.bGzip, "0|1");
    if (!args.Parse(argc, argv))
        return 2;
    if (config.nSize == 0 || config.nSize > 0xFFFFFFFFull) {
        std::fprintf(stderr, "--size must be 1 to 4294967295 bytes\n");
        return 2;
    }
    IgnoreSigPipe();

    ServerSettings settings = DefaultSettings();
    settings.tStart = kT0;
    settings.tStop = kT0 + 86400 * 30;
    DepotSettings depot;
    depot.nMaxVehicles = 0;  // no limit: the fleet and the workload together pass 1000
    CServerProcess server(settings, depot);
    const std::uint16_t nWebPort = CSocket::ListenTcp("127.0.0.1", 0).LocalPort();
    CSettingsFile file((server.Dir() / "QorConfig.xml").string());
    file.WriteValue("httpport", std::to_string(nWebPort));
    // Every poller comes from 127.0.0.1: past the per-address bound they would be refused.
    file.WriteValue("httpmaxperclient", std::to_string(config.nPollers + 8));
    if (!server.Start()) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }

    // The fleet: online, keeping alive, nothing to download.
    SimOptions fleetOptions;
    fleetOptions.nServerPort = server.Port();
    fleetOptions.nVehicles = config.nFleet;
    fleetOptions.strNamePrefix = "FLEET";
    fleetOptions.nChannels = 1;
    fleetOptions.nRecordings = 0;
    fleetOptions.tStart = kT0;
    fleetOptions.nKeepAliveMs = 5000;
    fleetOptions.nVerbosity = 0;
    CDvrSimulator fleet(fleetOptions);
    if (config.nFleet > 0 && fleet.Start() != 0) {
        std::fprintf(stderr, "the fleet simulator could not start\n");
        return 1;
    }
    httplib::Client probe("127.0.0.1", nWebPort);
    std::int64_t nDeadline = MonotonicMs() + 120000;
    std::size_t nOnline = 0;
    while (MonotonicMs() < nDeadline) {
        auto res = probe.Get("/api/v1/vehicles");
        if (res && res->status == 200 &&
            (nOnline = nlohmann::json::parse(res->body).size()) >= static_cast<std::size_t>(config.nFleet))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    auto sample = probe.Get("/api/v1/vehicles");
    std::printf("config: fleet %d online (%zu seen), %d pollers every %d ms for %d s; workload %d vehicles x %d "
                "channels x %d files x %llu bytes\n",
                config.nFleet, nOnline, config.nPollers, config.nPeriodMs, config.nSeconds, config.nVehicles,
                config.nChannels, config.nFiles, static_cast<unsigned long long>(config.nSize));
    auto packed = probe.Get("/api/v1/vehicles", httplib::Headers {{"Accept-Encoding", "gzip"}});
    std::printf("one /api/v1/vehicles answer: %zu bytes, %s gzip; pollers ask for %s\n",
                sample ? sample->body.size() : 0,
                packed ? packed->get_header_value("Content-Length").c_str() : "?",
                config.bGzip ? "gzip" : "plain JSON");

    // As a browser asks (the client inflates the answer).
    const httplib::Headers headers {{"Accept-Encoding", config.bGzip ? "gzip" : "identity"}};
    {
        // The server's own cost of the polling: its CPU time over the phase (the
        // pollers and the simulators run in this process, on the same cores), beside
        // the same time with the fleet online and nobody polling.
        double dCpuBefore = server.Read().dCpuSeconds;
        std::this_thread::sleep_for(std::chrono::seconds(config.nSeconds));
        std::printf("server CPU with the fleet online, unpolled: %.2f s in %d s\n",
                    server.Read().dCpuSeconds - dCpuBefore, config.nSeconds);
        dCpuBefore = server.Read().dCpuSeconds;
        const std::int64_t nBegin = MonotonicMs();
        CHttpPollers pollers(nWebPort, config.nPollers, config.nPeriodMs, "/api/v1/vehicles", headers);
        std::this_thread::sleep_for(std::chrono::seconds(config.nSeconds));
        CHttpPollers::Print("pollers alone", pollers.Take());
        const double dCpu = server.Read().dCpuSeconds - dCpuBefore;
        const double dWall = static_cast<double>(MonotonicMs() - nBegin) / 1000.0;
        std::printf("server CPU while polled: %.2f s in %.1f s (%.0f%% of one core)\n", dCpu, dWall,
                    100.0 * dCpu / dWall);
    }
    const double dAlone = DownloadRun(config, server, "QUIET");
    double dBusy = 0;
    {
        CHttpPollers pollers(nWebPort, config.nPollers, config.nPeriodMs, "/api/v1/vehicles", headers);
        dBusy = DownloadRun(config, server, "BUSY");
        CHttpPollers::Print("pollers during the download", pollers.Take());
    }
    std::printf("download without pollers: %.1f MB/s\n", dAlone);
    std::printf("download with pollers:    %.1f MB/s (%+.1f%%)\n", dBusy,
                dAlone > 0 ? (dBusy / dAlone - 1.0) * 100.0 : 0.0);
    CServerProcess::Figures figures = server.Read();
    std::printf("server: %.1f CPU s, peak resident memory %.1f MiB, %d threads\n", figures.dCpuSeconds,
                static_cast<double>(figures.nPeakRssKiB) / 1024.0, figures.nThreads);
    return dAlone > 0 && dBusy > 0 ? 0 : 1;
}
