#include "platform/System.h"
#include "tools/dvrsim/DvrSimulator.h"

#include <chrono>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t g_nSignal = 0;

void OnSignal(int nSignal)
{
    g_nSignal = nSignal;
}

// "HH:MM:SS.mmm " of the local time, for event lines.
std::string Stamp()
{
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tmLocal {};
    localtime_r(&t, &tmLocal);
    long nMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%02d:%02d:%02d.%03ld ", tmLocal.tm_hour, tmLocal.tm_min, tmLocal.tm_sec, nMs);
    return sz;
}

} // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    std::string strMessage;
    int nParsed = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &strMessage);
    if (nParsed == 1) {
        std::fputs(strMessage.c_str(), stdout);
        return 0;
    }
    if (nParsed != 0) {
        std::fprintf(stderr, "dvrsim: %s\n", strMessage.c_str());
        return 2;
    }

    IgnoreSigPipe();
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    // The recorders' threads inherit a mask without the stop signals, so that only
    // this thread is interrupted by them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CDvrSimulator simulator(options);
    simulator.SetLineSink([](const std::string& strLine) {
        std::printf("%s%s\n", Stamp().c_str(), strLine.c_str());
        std::fflush(stdout);
    });
    if (simulator.Start() != 0) {
        std::fprintf(stderr, "dvrsim: the recorders could not open their sockets\n");
        return 1;
    }
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    std::printf("%sdvrsim: %zu vehicles x %d channels x %d recordings of %u bytes, server %s:%u\n", Stamp().c_str(),
                simulator.Count(), options.nChannels, options.nRecordings, options.nRecBytes,
                options.strServerIp.c_str(), options.nServerPort);
    if (options.dLossPercent > 0)
        std::printf("%sdvrsim: losing %g%% of the datagrams each way, seed %llu\n", Stamp().c_str(),
                    options.dLossPercent, static_cast<unsigned long long>(options.nLossSeed));
    std::fflush(stdout);

    std::int64_t nEndMs = options.nDurationS > 0 ? MonotonicMs() + std::int64_t(options.nDurationS) * 1000 : -1;
    while (g_nSignal == 0 && (nEndMs < 0 || MonotonicMs() < nEndMs))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    simulator.Stop();
    std::printf("%s%s\n", Stamp().c_str(), simulator.Summary().c_str());
    return 0;
}
