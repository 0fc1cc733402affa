#include "control/ByteOrder.h"
#include "control/ControlMessage.h"
#include "control/TransferHeader.h"
#include "platform/Socket.h"
#include "platform/System.h"
#include "settings/WallClock.h"
#include "support/Descriptors.h"
#include "support/WaitFor.h"
#include "tools/dvrsim/DvrSimulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const std::uint32_t kT0 = WallClockFromFields(2024, 3, 5, 12, 0, 0);
constexpr std::uint32_t kSize = 200000;

// What the server side saw of one transfer connection.
struct Stream {
    bool bAccepted = false;
    bool bEof = false;               // the recorder closed the connection
    Bytes bytes;                     // header and file bytes
    std::vector<std::size_t> reads;  // size of each receive
    std::int64_t nLastByteMs = 0;
    std::int64_t nEofMs = 0;

    TransferHeader Header() const
    {
        TransferHeader hdr {};
        EXPECT_TRUE(DecodeTransferHeader(bytes.data(), bytes.size(), hdr));
        return hdr;
    }
    std::size_t FileBytes() const { return bytes.size() < kTransferHeaderSize ? 0 : bytes.size() - kTransferHeaderSize; }
    const unsigned char* File() const { return bytes.data() + kTransferHeaderSize; }
};

// The server's side, scripted by each test: a UDP socket the recorders register
// with and a TCP listener they connect back to.
class ScriptedServer {
public:
    std::uint16_t UdpPort() const { return m_udp.LocalPort(); }

    // The next control datagram for which match holds, within nTimeoutMs (empty on
    // time-out); remembers its sender.
    template <typename Match>
    Bytes ReceiveWhere(Match match, int nTimeoutMs = 2000)
    {
        std::int64_t nDeadline = MonotonicMs() + nTimeoutMs;
        for (std::int64_t nLeft; (nLeft = nDeadline - MonotonicMs()) > 0;) {
            if (m_udp.WaitReadable(static_cast<int>(nLeft)) != 1)
                break;
            Bytes d(kMaxDatagramSize);
            ssize_t n = m_udp.RecvFrom(d.data(), d.size(), &m_strPeerIp, &m_nPeerPort);
            d.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            if (d.size() >= kControlHeaderSize && match(d))
                return d;
        }
        return {};
    }

    // The next request of a recorder carrying nCommand, skipping others (keepalives).
    Bytes ReceiveCommand(std::uint8_t nCommand, int nTimeoutMs = 2000)
    {
        return ReceiveWhere([&](const Bytes& d) { return d[4] == 0 && d[5] == nCommand; }, nTimeoutMs);
    }

    void Send(const Bytes& d)
    {
        EXPECT_EQ(m_udp.SendTo(m_strPeerIp.c_str(), m_nPeerPort, d.data(), d.size()), static_cast<ssize_t>(d.size()));
    }
    // Where requests go when the recorder's registration may not have arrived.
    void SetPeer(std::uint16_t nPort)
    {
        m_strPeerIp = "127.0.0.1";
        m_nPeerPort = nPort;
    }

    // Answers the request with nStatus and no payload.
    void Answer(const Bytes& request, std::uint16_t nStatus)
    {
        Bytes reply(kControlHeaderSize);
        BuildReply(request.data(), nStatus, reply.data());
        Send(reply);
    }

    // Answers the next registration with 200; returns the registration.
    Bytes AcceptRegistration()
    {
        Bytes d = ReceiveCommand(ZELP_REGISTER);
        if (!d.empty())
            Answer(d, kStatusOk);
        return d;
    }

    // A request datagram with the next transaction id (or nTid when given).
    Bytes MakeRequest(std::uint8_t nCommand, const unsigned char* pPayload, std::size_t nLen, std::uint32_t nTid = 0)
    {
        ControlHeader header;
        header.command = nCommand;
        header.transactionId = nTid != 0 ? nTid : m_nNextTid++;
        header.payloadLength = static_cast<std::uint32_t>(nLen);
        Bytes d(kControlHeaderSize + nLen);
        EncodeHeader(header, d.data());
        std::memcpy(d.data() + kControlHeaderSize, pPayload, nLen);
        return d;
    }

    // Sends the request datagram to the last sender and returns the reply with its
    // transaction id (empty after nTimeoutMs).
    Bytes Exchange(const Bytes& request, int nTimeoutMs = 2000)
    {
        Send(request);
        std::uint32_t nTid = ReadBe32(request.data() + 8);
        return ReceiveWhere([&](const Bytes& r) { return r[4] != 0 && ReadBe32(r.data() + 8) == nTid; },
                            nTimeoutMs);
    }

    Bytes Request(std::uint8_t nCommand, const unsigned char* pPayload, std::size_t nLen, int nTimeoutMs = 2000)
    {
        return Exchange(MakeRequest(nCommand, pPayload, nLen), nTimeoutMs);
    }

    // A ZELP_GETFILE datagram asking for a file to be sent to this server's listener.
    Bytes FileRequest(std::uint8_t nChannel, const std::string& strName, std::uint32_t nSeek,
                      const char* szListenIp = "127.0.0.1")
    {
        GetFileRequest request;
        std::strncpy(request.szFileName, strName.c_str(), sizeof(request.szFileName) - 1);
        request.nSeek = nSeek;
        std::strncpy(request.szListenIp, szListenIp, sizeof(request.szListenIp) - 1);
        request.nListenPort = m_listener.LocalPort();
        request.nChannel = nChannel;
        unsigned char payload[kGetFileRequestSize];
        EncodeGetFileRequest(request, payload);
        return MakeRequest(ZELP_GETFILE, payload, sizeof(payload));
    }

    // Asks for a file; returns the reply status (0 when none came).
    int GetFile(std::uint8_t nChannel, const std::string& strName, std::uint32_t nSeek, int nTimeoutMs = 2000,
                const char* szListenIp = "127.0.0.1")
    {
        return Status(Exchange(FileRequest(nChannel, strName, nSeek, szListenIp), nTimeoutMs));
    }

    static int Status(const Bytes& reply) { return reply.empty() ? 0 : ReadBe16(reply.data() + 6); }

    // Accepts one connection within nAcceptMs and reads it to its end.
    Stream AcceptAndRead(int nAcceptMs = 2000)
    {
        Stream s;
        CSocket conn = AcceptOne(nAcceptMs);
        if (!conn.IsValid())
            return s;
        s.bAccepted = true;
        Bytes buf(64 * 1024);
        while (conn.WaitReadable(3000) == 1) {
            ssize_t n = conn.Recv(buf.data(), buf.size());
            if (n <= 0) {
                s.bEof = n == 0;
                s.nEofMs = MonotonicMs();
                break;
            }
            s.bytes.insert(s.bytes.end(), buf.begin(), buf.begin() + n);
            s.reads.push_back(static_cast<std::size_t>(n));
            s.nLastByteMs = MonotonicMs();
        }
        return s;
    }

    CSocket AcceptOne(int nTimeoutMs)
    {
        return m_listener.WaitReadable(nTimeoutMs) == 1 ? m_listener.Accept() : CSocket();
    }

private:
    CSocket m_udp = CSocket::CreateUdp("127.0.0.1", 0);
    CSocket m_listener = CSocket::ListenTcp("127.0.0.1", 0);
    std::string m_strPeerIp;
    std::uint16_t m_nPeerPort = 0;
    std::uint32_t m_nNextTid = 0x01020304;
};

class DvrSimTest : public ::testing::Test {
protected:
    SimOptions Options() const
    {
        SimOptions options;
        options.strServerIp = "127.0.0.1";
        options.nServerPort = m_server.UdpPort();
        options.nChannels = 2;
        options.nRecordings = 3;
        options.nRecSeconds = 600;
        options.nRecBytes = kSize;
        options.tStart = kT0;
        options.nKeepAliveMs = 100;
        options.nVerbosity = 0;
        return options;
    }

    // Starts a recorder and answers its registration.
    CSimRecorder& StartRegistered(const SimOptions& options, const std::string& strName = "BUS7")
    {
        m_pRecorder = std::make_unique<CSimRecorder>(strName, options);
        EXPECT_EQ(0, m_pRecorder->Start());
        EXPECT_FALSE(m_server.AcceptRegistration().empty());
        return *m_pRecorder;
    }

    const SimRecording& Rec(std::uint8_t nChannel, std::uint32_t nIndex) const
    {
        return m_pRecorder->Recordings().All()[(nChannel - 1) * 3 + nIndex];
    }

    // True when the stream is the header of rec followed by its bytes from nSeek to nEnd.
    void ExpectContent(const Stream& s, const SimRecording& rec, std::uint64_t nSeek, std::uint64_t nEnd)
    {
        ASSERT_GE(s.bytes.size(), kTransferHeaderSize);
        ASSERT_EQ(nEnd - nSeek, s.FileBytes());
        EXPECT_EQ(-1, CSimRecordings::FirstMismatch(rec.nSeed, nSeek, s.File(), s.FileBytes()));
    }

    void ExpectHeader(const Stream& s, const std::string& device, const std::string& file, std::uint8_t nChan)
    {
        TransferHeader hdr = s.Header();
        EXPECT_EQ(device, HeaderText(hdr.szDevice));
        EXPECT_EQ(file, HeaderText(hdr.szChan));
        EXPECT_EQ(nChan, hdr.nChan);
    }

    // Waits until all but nActive transfers of the recorder have ended and counted
    // themselves.
    bool WaitActive(int nActive) const
    {
        return WaitFor([&] { return m_pRecorder->ActiveTransfers() == nActive; }, std::chrono::seconds(3));
    }

    ScriptedServer m_server;
    std::unique_ptr<CSimRecorder> m_pRecorder;
};

} // namespace

TEST_F(DvrSimTest, RegistrationAndKeepAliveDatagramsAreByteExact)
{
    SimOptions options = Options();
    options.nChannels = 3;
    m_pRecorder = std::make_unique<CSimRecorder>("BUS7", options);
    ASSERT_EQ(0, m_pRecorder->Start());

    // Unanswered registrations are repeated, each with a fresh transaction id.
    Bytes first = m_server.ReceiveCommand(ZELP_REGISTER);
    Bytes reg = m_server.ReceiveCommand(ZELP_REGISTER);
    ASSERT_EQ(128u, reg.size());
    EXPECT_NE(ReadBe32(first.data() + 8), ReadBe32(reg.data() + 8));
    // Header with 108 payload bytes; 72 zero bytes, the name field, the channel count.
    Bytes expected = {0x48, 0x0F, 1, 0, 0, ZELP_REGISTER, 0, 0, reg[8], reg[9], reg[10], reg[11], 0, 0, 0, 108};
    expected.resize(128, 0);
    std::memcpy(expected.data() + 92, "BUS7", 4);
    expected[124] = 3;
    EXPECT_EQ(expected, reg);
    EXPECT_FALSE(m_pRecorder->IsRegistered());

    m_server.Answer(reg, kStatusOk);
    Bytes keep = m_server.ReceiveCommand(ZELP_KEEPALIVE);
    ASSERT_EQ(60u, keep.size());
    EXPECT_GT(ReadBe32(keep.data() + 8), ReadBe32(reg.data() + 8));
    // Header with 40 payload bytes; 8 zero bytes, the name field.
    expected = {0x48, 0x0F, 1, 0, 0, ZELP_KEEPALIVE, 0, 0, keep[8], keep[9], keep[10], keep[11], 0, 0, 0, 40};
    expected.resize(60, 0);
    std::memcpy(expected.data() + 28, "BUS7", 4);
    EXPECT_EQ(expected, keep);
    EXPECT_TRUE(m_pRecorder->IsRegistered());
    EXPECT_EQ(1u, m_pRecorder->Totals().nRegistrations);

    // Keepalives follow at the interval; a 402 makes the recorder register again.
    Bytes next = m_server.ReceiveCommand(ZELP_KEEPALIVE, 500);
    ASSERT_FALSE(next.empty());
    m_server.Answer(next, kStatusNotRegistered);
    Bytes again = m_server.ReceiveCommand(ZELP_REGISTER);
    ASSERT_EQ(128u, again.size());
    EXPECT_EQ(Bytes(reg.begin() + 92, reg.end()), Bytes(again.begin() + 92, again.end()));
}

TEST_F(DvrSimTest, ShortKeepAlivesEndAfterTheNameOrInsideIt)
{
    SimOptions options = Options();
    options.faults.bShortKeepAlive = true;
    options.faults.nShortDatagramEvery = 3;
    StartRegistered(options);

    // Keepalives 1, 2 and 4 end with the name's NUL; the 3rd halfway through the name.
    const Bytes nameEnd = {0, 0, 0, 0, 0, 0, 0, 0, 'B', 'U', 'S', '7', 0};
    for (int i = 1; i <= 4; ++i) {
        Bytes keep = m_server.ReceiveCommand(ZELP_KEEPALIVE);
        ASSERT_GE(keep.size(), kControlHeaderSize) << i;
        std::size_t nExpected = i == 3 ? 30 : 33;
        EXPECT_EQ(nExpected, keep.size()) << i;
        EXPECT_EQ(nExpected - kControlHeaderSize, ReadBe32(keep.data() + 12)) << i;
        EXPECT_EQ(Bytes(nameEnd.begin(), nameEnd.begin() + (nExpected - kControlHeaderSize)),
                  Bytes(keep.begin() + kControlHeaderSize, keep.end()))
            << i;
    }
}

TEST_F(DvrSimTest, FileRequestStreamsHeaderAndBytesFromTheSeekOffset)
{
    CSimRecorder& recorder = StartRegistered(Options());
    const SimRecording& rec = Rec(2, 1);

    ASSERT_EQ(kStatusOk, m_server.GetFile(2, rec.strFileName, 12345));
    Stream s = m_server.AcceptAndRead();
    ASSERT_TRUE(s.bAccepted);
    EXPECT_TRUE(s.bEof);
    ExpectHeader(s, "BUS7", rec.strFileName, 2);
    EXPECT_EQ(rec.tStart, s.Header().tStart);
    EXPECT_EQ(rec.tEnd, s.Header().tEnd);
    EXPECT_EQ(kSize, s.Header().nFileSize);
    EXPECT_EQ(Bytes(3, 0), Bytes(s.bytes.begin() + 77, s.bytes.begin() + 80));
    ExpectContent(s, rec, 12345, kSize);

    ASSERT_EQ(kStatusOk, m_server.GetFile(2, rec.strFileName, 0));
    ExpectContent(m_server.AcceptAndRead(), rec, 0, kSize);
    // A request for the very end sends the header alone.
    ASSERT_EQ(kStatusOk, m_server.GetFile(2, rec.strFileName, kSize));
    Stream empty = m_server.AcceptAndRead();
    EXPECT_TRUE(empty.bEof);
    EXPECT_EQ(kTransferHeaderSize, empty.bytes.size());

    // Unknown names, names of another channel and seeks past the end are refused.
    EXPECT_EQ(404, m_server.GetFile(2, "ch02_nothing", 0));
    EXPECT_EQ(404, m_server.GetFile(1, rec.strFileName, 0));
    EXPECT_EQ(416, m_server.GetFile(2, rec.strFileName, kSize + 1));
    EXPECT_FALSE(m_server.AcceptOne(200).IsValid());

    SimRecordingStats stats = recorder.Stats()[recorder.Recordings().IndexOf(rec)];
    EXPECT_EQ((std::vector<std::uint32_t> {12345, 0, kSize, kSize + 1}), stats.vecSeeks);
    EXPECT_EQ(4u, stats.nRequests);
    EXPECT_EQ(3u, stats.nTransfers);
    EXPECT_EQ(3u, stats.nCompleted);
    EXPECT_EQ(std::uint64_t(kSize - 12345) + kSize, stats.nBytes);
    EXPECT_EQ(std::uint64_t(kSize - 12345) + kSize, recorder.Totals().nBytes);
    EXPECT_EQ(0, recorder.ActiveTransfers());
}

TEST_F(DvrSimTest, AClipFileIsEveryRecordingsContentFromAnySeek)
{
    std::vector<unsigned char> clip(300001);
    for (std::size_t k = 0; k < clip.size(); ++k)
        clip[k] = static_cast<unsigned char>((k * 131 + k / 7) & 0xFF);
    std::filesystem::path clipPath = ::testing::TempDir() + "dvrsim-clip.mp4";
    std::ofstream(clipPath, std::ios::binary).write(reinterpret_cast<const char*>(clip.data()), static_cast<std::streamsize>(clip.size()));
    SimOptions options = Options();
    std::string strMessage;
    ASSERT_EQ(0, ParseSimOptions({"--rec-file", clipPath.string()}, &options, &strMessage)) << strMessage;
    StartRegistered(options);
    const SimRecording& rec = Rec(1, 0);
    EXPECT_EQ(clip.size(), rec.nSize);

    for (std::uint32_t nSeek : {0u, 4097u}) {
        ASSERT_EQ(kStatusOk, m_server.GetFile(1, rec.strFileName, nSeek));
        Stream s = m_server.AcceptAndRead();
        ASSERT_TRUE(s.bEof);
        EXPECT_EQ(clip.size(), s.Header().nFileSize);
        ASSERT_EQ(kTransferHeaderSize + clip.size() - nSeek, s.bytes.size());
        EXPECT_TRUE(std::equal(s.bytes.begin() + kTransferHeaderSize, s.bytes.end(), clip.begin() + nSeek));
    }

    // The size is the clip's: a size given after it, or a missing file, is refused.
    SimOptions other = Options();
    EXPECT_EQ(-1, ParseSimOptions({"--rec-file", clipPath.string(), "--rec-bytes", "1M"}, &other, &strMessage));
    EXPECT_NE(strMessage.find("--rec-file"), std::string::npos) << strMessage;
    EXPECT_EQ(-1, ParseSimOptions({"--rec-file", clipPath.string() + ".none"}, &other, &strMessage));
    EXPECT_NE(strMessage.find("--rec-file"), std::string::npos) << strMessage;
    std::filesystem::remove(clipPath);
}

TEST_F(DvrSimTest, CheckAddressRefusesAFileRequestNamingAnotherAddressThanTheServers)
{
    std::mutex lock;
    std::vector<std::string> events;
    SimOptions options = Options();
    options.bCheckAddress = true;
    m_pRecorder = std::make_unique<CSimRecorder>("BUS7", options, [&](int, const std::string&, const std::string& s) {
        std::lock_guard guard(lock);
        events.push_back(s);
    });
    ASSERT_EQ(0, m_pRecorder->Start());
    ASSERT_FALSE(m_server.AcceptRegistration().empty());
    const SimRecording rec = Rec(1, 0);  // a copy: the recorder is replaced below

    // Another loopback address, and no address at all: refused, nothing connects.
    EXPECT_EQ(400, m_server.GetFile(1, rec.strFileName, 0, 2000, "127.0.0.2"));
    EXPECT_EQ(400, m_server.GetFile(1, rec.strFileName, 0, 2000, ""));
    EXPECT_FALSE(m_server.AcceptOne(200).IsValid());
    EXPECT_EQ(1u, m_pRecorder->Totals().nWrongAddress);
    {
        std::lock_guard guard(lock);
        EXPECT_EQ(1, std::count_if(events.begin(), events.end(), [](const std::string& s) {
                      return s.find("-> 127.0.0.2:") != std::string::npos &&
                             s.find("listen address is not the server's 127.0.0.1, answered 400") != std::string::npos;
                  }))
            << ::testing::PrintToString(events);
    }
    // The server's own address is served.
    EXPECT_EQ(kStatusOk, m_server.GetFile(1, rec.strFileName, 0));
    ExpectContent(m_server.AcceptAndRead(), rec, 0, kSize);
    m_pRecorder.reset();

    // Without the check the same request is taken (and its connection goes nowhere).
    StartRegistered(Options());
    EXPECT_EQ(kStatusOk, m_server.GetFile(1, rec.strFileName, 0, 2000, "127.0.0.2"));
    EXPECT_EQ(0u, m_pRecorder->Totals().nWrongAddress);
}

TEST_F(DvrSimTest, HeaderFaultsChangeOnlyWhatTheyName)
{
    SimOptions options = Options();
    options.faults.nHeaderPieces = 4;
    options.faults.nPiecePauseMs = 100;
    options.faults.nSizeDelta = -1000;
    options.faults.nExtraBytes = 777;
    options.faults.nLingerMs = 300;
    options.faults.bForeignDevice = true;
    options.faults.bForeignFile = true;
    options.faults.nForeignHeaderCount = 1;
    StartRegistered(options);
    const SimRecording& rec = Rec(2, 2);  // the channel's last: its "next" is the first

    ASSERT_EQ(kStatusOk, m_server.GetFile(2, rec.strFileName, 100));
    Stream s = m_server.AcceptAndRead();
    ASSERT_FALSE(s.reads.empty());
    // The first receive holds one or more whole pieces, never the whole header.
    EXPECT_LT(s.reads[0], kTransferHeaderSize);
    EXPECT_EQ(0u, s.reads[0] % 20);
    EXPECT_TRUE(s.bEof);
    EXPECT_GE(s.nEofMs - s.nLastByteMs, 250);
    // Another device and file are named, whatever the content: the requested file's,
    // then 777 bytes beyond its end, continuing the content.
    ExpectHeader(s, "BUS7X", Rec(2, 0).strFileName, 2);
    EXPECT_EQ(kSize - 1000, s.Header().nFileSize);
    ExpectContent(s, rec, 100, kSize + 777);
    // Only the first request of the recording names something foreign.
    ASSERT_EQ(kStatusOk, m_server.GetFile(2, rec.strFileName, 0));
    ExpectHeader(m_server.AcceptAndRead(), "BUS7", rec.strFileName, 2);

    // The channel alone, on every request.
    options.faults = SimFaults {};
    options.faults.bWrongChannel = true;
    StartRegistered(options);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(kStatusOk, m_server.GetFile(1, Rec(1, 0).strFileName, 0));
        ExpectHeader(m_server.AcceptAndRead(), "BUS7", Rec(1, 0).strFileName, 2);
    }
}

TEST_F(DvrSimTest, RefusalLostReplyAndStrayConnectionTakeTheFirstRequestsInTurn)
{
    SimOptions options = Options();
    options.faults.nRefuseStatus = 503;
    options.faults.nRefuseCount = 2;
    options.faults.bWithholdReply = true;
    options.faults.nWithholdReplyCount = 1;
    options.faults.bDoubleConnect = true;
    options.faults.nDoubleConnectCount = 1;
    CSimRecorder& recorder = StartRegistered(options);
    const SimRecording& rec = Rec(1, 2);

    // Refusals are answered and connect nowhere.
    EXPECT_EQ(503, m_server.GetFile(1, rec.strFileName, 0));
    EXPECT_EQ(503, m_server.GetFile(1, rec.strFileName, 0));
    EXPECT_FALSE(m_server.AcceptOne(300).IsValid());

    // No reply, yet the file comes: a stray connection with the header and the first
    // half of the bytes, then one with all of them.
    EXPECT_EQ(0, m_server.GetFile(1, rec.strFileName, 1000, 300));
    Stream stray = m_server.AcceptAndRead();
    EXPECT_TRUE(stray.bEof);
    ExpectHeader(stray, "BUS7", rec.strFileName, 1);
    ExpectContent(stray, rec, 1000, 1000 + (kSize - 1000) / 2);
    ExpectContent(m_server.AcceptAndRead(), rec, 1000, kSize);

    // The next request is answered and served over one connection.
    EXPECT_EQ(kStatusOk, m_server.GetFile(1, rec.strFileName, 0));
    ExpectContent(m_server.AcceptAndRead(), rec, 0, kSize);
    EXPECT_FALSE(m_server.AcceptOne(200).IsValid());
    ASSERT_TRUE(WaitActive(0));
    EXPECT_EQ(2u, recorder.Stats()[2].nRefused);
    EXPECT_EQ(1u, recorder.Stats()[2].nWithheld);
    SimTotals totals = recorder.Totals();
    EXPECT_EQ(2u, totals.nRefused);
    EXPECT_EQ(1u, totals.nWithheld);
    EXPECT_EQ(1u, totals.nStrays);
    EXPECT_EQ(2u, totals.nTransfers);
    EXPECT_EQ(2u, totals.nCompleted);
    EXPECT_EQ(std::uint64_t(kSize - 1000) / 2 + (kSize - 1000) + kSize, totals.nBytes);
}

TEST_F(DvrSimTest, SilentRecorderRegistersButNeverAnswers)
{
    SimOptions options = Options();
    options.faults.bSilent = true;
    CSimRecorder& recorder = StartRegistered(options);
    EXPECT_FALSE(m_server.ReceiveCommand(ZELP_KEEPALIVE).empty());
    unsigned char query[kQueryPayloadSize];
    EncodeQuery(QueryPayload {kQueryKindEarliest, 1, 0xFF, kT0, kT0 + 86400}, query);
    EXPECT_TRUE(m_server.Request(ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN, query, sizeof(query), 300).empty());
    EXPECT_EQ(0, m_server.GetFile(1, Rec(1, 0).strFileName, 0, 300));  // no reply, and no connection
    EXPECT_FALSE(m_server.AcceptOne(200).IsValid());
    EXPECT_EQ(0u, recorder.Totals().nQueries);
    EXPECT_FALSE(m_server.ReceiveCommand(ZELP_KEEPALIVE).empty());
}

TEST_F(DvrSimTest, StopEndsBlockedTransfersPromptlyAndClosesEverything)
{
    std::size_t nFdsBefore = OpenDescriptors();
    SimOptions options = Options();
    options.nRecBytes = 0xFFFFFFFFu;  // never finishes while the server does not read
    CSimRecorder& recorder = StartRegistered(options);

    ASSERT_EQ(kStatusOk, m_server.GetFile(1, Rec(1, 0).strFileName, 0));
    CSocket held = m_server.AcceptOne(2000);
    ASSERT_TRUE(held.IsValid());
    // The sender fills the socket buffers and blocks: its count stands still for 20 ms.
    std::uint64_t nLast = 0;
    WaitFor(
        [&] {
            std::uint64_t nNow = recorder.LiveBytes();
            bool bStill = nNow != 0 && nNow == nLast;
            nLast = nNow;
            return bStill;
        },
        std::chrono::seconds(2), [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    EXPECT_EQ(1, recorder.ActiveTransfers());

    recorder.Stop();  // returns only when the send blocked for good has been ended
    EXPECT_EQ(0, recorder.ActiveTransfers());
    EXPECT_EQ(1u, recorder.Totals().nFailed);
    EXPECT_EQ(0u, recorder.Totals().nCompleted);
    held.Close();
    m_pRecorder.reset();
    EXPECT_EQ(DescriptorsSettledAt(nFdsBefore), nFdsBefore);

    // A transfer waiting an hour to connect is ended as promptly.
    options.faults.nConnectDelayMs = 3600000;
    CSimRecorder& late = StartRegistered(options);
    ASSERT_EQ(kStatusOk, m_server.GetFile(1, Rec(1, 0).strFileName, 0));
    late.Stop();
    EXPECT_EQ(1u, late.Totals().nFailed);
    m_pRecorder.reset();
    EXPECT_EQ(DescriptorsSettledAt(nFdsBefore), nFdsBefore);
}

TEST_F(DvrSimTest, FleetRegistersEveryVehicleAndSumsUp)
{
    SimOptions options = Options();
    options.nVehicles = 3;
    options.strNamePrefix = "CAR";
    options.nVerbosity = 1;
    CDvrSimulator fleet(options);
    std::vector<std::string> lines;
    std::mutex lock;
    fleet.SetLineSink([&](const std::string& strLine) {
        std::lock_guard guard(lock);
        lines.push_back(strLine);
    });
    ASSERT_EQ(0, fleet.Start());
    std::set<std::string> names;
    std::string strLast;
    for (int i = 0; i < 3; ++i) {
        Bytes reg = m_server.AcceptRegistration();
        ASSERT_EQ(128u, reg.size());
        strLast = reinterpret_cast<const char*>(reg.data() + 92);
        names.insert(strLast);
    }
    EXPECT_EQ((std::set<std::string> {"CAR001", "CAR002", "CAR003"}), names);
    EXPECT_TRUE(fleet.WaitRegistered(2000));
    ASSERT_NE(nullptr, fleet.Find("CAR002"));
    EXPECT_EQ(fleet.Find("CAR002")->Recordings().All()[0].tStart, kT0);

    // The vehicle registered last is the server's last sender: fetch one file from it.
    const SimRecording& rec = fleet.Find(strLast)->Recordings().All()[4];
    ASSERT_EQ(kStatusOk, m_server.GetFile(rec.nChannel, rec.strFileName, 0));
    Stream s = m_server.AcceptAndRead();
    EXPECT_EQ(strLast, HeaderText(s.Header().szDevice));
    EXPECT_EQ(-1, CSimRecordings::FirstMismatch(CSimRecordings::Seed(strLast, 2, 1), 0, s.File(), s.FileBytes()));
    EXPECT_TRUE(fleet.WaitCompleted(1, 2000));
    fleet.Stop();
    EXPECT_EQ(3u, fleet.Totals().nRegistrations);
    EXPECT_NE(std::string::npos, fleet.Summary().find("3 vehicles, 1 files served in full, 200000 bytes"));
    std::lock_guard guard(lock);
    auto count = [&](const char* szText) {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.find(szText) != std::string::npos; });
    };
    EXPECT_EQ(3, count(": registered with 127.0.0.1:"));
    EXPECT_EQ(0, count("keepalive sent"));  // level-2 chatter stays out at verbosity 1
}

TEST_F(DvrSimTest, RepeatedQueryIdGetsTheFirstReplyAndCountsOnce)
{
    CSimRecorder& recorder = StartRegistered(Options());
    auto query = [&](std::uint8_t nCommand, std::uint8_t nChannel, std::uint32_t nTid = 0) {
        unsigned char payload[kQueryPayloadSize];
        std::uint32_t nKind = nCommand == ZELP_QUERY_FILE_COUNT ? kQueryKindCount : kQueryKindEarliest;
        EncodeQuery(QueryPayload {nKind, nChannel, 0xFF, kT0, kT0 + 86400}, payload);
        return m_server.MakeRequest(nCommand, payload, sizeof(payload), nTid);
    };

    Bytes earliest = query(ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN, 1);
    Bytes first = m_server.Exchange(earliest);
    ASSERT_EQ(kControlHeaderSize + kEarliestFileRecordSize, first.size());
    EXPECT_EQ(first, m_server.Exchange(earliest));
    Bytes count = query(ZELP_QUERY_FILE_COUNT, 2);
    Bytes counted = m_server.Exchange(count);
    ASSERT_EQ(kControlHeaderSize + kFileCountRecordSize, counted.size());
    EXPECT_EQ(counted, m_server.Exchange(count));
    EXPECT_EQ(counted, m_server.Exchange(count));
    SimTotals totals = recorder.Totals();
    EXPECT_EQ(2u, totals.nQueries);
    EXPECT_EQ(3u, totals.nRepeatedRequests);
    EXPECT_EQ(0u, totals.nReusedIds);

    // The same id on a different request is a new request, answered for what it asks.
    Bytes other = m_server.Exchange(query(ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN, 2, ReadBe32(earliest.data() + 8)));
    EarliestFileRecord record;
    ASSERT_TRUE(DecodeEarliestFileRecord(other.data() + kControlHeaderSize, other.size() - kControlHeaderSize, &record));
    EXPECT_EQ(Rec(2, 0).strFileName, record.szFileName);
    EXPECT_EQ(1u, recorder.Totals().nReusedIds);
    EXPECT_EQ(3u, recorder.Totals().nQueries);

    // The history is bounded: after as many newer requests, the count query is new again.
    for (std::size_t i = 0; i < CSimRecorder::kRequestHistory; ++i)
        ASSERT_FALSE(m_server.Exchange(query(ZELP_QUERY_FILE_COUNT, 1)).empty()) << i;
    EXPECT_EQ(counted, m_server.Exchange(count));
    totals = recorder.Totals();
    EXPECT_EQ(3u + CSimRecorder::kRequestHistory + 1, totals.nQueries);
    EXPECT_EQ(3u, totals.nRepeatedRequests);
}

TEST_F(DvrSimTest, RepeatedFileRequestIsAnsweredAgainAndUploadedOnce)
{
    SimOptions options = Options();
    options.faults.nRefuseStatus = 503;
    options.faults.nRefuseCount = 1;
    options.faults.bWithholdReply = true;
    options.faults.nWithholdReplyCount = 1;
    CSimRecorder& recorder = StartRegistered(options);
    const SimRecording& rec = Rec(2, 1);

    // Refused once: its repeat is refused again and takes no turn of the fault, or it
    // would be served.
    Bytes refused = m_server.FileRequest(2, rec.strFileName, 0);
    EXPECT_EQ(503, ScriptedServer::Status(m_server.Exchange(refused)));
    EXPECT_EQ(503, ScriptedServer::Status(m_server.Exchange(refused)));
    EXPECT_FALSE(m_server.AcceptOne(300).IsValid());

    // Served without a reply: the repeat draws none either, and no second upload.
    Bytes withheld = m_server.FileRequest(2, rec.strFileName, 0);
    EXPECT_TRUE(m_server.Exchange(withheld, 300).empty());
    ExpectContent(m_server.AcceptAndRead(), rec, 0, kSize);
    EXPECT_TRUE(m_server.Exchange(withheld, 300).empty());
    EXPECT_FALSE(m_server.AcceptOne(300).IsValid());

    // Served and answered: every repeat is answered 200, the file comes once.
    Bytes served = m_server.FileRequest(2, rec.strFileName, 1000);
    Bytes reply = m_server.Exchange(served);
    EXPECT_EQ(kStatusOk, ScriptedServer::Status(reply));
    EXPECT_EQ(reply, m_server.Exchange(served));
    ExpectContent(m_server.AcceptAndRead(), rec, 1000, kSize);
    EXPECT_EQ(reply, m_server.Exchange(served));
    EXPECT_FALSE(m_server.AcceptOne(300).IsValid());

    ASSERT_TRUE(WaitActive(0));
    SimRecordingStats stats = recorder.Stats()[recorder.Recordings().IndexOf(rec)];
    EXPECT_EQ(3u, stats.nRequests);
    EXPECT_EQ((std::vector<std::uint32_t> {0, 0, 1000}), stats.vecSeeks);
    EXPECT_EQ(1u, stats.nRefused);
    EXPECT_EQ(1u, stats.nWithheld);
    EXPECT_EQ(2u, stats.nUploads);
    EXPECT_EQ(2u, stats.nCompleted);
    SimTotals totals = recorder.Totals();
    EXPECT_EQ(3u, totals.nFileRequests);
    EXPECT_EQ(4u, totals.nRepeatedRequests);
    EXPECT_EQ(2u, totals.nUploads);
    EXPECT_EQ(2u, totals.nTransfers);
}

TEST_F(DvrSimTest, LossDropsEachWayAndRepeatsDropForDrop)
{
    constexpr std::uint32_t kQueries = 60;
    struct Run {
        bool bRegistrationArrived = false;
        std::set<std::uint32_t> answered;  // transaction ids
        SimTotals totals;
    };
    // A recorder that is never registered sends its registration once (the retry is an
    // hour away) and answers the queries it gets.
    auto run = [&](double dLoss, std::uint64_t nSeed, const std::string& strName) {
        SimOptions options = Options();
        options.dLossPercent = dLoss;
        options.nLossSeed = nSeed;
        options.nKeepAliveMs = 3600000;
        CSimRecorder recorder(strName, options);
        EXPECT_EQ(0, recorder.Start());
        Run result;
        result.bRegistrationArrived = !m_server.ReceiveCommand(ZELP_REGISTER, 300).empty();
        m_server.SetPeer(recorder.LocalPort());
        unsigned char payload[kQueryPayloadSize];
        EncodeQuery(QueryPayload {kQueryKindCount, 1, 0xFF, kT0, kT0 + 86400}, payload);
        for (std::uint32_t i = 1; i <= kQueries; ++i)
            m_server.Send(m_server.MakeRequest(ZELP_QUERY_FILE_COUNT, payload, sizeof(payload), i));
        for (Bytes r; !(r = m_server.ReceiveWhere([](const Bytes& d) { return d[4] != 0; }, 300)).empty();)
            result.answered.insert(ReadBe32(r.data() + 8));
        recorder.Stop();
        result.totals = recorder.Totals();
        return result;
    };

    Run none = run(100, 1, "BUS7");
    EXPECT_FALSE(none.bRegistrationArrived);
    EXPECT_TRUE(none.answered.empty());
    EXPECT_EQ(kQueries, none.totals.nDroppedIn);
    EXPECT_EQ(1u, none.totals.nDroppedOut);
    EXPECT_EQ(0u, none.totals.nQueries);

    Run all = run(0, 1, "BUS7");
    EXPECT_TRUE(all.bRegistrationArrived);
    EXPECT_EQ(kQueries, all.answered.size());
    EXPECT_EQ(0u, all.totals.nDroppedIn + all.totals.nDroppedOut);

    // Some lost each way, the counts tell which, and the same seed loses the same ones.
    Run lossy = run(30, 5, "BUS7");
    EXPECT_GT(lossy.totals.nDroppedIn, 0u);
    EXPECT_GT(lossy.totals.nDroppedOut, 0u);
    EXPECT_EQ(kQueries - lossy.totals.nDroppedIn, lossy.totals.nQueries);
    EXPECT_EQ(lossy.totals.nQueries - lossy.totals.nDroppedOut + (lossy.bRegistrationArrived ? 0 : 1),
              lossy.answered.size());
    Run again = run(30, 5, "BUS7");
    EXPECT_EQ(lossy.bRegistrationArrived, again.bRegistrationArrived);
    EXPECT_EQ(lossy.answered, again.answered);
    // Another seed, or another recorder with the same seed, loses others.
    EXPECT_NE(lossy.answered, run(30, 6, "BUS7").answered);
    EXPECT_NE(lossy.answered, run(30, 5, "BUS8").answered);
}

TEST_F(DvrSimTest, NameOf32BytesFillsItsFieldsWithoutNul)
{
    const std::string strName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    SimOptions options = Options();
    options.faults.bShortKeepAlive = true;  // ends after the NUL, and there is none
    m_pRecorder = std::make_unique<CSimRecorder>(strName, options);
    ASSERT_EQ(0, m_pRecorder->Start());
    Bytes reg = m_server.AcceptRegistration();
    ASSERT_EQ(128u, reg.size());
    EXPECT_EQ(strName, std::string(reg.begin() + kRegisterNameOffset, reg.begin() + kRegisterNameOffset + 32));
    EXPECT_EQ(options.nChannels, reg[kRegisterChannelsOffset]);
    Bytes keep = m_server.ReceiveCommand(ZELP_KEEPALIVE);
    ASSERT_EQ(kKeepAliveMinSize, keep.size());
    EXPECT_EQ(kKeepAliveMinSize - kControlHeaderSize, ReadBe32(keep.data() + 12));
    EXPECT_EQ(strName, std::string(keep.begin() + kKeepAliveNameOffset, keep.end()));

    ASSERT_EQ(kStatusOk, m_server.GetFile(1, Rec(1, 0).strFileName, 0));
    Stream s = m_server.AcceptAndRead();
    ASSERT_GE(s.bytes.size(), kTransferHeaderSize);
    EXPECT_EQ(strName, std::string(s.bytes.begin(), s.bytes.begin() + 32));
    ExpectHeader(s, strName, Rec(1, 0).strFileName, 1);
    ExpectContent(s, Rec(1, 0), 0, kSize);
}
