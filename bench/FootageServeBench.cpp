// Serving footage while the depot downloads: clients range-reading catalogued
// recordings over kept-alive HTTP while a fleet downloads and the dashboard is polled.
//
//   FootageServeBench [--files N] [--file-mib N] [--clients N] [--min-mib N] [--max-mib N]
//                     [--pollers N] [--period-ms N] [--seconds N] [--alone-seconds N]
//                     [--vehicles N] [--channels N] [--rec-mib N] [--loopback-seconds N]
//                     [--serve-limit-mbs N]
//
// The recordings are written into the download tree before the server starts, so that
// the catalogue's start-up walk adds them (and the hasher digests them: the phases wait
// for that). Their bytes are read once with cat, then timed with cat; beside that, the
// same kind of ranges go through loopback TCP from a plain sendfile sender to a plain
// reader, --loopback-seconds each with one connection and with one per client (0 skips
// it): what any server on this machine can reach. --serve-limit-mbs sets the server's
// footagemaxmbs (0, the default, sets no limit). The server runs as
// its own process; the simulator, the pollers and the clients run in this one. Phases,
// each a window of --seconds with the pollers asking for /api/v1/status throughout:
//   1. the fleet downloads alone;
//   2. the clients read alone (--alone-seconds, 0 skips it);
//   3. a fleet of the same make downloads while the clients read.
// Download progress counts the bytes of finished and partial files of the phase's
// vehicles; they are removed after the phase, outside the windows (removing them during
// one would stall the server's syncs on the file system's journal). Printed: MB/s (10^6
// bytes) of each, the pollers' latencies, and the figures beside their aims.

#include "bench/support/BenchOptions.h"
#include "bench/support/HttpPollers.h"
#include "bench/support/ServerProcess.h"
#include "platform/Socket.h"
#include "platform/System.h"
#include "settings/DepotSettings.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "store/LocalStore.h"
#include "tools/dvrsim/DvrSimulator.h"
#include "tools/dvrsim/SimRecordings.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <string>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Config {
    unsigned nFiles = 8;          // recordings served
    unsigned nFileMiB = 1024;     // size of each
    int nClients = 8;             // range readers, one kept-alive connection each
    unsigned nMinMiB = 1;         // range lengths, uniform in [min, max] MiB
    unsigned nMaxMiB = 8;
    int nPollers = 200;           // /api/v1/status pollers
    int nPeriodMs = 1000;
    int nSeconds = 20;            // the download phases
    int nAloneSeconds = 10;       // the clients alone
    int nVehicles = 10;           // the downloading fleet
    int nChannels = 1;
    unsigned nRecMiB = 32;        // its recordings
    int nLoopbackSeconds = 3;     // the loopback TCP rate, each of its two runs
    unsigned nServeLimitMBs = 0;  // the server's footagemaxmbs
};

constexpr std::uint32_t kT0 = 1700000000;
constexpr const char* kServeVehicle = "FOOTAGE";
constexpr std::uint32_t kRecSeconds = 600;

double Seconds(std::int64_t nStartMs)
{
    return static_cast<double>(std::max<std::int64_t>(1, MonotonicMs() - nStartMs)) / 1000.0;
}

// One served recording as the list gives it.
struct Recording {
    std::string strContent;  // path and query of its bytes (ticket included)
    std::uint64_t nSize = 0;
    std::uint64_t nSeed = 0; // its content, see CSimRecordings
};

// Writes recording i of the served vehicle into the download tree under storeRoot (not
// synced: see SyncStore). Its path, or "" on failure.
std::string WriteRecording(const fs::path& storeRoot, unsigned i, std::uint64_t nSize)
{
    const std::uint32_t tStart = kT0 + i * kRecSeconds;
    const std::string dir = ChannelDirPath(storeRoot.string(), kServeVehicle, tStart, 1);
    if (!MakeDirectories(dir))
        return {};
    const std::string path = dir + "/" + FinalFileName(1, tStart, tStart + kRecSeconds);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return {};
    const std::uint64_t nSeed = CSimRecordings::Seed(kServeVehicle, 1, i);
    std::vector<unsigned char> buf(4 << 20);
    bool bOk = true;
    for (std::uint64_t nOff = 0; bOk && nOff < nSize; nOff += buf.size()) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), nSize - nOff));
        CSimRecordings::Fill(nSeed, nOff, buf.data(), n);
        bOk = ::write(fd, buf.data(), n) == static_cast<ssize_t>(n);
    }
    ::close(fd);
    return bOk ? path : std::string();
}

// Commits what was written under dir to the disk, so that writing it back does not
// weigh on a phase.
void SyncStore(const fs::path& dir)
{
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        if (::syncfs(fd) != 0)
            std::perror("syncfs");
        ::close(fd);
    }
}

// `cat` of the files to /dev/null, nProcesses at once, process k reading file k % n
// (one process reads them all in turn); MB/s, 0 when one failed.
double CatRate(const std::vector<std::string>& paths, int nProcesses)
{
    std::string command;
    std::uint64_t nBytes = 0;
    if (nProcesses <= 1) {
        command = "cat";
        for (const std::string& path : paths) {
            command += " '" + path + "'";
            nBytes += fs::file_size(path);
        }
        command += " > /dev/null";
    } else {
        std::string waits;
        for (int k = 0; k < nProcesses; ++k) {
            const std::string& path = paths[static_cast<std::size_t>(k) % paths.size()];
            command += "cat '" + path + "' > /dev/null & p" + std::to_string(k) + "=$!; ";
            waits += "wait $p" + std::to_string(k) + " || fail=1; ";
            nBytes += fs::file_size(path);
        }
        command += "fail=0; " + waits + "exit $fail";
    }
    const std::int64_t nStart = MonotonicMs();
    if (std::system(command.c_str()) != 0)
        return 0;
    return static_cast<double>(nBytes) / 1e6 / Seconds(nStart);
}

// Random ranges as the clients ask for them (nSeed picks the sequence).
class CRangePicker {
public:
    CRangePicker(unsigned nSeed, std::uint64_t nMin, std::uint64_t nMax) : m_random(nSeed), m_nMin(nMin), m_nMax(nMax) {}
    // A range of one of nFiles files of nSize bytes: the file's index, offset and length.
    void Next(std::size_t nFiles, std::uint64_t nSize, std::size_t* pFile, std::uint64_t* pOffset,
              std::uint64_t* pLength)
    {
        *pFile = static_cast<std::size_t>(m_random() % nFiles);
        *pLength = std::min(nSize, m_nMin + m_random() % (m_nMax - m_nMin + 1));
        *pOffset = m_random() % (nSize - *pLength + 1);
    }

private:
    std::mt19937_64 m_random;
    const std::uint64_t m_nMin, m_nMax;
};

// What loopback TCP carries with nothing but moving the bytes: nPairs connections,
// each fed ranges of the files (as the clients ask for them) by a sender that
// sendfiles them from the page cache into a blocking socket, and drained by a reader
// that receives into a buffer and drops it. MB/s over nSeconds, 0 when it could not
// be set up.
double LoopbackRate(const std::vector<std::string>& paths, std::uint64_t nFileBytes, const Config& config,
                    int nPairs, int nSeconds)
{
    CSocket listener = CSocket::ListenTcp("127.0.0.1", 0, nPairs);
    if (!listener.IsValid())
        return 0;
    std::vector<CSocket> readers, senders;
    for (int i = 0; i < nPairs; ++i) {
        readers.push_back(CSocket::ConnectTcp("127.0.0.1", listener.LocalPort(), 5000));
        senders.push_back(listener.Accept());
        if (!readers.back().IsValid() || !senders.back().IsValid())
            return 0;
    }
    std::vector<int> files;
    for (const std::string& path : paths)
        files.push_back(::open(path.c_str(), O_RDONLY));
    std::atomic<bool> bStop {false};
    std::atomic<std::uint64_t> nBytes {0};
    std::vector<std::thread> threads;
    for (int i = 0; i < nPairs; ++i) {
        threads.emplace_back([&, i] {
            CRangePicker picker(static_cast<unsigned>(i) + 1, std::uint64_t {config.nMinMiB} << 20,
                                std::uint64_t {config.nMaxMiB} << 20);
            const int fdOut = senders[static_cast<std::size_t>(i)].Fd();
            while (!bStop) {
                std::size_t nFile = 0;
                std::uint64_t nOffset = 0, nLength = 0;
                picker.Next(files.size(), nFileBytes, &nFile, &nOffset, &nLength);
                auto nAt = static_cast<off_t>(nOffset);
                for (std::uint64_t nLeft = nLength; nLeft > 0 && !bStop;) {
                    const ssize_t n = ::sendfile(fdOut, files[nFile], &nAt, static_cast<std::size_t>(nLeft));
                    if (n <= 0)
                        return;
                    nLeft -= static_cast<std::uint64_t>(n);
                }
            }
        });
        threads.emplace_back([&, i] {
            std::vector<unsigned char> buf(1 << 20);
            CSocket& sock = readers[static_cast<std::size_t>(i)];
            for (;;) {
                const ssize_t n = sock.Recv(buf.data(), buf.size());
                if (n <= 0)
                    return;
                nBytes += static_cast<std::uint64_t>(n);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // under way
    const std::uint64_t nBefore = nBytes.load();
    const std::int64_t nStart = MonotonicMs();
    std::this_thread::sleep_for(std::chrono::seconds(nSeconds));
    const double dRate = static_cast<double>(nBytes.load() - nBefore) / 1e6 / Seconds(nStart);
    bStop = true;
    for (int i = 0; i < nPairs; ++i) {  // wakes both ends of every pair
        ::shutdown(senders[static_cast<std::size_t>(i)].Fd(), SHUT_RDWR);
        ::shutdown(readers[static_cast<std::size_t>(i)].Fd(), SHUT_RDWR);
    }
    for (std::thread& thread : threads)
        thread.join();
    bool bOpened = true;
    for (int fd : files) {
        bOpened = bOpened && fd >= 0;
        if (fd >= 0)
            ::close(fd);
    }
    return bOpened ? dRate : 0;
}

// Clients reading random ranges of the recordings over kept-alive HTTP/1.1, each into
// a buffer it drops after checking the first and last bytes of every range against
// the recording's content.
class CRangeReaders {
public:
    CRangeReaders(std::uint16_t nPort, const std::vector<Recording>& recordings, const Config& config)
        : m_nPort(nPort), m_recordings(recordings), m_nMin(std::uint64_t {config.nMinMiB} << 20),
          m_nMax(std::uint64_t {config.nMaxMiB} << 20)
    {
        for (int i = 0; i < config.nClients; ++i)
            m_threads.emplace_back([this, i] { x_Run(static_cast<unsigned>(i) + 1); });
    }
    ~CRangeReaders() { Stop(); }

    void Stop()
    {
        m_bStop = true;
        for (std::thread& thread : m_threads)
            thread.join();
        m_threads.clear();
    }
    std::uint64_t Bytes() const { return m_nBytes.load(); }
    std::uint64_t Ranges() const { return m_nRanges.load(); }
    std::uint64_t Failed() const { return m_nFailed.load(); }
    std::uint64_t Mismatched() const { return m_nMismatched.load(); }

private:
    static constexpr std::size_t kCheckBytes = 4096;

    // Reads until the head of an answer is in (the bytes after it stay in buf).
    static bool ReadHead(CSocket& sock, std::string& buf, std::string& head)
    {
        for (;;) {
            const std::size_t nEnd = buf.find("\r\n\r\n");
            if (nEnd != std::string::npos) {
                head = buf.substr(0, nEnd + 4);
                buf.erase(0, nEnd + 4);
                return true;
            }
            char chunk[4096];
            if (sock.WaitReadable(10000) <= 0)
                return false;
            const ssize_t n = sock.Recv(chunk, sizeof(chunk));
            if (n <= 0)
                return false;
            buf.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // The value of a header of head (names compared without case), "" when missing.
    static std::string HeaderOf(const std::string& head, const std::string& name)
    {
        std::string lower = head;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        const std::size_t nPos = lower.find("\r\n" + name + ":");
        if (nPos == std::string::npos)
            return {};
        const std::size_t nFrom = head.find_first_not_of(' ', nPos + 3 + name.size());
        return head.substr(nFrom, head.find("\r\n", nFrom) - nFrom);
    }

    // One range of one recording; false when the connection cannot go on.
    bool x_ReadRange(CSocket& sock, std::string& pending, std::vector<unsigned char>& body, CRangePicker& random,
                     bool* pClose)
    {
        std::size_t nRec = 0;
        std::uint64_t nOffset = 0, nLength = 0;
        random.Next(m_recordings.size(), m_recordings.front().nSize, &nRec, &nOffset, &nLength);
        const Recording& rec = m_recordings[nRec];
        const std::string request = "GET " + rec.strContent + " HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=" +
                                    std::to_string(nOffset) + "-" + std::to_string(nOffset + nLength - 1) +
                                    "\r\n\r\n";
        std::string head;
        if (!sock.SendAll(request.data(), request.size()) || !ReadHead(sock, pending, head))
            return false;
        const std::string expected = "bytes " + std::to_string(nOffset) + "-" +
                                     std::to_string(nOffset + nLength - 1) + "/" + std::to_string(rec.nSize);
        if (head.compare(0, 13, "HTTP/1.1 206 ") != 0 || HeaderOf(head, "content-length") != std::to_string(nLength) ||
            HeaderOf(head, "content-range") != expected)
            return false;
        *pClose = HeaderOf(head, "connection") == "close";
        // The first and last kCheckBytes of the range are kept for the check.
        const std::size_t nCheck = static_cast<std::size_t>(std::min<std::uint64_t>(kCheckBytes, nLength));
        unsigned char first[kCheckBytes], last[kCheckBytes];
        std::uint64_t nGot = 0;
        // Copies what of [nGot, nGot + n) falls in [nFrom, nFrom + nCheck) to pTo.
        auto keep = [&](unsigned char* pTo, std::uint64_t nFrom, const unsigned char* p, std::size_t n) {
            const std::uint64_t nA = std::max(nFrom, nGot), nB = std::min(nFrom + nCheck, nGot + n);
            if (nA < nB)
                std::memcpy(pTo + (nA - nFrom), p + (nA - nGot), static_cast<std::size_t>(nB - nA));
        };
        auto take = [&](const unsigned char* p, std::size_t n) {
            keep(first, 0, p, n);
            keep(last, nLength - nCheck, p, n);
            nGot += n;
            m_nBytes += n;
        };
        const std::size_t nAhead = static_cast<std::size_t>(std::min<std::uint64_t>(pending.size(), nLength));
        take(reinterpret_cast<const unsigned char*>(pending.data()), nAhead);
        pending.erase(0, nAhead);
        while (nGot < nLength) {
            if (sock.WaitReadable(10000) <= 0)
                return false;
            const ssize_t n = sock.Recv(body.data(), static_cast<std::size_t>(
                                                         std::min<std::uint64_t>(body.size(), nLength - nGot)));
            if (n <= 0)
                return false;
            take(body.data(), static_cast<std::size_t>(n));
        }
        if (CSimRecordings::FirstMismatch(rec.nSeed, nOffset, first, nCheck) >= 0 ||
            CSimRecordings::FirstMismatch(rec.nSeed, nOffset + nLength - nCheck, last, nCheck) >= 0)
            ++m_nMismatched;
        ++m_nRanges;
        return true;
    }

    void x_Run(unsigned nSeed)
    {
        CRangePicker random(nSeed, m_nMin, m_nMax);
        std::vector<unsigned char> body(1 << 20);
        while (!m_bStop) {
            CSocket sock = CSocket::ConnectTcp("127.0.0.1", m_nPort, 5000);
            std::string pending;
            bool bClose = false;
            while (sock.IsValid() && !m_bStop && !bClose) {
                if (!x_ReadRange(sock, pending, body, random, &bClose)) {
                    if (!m_bStop)
                        ++m_nFailed;
                    break;
                }
            }
            if (!sock.IsValid()) {
                ++m_nFailed;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }

    const std::uint16_t m_nPort;
    const std::vector<Recording> m_recordings;
    const std::uint64_t m_nMin, m_nMax;
    std::atomic<bool> m_bStop {false};
    std::atomic<std::uint64_t> m_nBytes {0}, m_nRanges {0}, m_nFailed {0}, m_nMismatched {0};
    std::vector<std::thread> m_threads;
};

// The bytes of the files, finished and partial, of the vehicles whose names start
// with prefix.
std::uint64_t StoredBytes(const fs::path& store, const std::string& prefix)
{
    std::uint64_t nBytes = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(store, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->path().filename().string().rfind(prefix, 0) != 0)
            continue;
        std::error_code ecWalk;
        for (auto file = fs::recursive_directory_iterator(it->path(), ecWalk);
             !ecWalk && file != fs::recursive_directory_iterator(); file.increment(ecWalk)) {
            std::error_code ecSize;
            const std::uint64_t nSize = file->is_regular_file(ecSize) ? file->file_size(ecSize) : 0;
            if (!ecSize)
                nBytes += nSize;
        }
    }
    return nBytes;
}

// Removes the vehicles of prefix from the store and commits that to the disk, so that
// the next phase neither waits for the deletion nor finds the page cache full of them.
void RemoveFleet(const fs::path& store, const std::string& prefix)
{
    std::error_code ec;
    for (auto it = fs::directory_iterator(store, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->path().filename().string().rfind(prefix, 0) == 0)
            fs::remove_all(it->path(), ec);
    }
    SyncStore(store);
}

// The fleet of vehicles named prefix...: more recordings than any phase can take.
SimOptions FleetOptions(const Config& config, std::uint16_t nServerPort, const std::string& prefix)
{
    SimOptions options;
    options.nServerPort = nServerPort;
    options.nVehicles = config.nVehicles;
    options.strNamePrefix = prefix;
    options.nChannels = config.nChannels;
    options.nRecBytes = config.nRecMiB << 20;
    // 2 GB/s for the phase and a margin, shared by every channel.
    const std::uint64_t nNeeded = 2000ull * 1000 * 1000 * (static_cast<std::uint64_t>(config.nSeconds) + 30);
    const std::uint64_t nPerRound = static_cast<std::uint64_t>(config.nVehicles) * config.nChannels * options.nRecBytes;
    options.nRecordings = static_cast<int>(std::max<std::uint64_t>(4, nNeeded / std::max<std::uint64_t>(1, nPerRound) + 1));
    options.nRecSeconds = 60;
    options.tStart = kT0;
    options.nKeepAliveMs = 1000;
    options.nVerbosity = 0;
    return options;
}

// What a phase measured.
struct Phase {
    double dDownloadMBs = 0;
    double dServeMBs = 0;
    CHttpPollers::Figures status;
};

// Runs the fleet of prefix for a window of nSeconds (counted from its first stored
// byte), with the pollers' and the readers' figures taken over the same window.
Phase RunPhase(const Config& config, const CServerProcess& server, const std::string& prefix, int nSeconds,
               bool bFleet, CHttpPollers& pollers, const CRangeReaders* pReaders)
{
    Phase phase;
    std::unique_ptr<CDvrSimulator> pSim;
    if (bFleet) {
        pSim = std::make_unique<CDvrSimulator>(FleetOptions(config, server.Port(), prefix));
        if (pSim->Start() != 0) {
            std::fprintf(stderr, "simulator could not start\n");
            return phase;
        }
        // The window starts once the downloads run.
        const std::int64_t nDeadline = MonotonicMs() + 30000;
        while (StoredBytes(server.Store(), prefix) == 0 && MonotonicMs() < nDeadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    const std::uint64_t nDownBefore = bFleet ? StoredBytes(server.Store(), prefix) : 0;
    const std::uint64_t nServeBefore = pReaders ? pReaders->Bytes() : 0;
    pollers.Take();
    const std::int64_t nStart = MonotonicMs();
    std::this_thread::sleep_for(std::chrono::seconds(nSeconds));
    const std::uint64_t nDown = bFleet ? StoredBytes(server.Store(), prefix) - nDownBefore : 0;
    const std::uint64_t nServed = pReaders ? pReaders->Bytes() - nServeBefore : 0;
    const double dSeconds = Seconds(nStart);
    phase.status = pollers.Take();
    phase.dDownloadMBs = static_cast<double>(nDown) / 1e6 / dSeconds;
    phase.dServeMBs = static_cast<double>(nServed) / 1e6 / dSeconds;
    if (pSim) {
        pSim->Stop();
        // Transfers cut by the stop wind down before the next phase.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        RemoveFleet(server.Store(), prefix);
    }
    return phase;
}

const char* Verdict(bool bMet)
{
    return bMet ? "met" : "MISSED";
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    CBenchOptions args;
    args.Add("--files", &config.nFiles).Add("--file-mib", &config.nFileMiB).Add("--clients", &config.nClients);
    args.Add("--min-mib", &config.nMinMiB).Add("--max-mib", &config.nMaxMiB).Add("--pollers", &config.nPollers);
    args.Add("--period-ms", &config.nPeriodMs).Add("--seconds", &config.nSeconds);
    args.Add("--alone-seconds", &config.nAloneSeconds).Add("--vehicles", &config.nVehicles);
    args.Add("--channels", &config.nChannels).Add("--rec-mib", &config.nRecMiB);
    args.Add("--loopback-seconds", &config.nLoopbackSeconds).Add("--serve-limit-mbs", &config.nServeLimitMBs);
    if (!args.Parse(argc, argv))
        return 2;
    if (config.nFiles == 0 || config.nFileMiB == 0 || config.nClients == 0 || config.nMinMiB == 0 ||
        config.nMaxMiB < config.nMinMiB || config.nMaxMiB > config.nFileMiB || config.nSeconds == 0 ||
        config.nPeriodMs == 0 || config.nVehicles == 0 || config.nChannels == 0 || config.nRecMiB == 0 ||
        config.nRecMiB > 4095) {
        std::fprintf(stderr, "--files, --file-mib, --clients, --seconds, --period-ms, --vehicles, --channels need 1 or "
                             "more; 1 <= --min-mib <= --max-mib <= --file-mib; --rec-mib 1 to 4095\n");
        return 2;
    }
    IgnoreSigPipe();

    ServerSettings settings = DefaultSettings();
    settings.tStart = kT0;
    settings.tStop = kT0 + 86400 * 30;
    DepotSettings depot;
    CServerProcess server(settings, depot);
    const std::uint16_t nWebPort = CSocket::ListenTcp("127.0.0.1", 0).LocalPort();
    {
        CSettingsFile file((server.Dir() / "QorConfig.xml").string());
        file.WriteValue("httpport", std::to_string(nWebPort));
        // Every client here comes from 127.0.0.1.
        file.WriteValue("httpmaxperclient", std::to_string(config.nPollers + config.nClients + 8));
        if (config.nServeLimitMBs > 0)
            file.WriteValue("footagemaxmbs", std::to_string(config.nServeLimitMBs));
    }

    const std::uint64_t nFileBytes = std::uint64_t {config.nFileMiB} << 20;
    // The recordings and one phase's downloads at 1 GB/s.
    const std::uint64_t nNeed = nFileBytes * config.nFiles + 1000000000ull * (config.nSeconds + 10);
    const fs::space_info space = fs::space(server.Dir());
    if (space.available < nNeed) {
        std::fprintf(stderr, "%s has %.1f GiB free; %u recordings of %u MiB and the downloads need %.1f GiB: "
                             "ask for fewer (--files) or smaller (--file-mib)\n",
                     server.Dir().c_str(), static_cast<double>(space.available) / (1ull << 30), config.nFiles,
                     config.nFileMiB, static_cast<double>(nNeed) / (1ull << 30));
        return 1;
    }
    std::int64_t nStart = MonotonicMs();
    // Two writers: making the content costs about as much as writing it.
    std::vector<std::string> paths(config.nFiles);
    {
        std::vector<std::thread> writers;
        for (unsigned nFirst = 0; nFirst < 2; ++nFirst) {
            writers.emplace_back([&, nFirst] {
                for (unsigned i = nFirst; i < config.nFiles; i += 2)
                    paths[i] = WriteRecording(server.Store(), i, nFileBytes);
            });
        }
        for (std::thread& writer : writers)
            writer.join();
    }
    for (unsigned i = 0; i < config.nFiles; ++i) {
        if (paths[i].empty()) {
            std::fprintf(stderr, "cannot write recording %u under %s\n", i, server.Store().c_str());
            return 1;
        }
    }
    SyncStore(server.Store());
    std::printf("config: %u recordings of %u MiB in %s (written and synced in %.1f s); %d clients reading %u-%u "
                "MiB ranges; %d pollers of /api/v1/status every %d ms; fleet %d vehicles x %d channels of %u MiB "
                "recordings; phases of %d s (clients alone %d s)\n",
                config.nFiles, config.nFileMiB, server.Dir().c_str(), Seconds(nStart), config.nClients, config.nMinMiB,
                config.nMaxMiB, config.nPollers, config.nPeriodMs, config.nVehicles, config.nChannels, config.nRecMiB,
                config.nSeconds, config.nAloneSeconds);
    CatRate(paths, 1);  // into the page cache
    const double dCat = CatRate(paths, 1);
    const double dCatParallel = CatRate(paths, config.nClients);
    std::printf("cat from the page cache: %.0f MB/s one process over all files; %.0f MB/s %d processes at once\n",
                dCat, dCatParallel, config.nClients);
    double dLoopback = 0, dLoopbackParallel = 0;
    if (config.nLoopbackSeconds > 0) {
        dLoopback = LoopbackRate(paths, nFileBytes, config, 1, config.nLoopbackSeconds);
        dLoopbackParallel = LoopbackRate(paths, nFileBytes, config, config.nClients, config.nLoopbackSeconds);
        std::printf("loopback TCP, sendfile to a plain reader, the same kind of ranges: %.0f MB/s one connection; "
                    "%.0f MB/s %d at once\n",
                    dLoopback, dLoopbackParallel, config.nClients);
    }
    std::fflush(stdout);

    if (!server.Start()) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    // The catalogue's walk lists them; the hasher then reads every one of them on its
    // idle thread, which is left to finish before the phases, for a minute at most (a
    // busy machine leaves an idle thread little time).
    httplib::Client probe("127.0.0.1", nWebPort);
    std::vector<Recording> recordings;
    nStart = MonotonicMs();
    bool bHashed = false;
    while (MonotonicMs() - nStart < (recordings.empty() ? 180000 : 60000)) {
        auto res = probe.Get("/api/v1/recordings?limit=1000&vehicle=" + std::string(kServeVehicle));
        if (res && res->status == 200) {
            const nlohmann::json list = nlohmann::json::parse(res->body, nullptr, false);
            if (list.is_object() && list["recordings"].size() == config.nFiles) {
                recordings.clear();
                bHashed = true;
                for (const auto& row : list["recordings"]) {
                    bHashed = bHashed && row["sha256"].is_string();
                    Recording rec;
                    rec.strContent = row["content_url"].get<std::string>();
                    rec.nSize = row["size"].get<std::uint64_t>();
                    const std::uint32_t tRecStart = row["start"].get<std::uint32_t>();
                    rec.nSeed = CSimRecordings::Seed(kServeVehicle, 1, (tRecStart - kT0) / kRecSeconds);
                    recordings.push_back(rec);
                }
                if (bHashed)
                    break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    if (recordings.size() != config.nFiles) {
        std::fprintf(stderr, "the catalogue did not list the %u recordings\n", config.nFiles);
        return 1;
    }
    std::printf("catalogued%s in %.1f s\n", bHashed ? " and hashed" : " (hashing not done)", Seconds(nStart));
    // Back into the page cache, should the server's start have pushed any out.
    CatRate(paths, 1);

    CHttpPollers pollers(nWebPort, config.nPollers, config.nPeriodMs, "/api/v1/status");
    std::this_thread::sleep_for(std::chrono::milliseconds(config.nPeriodMs + 500));
    const double dCpu0 = server.Read().dCpuSeconds;
    const Phase quiet = RunPhase(config, server, "QUIET", config.nSeconds, true, pollers, nullptr);
    const double dCpu1 = server.Read().dCpuSeconds;
    CRangeReaders readers(nWebPort, recordings, config);
    Phase alone;
    if (config.nAloneSeconds > 0)
        alone = RunPhase(config, server, "NONE", config.nAloneSeconds, false, pollers, &readers);
    const double dCpu2 = server.Read().dCpuSeconds;
    const Phase busy = RunPhase(config, server, "BUSY", config.nSeconds, true, pollers, &readers);
    const double dCpu3 = server.Read().dCpuSeconds;
    readers.Stop();
    pollers.Stop();

    std::printf("1. download alone:           %7.1f MB/s; server CPU %.1f s\n", quiet.dDownloadMBs, dCpu1 - dCpu0);
    CHttpPollers::Print("   status", quiet.status);
    if (config.nAloneSeconds > 0) {
        std::printf("2. serving alone:            %7.1f MB/s; server CPU %.1f s\n", alone.dServeMBs, dCpu2 - dCpu1);
        CHttpPollers::Print("   status", alone.status);
    }
    std::printf("3. download while serving:   %7.1f MB/s (%+.1f%%), serving %.1f MB/s; server CPU %.1f s\n",
                busy.dDownloadMBs, quiet.dDownloadMBs > 0 ? (busy.dDownloadMBs / quiet.dDownloadMBs - 1) * 100 : 0.0,
                busy.dServeMBs, dCpu3 - dCpu2);
    CHttpPollers::Print("   status", busy.status);
    std::printf("ranges: %llu read, %llu failed, %llu with wrong bytes\n",
                static_cast<unsigned long long>(readers.Ranges()), static_cast<unsigned long long>(readers.Failed()),
                static_cast<unsigned long long>(readers.Mismatched()));
    CServerProcess::Figures figures = server.Read();
    std::printf("server: %.1f CPU s, peak resident memory %.1f MiB, %d threads\n", figures.dCpuSeconds,
                static_cast<double>(figures.nPeakRssKiB) / 1024.0, figures.nThreads);

    const double dDownRatio = quiet.dDownloadMBs > 0 ? busy.dDownloadMBs / quiet.dDownloadMBs : 0;
    const double dServeRatio = dCat > 0 ? busy.dServeMBs / dCat : 0;
    std::printf("aim: downloads while serving within 10%% of without: %.3f of it, %s\n", dDownRatio,
                Verdict(dDownRatio >= 0.9));
    std::printf("aim: status p99 under 50 ms while serving and downloading: %.2f ms, %s\n", busy.status.dP99Ms,
                Verdict(busy.status.nRequests > 0 && busy.status.dP99Ms < 50));
    std::printf("aim: serving at least 0.8 of the cat rate: %.3f of it (%.3f of %d cats at once; alone %.3f), %s\n",
                dServeRatio, dCatParallel > 0 ? busy.dServeMBs / dCatParallel : 0.0, config.nClients,
                dCat > 0 ? alone.dServeMBs / dCat : 0.0, Verdict(dServeRatio >= 0.8));
    if (dLoopbackParallel > 0)
        std::printf("beside it: serving is %.3f of loopback TCP's %d connections at once (alone %.3f), %.3f of its "
                    "one connection\n",
                    busy.dServeMBs / dLoopbackParallel, config.nClients, alone.dServeMBs / dLoopbackParallel,
                    dLoopback > 0 ? busy.dServeMBs / dLoopback : 0.0);
    if (config.nServeLimitMBs > 0)
        std::printf("the server's footage limit (footagemaxmbs): %u MB/s\n", config.nServeLimitMBs);
    const bool bSound = readers.Mismatched() == 0 && quiet.dDownloadMBs > 0 && busy.dDownloadMBs > 0 &&
                        busy.dServeMBs > 0;
    return bSound ? 0 : 1;
}
