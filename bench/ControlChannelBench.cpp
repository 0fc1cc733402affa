// Control channel figures on loopback:
//  1. registrations plus keepalives handled per second from many senders;
//  2. round-trip time of SendCmdWithReply while 200 requesters run at once.
//
//   ControlChannelBench [--senders N] [--seconds S] [--requesters N]

#include "core/NotifyCenter.h"
#include "depot/FleetHistory.h"
#include "server/DepotServer.h"
#include "web/LogRing.h"
#include "control/ByteOrder.h"
#include "control/ControlMessage.h"
#include "control/UDPSrv.h"
#include "platform/Socket.h"
#include "platform/System.h"
#include "platform/Timing.h"
#include "vehicles/ControlRouter.h"
#include "vehicles/Vehicle.h"
#include "vehicles/VehicleMgr.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<unsigned char> Datagram(std::uint8_t nCommand, const std::string& name, std::uint32_t nId)
{
    std::size_t nLen = nCommand == ZELP_REGISTER ? kRegisterMinSize : kKeepAliveMinSize;
    std::size_t nOffset = nCommand == ZELP_REGISTER ? kRegisterNameOffset : kKeepAliveNameOffset;
    std::vector<unsigned char> datagram(nLen, 0);
    ControlHeader header;
    header.command = nCommand;
    header.transactionId = nId;
    header.payloadLength = static_cast<std::uint32_t>(nLen - kControlHeaderSize);
    EncodeHeader(header, datagram.data());
    std::memcpy(datagram.data() + nOffset, name.data(), std::min<std::size_t>(name.size(), 31));
    if (nCommand == ZELP_REGISTER)
        datagram[kRegisterChannelsOffset] = 4;
    return datagram;
}

// Each sender registers once, then sends keepalives back to back, each after the
// previous reply (a window of one), for nSeconds. Replies handled per second.
double RegistrationsAndKeepalives(std::uint16_t nPort, int nSenders, int nSeconds)
{
    std::atomic<std::uint64_t> nReplies {0};
    std::atomic<bool> bRun {true};
    std::vector<std::thread> senders;
    for (int i = 0; i < nSenders; ++i) {
        senders.emplace_back([&, i] {
            CSocket sock = CSocket::CreateUdp("127.0.0.1", 0);
            std::string name = "LOAD-" + std::to_string(i);
            unsigned char reply[64];
            std::uint32_t nId = 1;
            auto request = Datagram(ZELP_REGISTER, name, nId);
            while (bRun) {
                // A request that cannot go out counts as one without a reply.
                (void)sock.SendTo("127.0.0.1", nPort, request.data(), request.size());
                if (sock.WaitReadable(1000) == 1 && sock.RecvFrom(reply, sizeof(reply), nullptr, nullptr) == 20)
                    ++nReplies;
                request = Datagram(ZELP_KEEPALIVE, name, ++nId);
            }
        });
    }
    std::int64_t nStart = MonotonicMs();
    std::this_thread::sleep_for(std::chrono::seconds(nSeconds));
    bRun = false;
    for (auto& sender : senders)
        sender.join();
    return static_cast<double>(nReplies) * 1000.0 / static_cast<double>(MonotonicMs() - nStart);
}

// A recorder that answers every file count query at once.
void Responder(CSocket& sock, std::atomic<bool>& bRun)
{
    unsigned char buf[kMaxDatagramSize];
    std::string ip;
    std::uint16_t nPort = 0;
    while (bRun) {
        if (sock.WaitReadable(100) != 1)
            continue;
        ssize_t n = sock.RecvFrom(buf, sizeof(buf), &ip, &nPort);
        if (n < static_cast<ssize_t>(kControlHeaderSize))
            continue;
        unsigned char reply[kControlHeaderSize + kFileCountRecordSize] = {};
        std::memcpy(reply, buf, kControlHeaderSize);
        reply[4] = 1;
        WriteBe16(reply + 6, kStatusOk);
        EncodeFileCountRecord(FileCountRecord {7}, reply + kControlHeaderSize);
        // A reply that cannot go out shows as the requester's time-out, which is counted.
        (void)sock.SendTo(ip.c_str(), nPort, reply, sizeof(reply));
    }
}

} // namespace

int main(int argc, char** argv)
{
    int nSenders = 64;
    int nSeconds = 3;
    int nRequesters = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        int nValue = std::atoi(argv[i + 1]);
        if (option == "--senders")
            nSenders = nValue;
        else if (option == "--seconds")
            nSeconds = nValue;
        else if (option == "--requesters")
            nRequesters = nValue;
        else {
            std::fprintf(stderr, "usage: %s [--senders N] [--seconds S] [--requesters N]\n", argv[0]);
            return 2;
        }
    }
    // The program logs into its working directory: keep that out of the way.
    std::string tmpl = (std::filesystem::temp_directory_path() / "zelbench-XXXXXX").string();
    std::filesystem::path dir = ::mkdtemp(tmpl.data());
    std::filesystem::current_path(dir);

    Timing().nReplyWaitMs = 2000;  // a lost datagram costs 2 s, not 20
    auto pConfig = std::make_shared<ServerConfig>(*DefaultServerConfig());
    pConfig->settings.nPort = 0;
    CFleetHistory history((dir / "fleet.db").string());
    CDepotServer depot(CDepotServer::Setup {.pConfig = pConfig},
                       CNotifyCenter::Instance(), history, CLogRing::Instance());
    depot.Registry().SetTaskFunction({});  // measure the channel, not downloads
    if (depot.BindControl() != 0) {
        std::fprintf(stderr, "cannot bind the control port\n");
        return 1;
    }
    CUDPSrv& server = depot.Control();

    double dRate = RegistrationsAndKeepalives(server.LocalPort(), nSenders, nSeconds);
    std::printf("registrations+keepalives: %.0f handled/s from %d senders\n", dRate, nSenders);

    CSocket recorder = CSocket::CreateUdp("127.0.0.1", 0);
    std::atomic<bool> bRun {true};
    std::thread responder([&] { Responder(recorder, bRun); });
    VehicleInfo info;
    std::strcpy(info.szIP, "127.0.0.1");
    info.nPort = recorder.LocalPort();
    info.nChannels = 4;
    std::strcpy(info.szName, "RTT");
    CVehicle vehicle(info, 0, {}, depot.Parts());
    std::vector<std::vector<double>> samples(static_cast<std::size_t>(nRequesters));
    std::atomic<int> nFailed {0};
    std::vector<std::thread> requesters;
    std::int64_t nStart = MonotonicMs();
    for (int i = 0; i < nRequesters; ++i) {
        requesters.emplace_back([&, i] {
            auto nDeadline = MonotonicMs() + nSeconds * 1000;
            while (MonotonicMs() < nDeadline) {
                FileCountRecord count;
                auto t0 = std::chrono::steady_clock::now();
                if (vehicle.SendQueryFileCountCmd(1, 0xFF, 0, 100, &count) != 0)
                    ++nFailed;
                auto t1 = std::chrono::steady_clock::now();
                samples[static_cast<std::size_t>(i)].push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            }
        });
    }
    for (auto& requester : requesters)
        requester.join();
    double dElapsed = static_cast<double>(MonotonicMs() - nStart) / 1000.0;
    bRun = false;
    responder.join();
    server.Stop();

    std::vector<double> all;
    for (auto& list : samples)
        all.insert(all.end(), list.begin(), list.end());
    std::sort(all.begin(), all.end());
    auto Percentile = [&](double p) { return all.empty() ? 0.0 : all[static_cast<std::size_t>(p * (all.size() - 1))]; };
    std::printf("SendCmdWithReply with %d concurrent requesters: %zu round trips in %.1f s (%.0f/s), %d failed\n",
                nRequesters, all.size(), dElapsed, static_cast<double>(all.size()) / dElapsed, nFailed.load());
    std::printf("round trip: median %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us\n", Percentile(0.5),
                Percentile(0.9), Percentile(0.99), all.empty() ? 0.0 : all.back());
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
    return 0;
}
