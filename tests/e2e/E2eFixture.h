#pragma once

#include "core/NotifyCenter.h"
#include "depot/FleetHistory.h"
#include "platform/Socket.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "settings/DepotSettings.h"
#include "settings/RecordIndex.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "shell/ServerControl.h"
#include "store/LocalStore.h"
#include "support/Descriptors.h"
#include "support/ListenPorts.h"
#include "support/LogFile.h"
#include "support/Sandbox.h"
#include "support/WaitFor.h"
#include "tools/dvrsim/DvrSimulator.h"
#include "vehicles/VehicleMgr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline constexpr std::uint32_t kT0 = 1700000000;  // start of the simulated recordings

// The thread sanitizer starts a thread of its own at some point of the run.
#ifndef __has_feature
#define __has_feature(x) 0
#endif
inline constexpr std::size_t kSanitizerThreads = __has_feature(thread_sanitizer) ? 1 : 0;

// A non-loopback IPv4 address of this machine, "" when it has none.
inline std::string NonLoopbackAddress()
{
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0)
        return {};
    std::string found;
    for (ifaddrs* p = pList; p != nullptr && found.empty(); p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET)
            continue;
        char szIp[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr, szIp, sizeof(szIp));
        if (!IsLoopbackIpv4(szIp))
            found = szIp;
    }
    ::freeifaddrs(pList);
    return found;
}

// The server engine in this process (the same code both programs run) against the
// recorder simulator on loopback, with short timings.
class E2eFixture : public Sandbox {
protected:
    void SetUp() override
    {
        Sandbox::SetUp();
        ZelTiming& timing = Timing();
        timing.nReplyWaitMs = 3000;
        timing.nPendingReplyWaitMs = 1000;
        timing.nAcceptWindowMs = 3000;
        timing.nHeaderWaitMs = 3000;
        timing.nReceiveSilenceMs = 3000;
        timing.nNoAnswerRetryMs = 100;
        timing.nRefusedRetryMs = 300;
        timing.nUdpIdleWaitMs = 500;
        timing.nTimerPeriodMs = 100;  // the registry's tick, on the server's runner
        m_nPort = CSocket::CreateUdp(nullptr, 0).LocalPort();
        SpreadListenPorts();
        Control().SetClock(
            [this] { return static_cast<std::uint32_t>(std::time(nullptr)) + m_nClockOffset.load(); });
        CNotifyCenter::Instance();  // its thread lives for the whole process
        Control().History().Open();  // open until the test is over
        m_nBaselineThreads = ThreadCount();
    }

    void TearDown() override
    {
        m_pSim.reset();
        Control().Stop();
        Sandbox::TearDown();
    }

    // Names of this process's threads, for a failure message.
    static std::string ThreadNames()
    {
        std::string names;
        for (auto& entry : fs::directory_iterator("/proc/self/task")) {
            std::string name = ReadFile(entry.path() / "comm");
            names += name.substr(0, name.find('\n')) + " ";
        }
        return names;
    }

    // Writes the settings the next Start reads.
    void Configure(std::uint32_t nFileType = 0, bool bComponentMode = false)
    {
        ServerSettings settings = DefaultSettings();
        settings.nPort = m_nPort;
        std::strcpy(settings.szDownDir, "store");
        settings.tStart = kT0 - 60;
        settings.tStop = kT0 + 86400;
        settings.nFileType = nFileType;
        settings.bComponentMode = bComponentMode ? 1 : 0;
        SaveSettings(settings, Settings());
    }

    // Writes the depot keys the next Start reads.
    void ConfigureDepot(const DepotSettings& depot) { SaveDepotSettings(depot, Settings()); }

    void StartServer() { ASSERT_EQ(Control().Start(), 0); }

    SimOptions Options(std::vector<std::string> names, int nChannels, int nRecordings, std::uint32_t nBytes)
    {
        SimOptions options;
        options.nServerPort = m_nPort;
        options.vecNames = std::move(names);
        options.nChannels = nChannels;
        options.nRecordings = nRecordings;
        options.nRecBytes = nBytes;
        options.nRecSeconds = 300;
        options.tStart = kT0;
        options.nKeepAliveMs = 300;
        options.nVerbosity = 0;
        return options;
    }

    void StartSim(const SimOptions& options)
    {
        m_pSim = std::make_unique<CDvrSimulator>(options);
        ASSERT_EQ(m_pSim->Start(), 0);
    }

    fs::path FinalPath(const std::string& vehicle, const SimRecording& rec) const
    {
        return Dir() / "store" / vehicle / DateDirName(rec.tStart) / ChannelDirName(rec.nChannel) /
               FinalFileName(rec.nChannel, rec.tStart, rec.tEnd);
    }

    // Waits until every recording of every simulated vehicle is stored; then checks
    // each stored byte against the simulator's content.
    bool WaitAllStored(std::chrono::milliseconds timeout)
    {
        return WaitFor(
            [this] {
                bool bAll = true;
                for (std::size_t i = 0; i < m_pSim->Count() && bAll; ++i) {
                    const CSimRecorder& recorder = m_pSim->Recorder(i);
                    for (const SimRecording& rec : recorder.Recordings().All())
                        bAll = bAll && fs::exists(FinalPath(recorder.Name(), rec));
                }
                return bAll;
            },
            timeout);
    }

    // The stored file of rec is whole and holds the simulator's content.
    void ExpectIdentical(const std::string& vehicle, const SimRecording& rec)
    {
        const fs::path path = FinalPath(vehicle, rec);
        std::string data = ReadFile(path);
        ASSERT_EQ(data.size(), rec.nSize) << path;
        EXPECT_EQ(CSimRecordings::FirstMismatch(rec.nSeed, 0, reinterpret_cast<const unsigned char*>(data.data()),
                                                data.size()),
                  -1)
            << path;
    }

    void ExpectAllByteIdentical()
    {
        for (std::size_t i = 0; i < m_pSim->Count(); ++i)
            for (const SimRecording& rec : m_pSim->Recorder(i).Recordings().All())
                ExpectIdentical(m_pSim->Recorder(i).Name(), rec);
    }

    // Where each "downloaded over" line of rec stands among all such lines of the log.
    static std::vector<int> Arrivals(const std::string& vehicle, const SimRecording& rec)
    {
        const std::string stored = "file " + FinalFileName(rec.nChannel, rec.tStart, rec.tEnd) + " of channel " +
                                   std::to_string(rec.nChannel) + " of " + vehicle + " is downloaded over!";
        std::vector<int> at;
        int nIndex = 0;
        for (const std::string& message : ReadLogMessages()) {
            if (message.find(" is downloaded over!") == std::string::npos)
                continue;
            if (message == stored)
                at.push_back(nIndex);
            ++nIndex;
        }
        return at;
    }
    // The first of them; -1 when rec never arrived.
    static int ArrivalIndex(const std::string& vehicle, const SimRecording& rec)
    {
        const std::vector<int> at = Arrivals(vehicle, rec);
        return at.empty() ? -1 : at.front();
    }

    std::vector<fs::path> FilesWithExtension(const std::string& ext) const
    {
        std::vector<fs::path> found;
        if (!fs::exists(Dir() / "store"))
            return found;
        for (auto& entry : fs::recursive_directory_iterator(Dir() / "store")) {
            if (entry.is_regular_file() && entry.path().extension() == ext)
                found.push_back(entry.path());
        }
        return found;
    }

    std::uint16_t m_nPort = 0;
    std::atomic<std::uint32_t> m_nClockOffset {0};
    std::size_t m_nBaselineThreads = 0;
    std::unique_ptr<CDvrSimulator> m_pSim;
};

