#include "tools/dvrsim/SimRecorder.h"

#include "control/TransferHeader.h"
#include "platform/Format.h"
#include "platform/System.h"
#include "settings/WallClock.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

constexpr std::size_t kRegisterSize = 128;         // header, 72 unused bytes, name, channels, padding
constexpr std::size_t kStreamChunk = 64 * 1024;    // generated and sent per write
constexpr int kConnectTimeoutMs = 5000;
constexpr int kConnectSliceMs = 500;               // a stop is noticed between attempts
constexpr int kMaxIdleWaitMs = 1000;               // finished transfers are joined this often
constexpr std::uint16_t kStatusNotFound = 404;
constexpr std::uint16_t kStatusBadRequest = 400;
constexpr std::uint16_t kStatusBadSeek = 416;

// A text field as a recorder fills it: NUL-padded, with no NUL when the text takes
// every byte.
void PutText(unsigned char* pField, std::size_t nFieldSize, const std::string& str)
{
    std::memset(pField, 0, nFieldSize);
    std::memcpy(pField, str.data(), std::min(str.size(), nFieldSize));
}

// A text other than str within nMax bytes: str + "X", or with its last byte changed
// when it fills them, so that a field of nMax bytes never holds str itself.
std::string Altered(std::string str, std::size_t nMax)
{
    if (str.size() > nMax)
        str.resize(nMax);
    if (str.size() < nMax)
        return str + "X";
    str.back() = str.back() == 'X' ? 'Y' : 'X';
    return str;
}

// Whether a fault limited to the first nLimit requests (0: every one) of a recording
// takes this one; counts the turn in *pTaken.
bool TakeTurn(bool bOn, std::uint32_t nLimit, std::uint32_t* pTaken)
{
    if (!bOn || (nLimit != 0 && *pTaken >= nLimit))
        return false;
    ++*pTaken;
    return true;
}

} // namespace

SimTotals& SimTotals::operator+=(const SimTotals& other)
{
    nRegistrations += other.nRegistrations;
    nKeepAlives += other.nKeepAlives;
    nQueries += other.nQueries;
    nFileRequests += other.nFileRequests;
    nWrongAddress += other.nWrongAddress;
    nRefused += other.nRefused;
    nWithheld += other.nWithheld;
    nTransfers += other.nTransfers;
    nStrays += other.nStrays;
    nCompleted += other.nCompleted;
    nCut += other.nCut;
    nFailed += other.nFailed;
    nBytes += other.nBytes;
    nRepeatedRequests += other.nRepeatedRequests;
    nReusedIds += other.nReusedIds;
    nUploads += other.nUploads;
    nDroppedIn += other.nDroppedIn;
    nDroppedOut += other.nDroppedOut;
    return *this;
}

CSimRecorder::CSimRecorder(std::string strName, const SimOptions& options, SimEventSink sink)
    : m_strName(std::move(strName)),
      m_options(options),
      m_recordings(m_strName, options),
      m_sink(std::move(sink)),
      m_lossIn(options.dLossPercent, options.nLossSeed, m_strName, CSimLoss::Direction::In),
      m_lossOut(options.dLossPercent, options.nLossSeed, m_strName, CSimLoss::Direction::Out)
{
    for (const SimRecording& rec : m_recordings.All()) {
        SimRecordingStats stats;
        stats.nChannel = rec.nChannel;
        stats.nIndex = rec.nIndex;
        stats.strFileName = rec.strFileName;
        m_vecStats.push_back(std::move(stats));
    }
    m_vecTurns.assign(m_vecStats.size(), FaultTurns {});
}

CSimRecorder::~CSimRecorder()
{
    Stop();
}

int CSimRecorder::Start()
{
    if (m_bStarted.exchange(true))
        return -1;
    m_udp = CSocket::CreateUdp(m_options.strLocalIp.c_str(), 0);
    if (!m_udp.IsValid()) {
        Emit(1, Format("cannot open a UDP socket: %s", ErrnoText(errno).c_str()));
        return -1;
    }
    m_nLocalPort = m_udp.LocalPort();
    m_control = std::thread([this] { ControlLoop(); });
    return 0;
}

void CSimRecorder::RequestStop()
{
    m_bStopping = true;
    m_stopEvent.Set();
    m_udp.Abort();
    std::lock_guard guard(m_transferLock);
    for (auto& pTransfer : m_transfers)
        pTransfer->sock.Abort();
}

void CSimRecorder::Stop()
{
    RequestStop();
    if (m_control.joinable())
        m_control.join();
    {
        // Again: the control thread may have started a transfer before it ended.
        std::lock_guard guard(m_transferLock);
        for (auto& pTransfer : m_transfers)
            pTransfer->sock.Abort();
    }
    // Joined outside the lock: a transfer takes it to close its socket.
    for (auto& pTransfer : m_transfers)
        if (pTransfer->thread.joinable())
            pTransfer->thread.join();
    {
        std::lock_guard guard(m_transferLock);
        m_transfers.clear();
    }
    m_udp.Close();
}

std::vector<SimRecordingStats> CSimRecorder::Stats() const
{
    std::lock_guard guard(m_statsLock);
    return m_vecStats;
}

SimTotals CSimRecorder::Totals() const
{
    std::lock_guard guard(m_statsLock);
    return m_totals;
}

int CSimRecorder::ActiveTransfers() const
{
    std::lock_guard guard(m_transferLock);
    int n = 0;
    for (const auto& pTransfer : m_transfers)
        if (!pTransfer->bDone.load())
            ++n;
    return n;
}

void CSimRecorder::Emit(int nLevel, const std::string& strText)
{
    if (m_sink)
        m_sink(nLevel, m_strName, strText);
}

void CSimRecorder::ControlLoop()
{
    const std::int64_t nStartMs = MonotonicMs();
    std::int64_t nNextSendMs = nStartMs;
    std::vector<unsigned char> buf(kMaxDatagramSize);
    while (!m_bStopping.load()) {
        ReapTransfers();
        std::int64_t nNow = MonotonicMs();
        // Registration is retried until it succeeds once; after that the keepalive
        // stop fault silences everything periodic.
        bool bPeriodic = !m_bEverRegistered || m_options.faults.nKeepAliveStopS < 0
                         || nNow - nStartMs < std::int64_t(m_options.faults.nKeepAliveStopS) * 1000;
        if (bPeriodic && nNow >= nNextSendMs) {
            if (m_bRegistered.load())
                SendKeepAlive();
            else
                SendRegistration();
            nNextSendMs = nNow + m_options.nKeepAliveMs;
        }
        int nWait = bPeriodic ? static_cast<int>(std::clamp<std::int64_t>(nNextSendMs - nNow, 0, kMaxIdleWaitMs))
                              : kMaxIdleWaitMs;
        int nReady = m_udp.WaitReadable(nWait);
        if (nReady < 0) {
            if (errno == EINTR && !m_udp.IsAborted())
                continue;
            break;
        }
        if (nReady == 0)
            continue;
        std::string strIp;
        std::uint16_t nPort = 0;
        ssize_t nLen = m_udp.RecvFrom(buf.data(), buf.size(), &strIp, &nPort);
        if (nLen < 0 || static_cast<std::size_t>(nLen) > buf.size())
            continue;
        if (m_lossIn.Drop()) {
            {
                std::lock_guard guard(m_statsLock);
                ++m_totals.nDroppedIn;
            }
            Emit(2, Format("datagram of %zd bytes from %s:%u lost on the way in", nLen, strIp.c_str(), nPort));
            continue;
        }
        OnDatagram(buf.data(), static_cast<std::size_t>(nLen), strIp, nPort, &nNextSendMs);
    }
}

void CSimRecorder::SendRegistration()
{
    unsigned char datagram[kRegisterSize] = {};
    ControlHeader header;
    header.command = ZELP_REGISTER;
    header.transactionId = m_nNextTid++;
    header.payloadLength = kRegisterSize - kControlHeaderSize;
    EncodeHeader(header, datagram);
    PutText(datagram + kRegisterNameOffset, kNameFieldSize, m_strName);
    datagram[kRegisterChannelsOffset] = static_cast<unsigned char>(m_options.nChannels);
    m_nRegisterTid = header.transactionId;
    SendDatagram(m_options.strServerIp, m_options.nServerPort, datagram, sizeof(datagram), "registration");
}

void CSimRecorder::SendKeepAlive()
{
    const SimFaults& faults = m_options.faults;
    ++m_nKeepAlivesSent;
    // The length faults cut the record; the header's payload length says what is sent.
    // A name of 32 bytes has no NUL, so its short keepalive is the whole record.
    std::size_t nNameLen = std::min(m_strName.size(), kNameFieldSize);
    bool bCutInName = faults.nShortDatagramEvery != 0 && m_nKeepAlivesSent % faults.nShortDatagramEvery == 0;
    std::size_t nLen = kKeepAliveMinSize;
    if (bCutInName)
        nLen = kKeepAliveNameOffset + nNameLen / 2;
    else if (faults.bShortKeepAlive)
        nLen = std::min(kKeepAliveMinSize, kKeepAliveNameOffset + nNameLen + 1);
    unsigned char datagram[kKeepAliveMinSize] = {};
    ControlHeader header;
    header.command = ZELP_KEEPALIVE;
    header.transactionId = m_nNextTid++;
    header.payloadLength = static_cast<std::uint32_t>(nLen - kControlHeaderSize);
    EncodeHeader(header, datagram);
    PutText(datagram + kKeepAliveNameOffset, kNameFieldSize, m_strName);
    {
        std::lock_guard guard(m_statsLock);
        ++m_totals.nKeepAlives;
    }
    if (bCutInName)
        Emit(1, Format("keepalive cut to %zu bytes, inside its name", nLen));
    SendDatagram(m_options.strServerIp, m_options.nServerPort, datagram, nLen,
                 nLen < kKeepAliveMinSize ? Format("short keepalive of %zu bytes", nLen) : std::string("keepalive"));
}

void CSimRecorder::OnDatagram(const unsigned char* pData, std::size_t nLen, const std::string& strIp,
                              std::uint16_t nPort, std::int64_t* pNextSendMs)
{
    ControlHeader header;
    if (!DecodeHeader(pData, nLen, &header))
        return;
    if (header.isReply != 0) {
        if (header.command == ZELP_REGISTER && header.transactionId == m_nRegisterTid && header.status == kStatusOk
            && !m_bRegistered.load()) {
            m_bRegistered = true;
            m_bEverRegistered = true;
            {
                std::lock_guard guard(m_statsLock);
                ++m_totals.nRegistrations;
            }
            Emit(1, Format("registered with %s:%u, %d channels", strIp.c_str(), nPort, m_options.nChannels));
            *pNextSendMs = MonotonicMs();  // the first keepalive starts the server's downloads
        } else if (header.command == ZELP_KEEPALIVE && header.status == kStatusNotRegistered && m_bRegistered.load()) {
            m_bRegistered = false;
            Emit(1, "keepalive answered 402, registering again");
            *pNextSendMs = MonotonicMs();
        }
        return;
    }
    if (header.command != ZELP_QUERY_EARLIEST_FILE_IN_TIME_SPAN && header.command != ZELP_QUERY_FILE_COUNT
        && header.command != ZELP_GETFILE)
        return;
    if (m_options.faults.bSilent) {
        Emit(2, Format("request %u (command %u) left unanswered", header.transactionId, header.command));
        return;
    }
    // The server sends a request again, same id, when no reply reached it: answer it
    // as the first time, but act on it once. The id alone could be a restarted
    // server's new request, so the bytes must match too.
    std::uint64_t nDigest = CSimRequestHistory::Digest(pData, nLen);
    if (const CSimRequestHistory::Entry* pFirst = m_history.Find(strIp, nPort, header.transactionId)) {
        if (pFirst->nDigest == nDigest) {
            OnRepeat(header, *pFirst, strIp, nPort);
            return;
        }
        {
            std::lock_guard guard(m_statsLock);
            ++m_totals.nReusedIds;
        }
        Emit(1, Format("request %u (command %u) carries the id of a different recent request: handled as new",
                       header.transactionId, header.command));
    }
    m_history.Add(strIp, nPort, header.transactionId, nDigest);
    const unsigned char* pPayload = pData + kControlHeaderSize;
    std::size_t nPayload = nLen - kControlHeaderSize;
    if (header.command == ZELP_GETFILE)
        OnGetFile(header, pPayload, nPayload, strIp, nPort);
    else
        OnQuery(header, pPayload, nPayload, strIp, nPort);
}

void CSimRecorder::OnRepeat(const ControlHeader& header, const CSimRequestHistory::Entry& first,
                            const std::string& strIp, std::uint16_t nPort)
{
    {
        std::lock_guard guard(m_statsLock);
        ++m_totals.nRepeatedRequests;
    }
    if (!first.bAnswered) {
        Emit(1, Format("request %u (command %u) repeated; its reply stays withheld", header.transactionId,
                       header.command));
        return;
    }
    ControlHeader reply;
    DecodeHeader(first.reply.data(), first.reply.size(), &reply);
    Emit(1, Format("request %u (command %u) repeated, answered %u again", header.transactionId, header.command,
                   reply.status));
    SendDatagram(strIp, nPort, first.reply.data(), first.reply.size(),
                 Format("reply to request %u", header.transactionId));
}

void CSimRecorder::SendDatagram(const std::string& strIp, std::uint16_t nPort, const unsigned char* pData,
                                std::size_t nLen, const std::string& strWhat)
{
    if (m_lossOut.Drop()) {
        {
            std::lock_guard guard(m_statsLock);
            ++m_totals.nDroppedOut;
        }
        Emit(2, Format("%s to %s:%u lost on the way out", strWhat.c_str(), strIp.c_str(), nPort));
        return;
    }
    if (m_udp.SendTo(strIp.c_str(), nPort, pData, nLen) < 0) {
        // UDP may lose it anyway: the control loop goes on.
        Emit(1, Format("%s to %s:%u could not be sent: %s", strWhat.c_str(), strIp.c_str(), nPort,
                       ErrnoText(errno).c_str()));
        return;
    }
    Emit(2, Format("%s sent to %s:%u", strWhat.c_str(), strIp.c_str(), nPort));
}

void CSimRecorder::SendReply(const ControlHeader& request, std::uint16_t nStatus, const unsigned char* pPayload,
                             std::size_t nLen, const std::string& strIp, std::uint16_t nPort)
{
    unsigned char datagram[kControlHeaderSize + kEarliestFileRecordSize] = {};
    nLen = std::min(nLen, sizeof(datagram) - kControlHeaderSize);
    ControlHeader reply = request;
    reply.isReply = 1;
    reply.status = nStatus;
    reply.payloadLength = static_cast<std::uint32_t>(nLen);
    EncodeHeader(reply, datagram);
    if (nLen > 0)
        std::memcpy(datagram + kControlHeaderSize, pPayload, nLen);
    m_history.SetReply(strIp, nPort, request.transactionId, datagram, kControlHeaderSize + nLen);
    SendDatagram(strIp, nPort, datagram, kControlHeaderSize + nLen,
                 Format("reply %u to request %u", nStatus, request.transactionId));
}

void CSimRecorder::OnQuery(const ControlHeader& header, const unsigned char* pPayload, std::size_t nLen,
                           const std::string& strIp, std::uint16_t nPort)
{
    QueryPayload query;
    if (!DecodeQuery(pPayload, nLen, &query)) {
        Emit(1, Format("query %u too short (%zu payload bytes), answered %u", header.transactionId, nLen,
                       kStatusBadRequest));
        SendReply(header, kStatusBadRequest, nullptr, 0, strIp, nPort);
        return;
    }
    {
        std::lock_guard guard(m_statsLock);
        ++m_totals.nQueries;
    }
    std::string strSpan = Format("ch%02d type %u %s..%s", query.channel, query.fileType,
                                 WallClockText(query.start).c_str(), WallClockText(query.end).c_str());
    if (header.command == ZELP_QUERY_FILE_COUNT && m_options.faults.bNoCount) {
        Emit(1, Format("file count query %s: not answered", strSpan.c_str()));
        return;
    }
    if (header.command == ZELP_QUERY_FILE_COUNT) {
        FileCountRecord record;
        record.nCount = m_recordings.Count(query.channel, query.fileType, query.start, query.end);
        unsigned char payload[kFileCountRecordSize];
        EncodeFileCountRecord(record, payload);
        SendReply(header, kStatusOk, payload, sizeof(payload), strIp, nPort);
        Emit(1, Format("file count query %s: %u", strSpan.c_str(), record.nCount));
        return;
    }
    const SimRecording* pRec = m_recordings.FindEarliest(query.channel, query.fileType, query.start, query.end);
    if (pRec == nullptr) {
        SendReply(header, kStatusNotFound, nullptr, 0, strIp, nPort);
        Emit(1, Format("earliest file query %s: none", strSpan.c_str()));
        return;
    }
    EarliestFileRecord record;
    std::strncpy(record.szFileName, pRec->strFileName.c_str(), sizeof(record.szFileName) - 1);
    record.nStart = pRec->tStart;
    record.nEnd = pRec->tEnd;
    record.nChannel = pRec->nChannel;
    unsigned char payload[kEarliestFileRecordSize];
    EncodeEarliestFileRecord(record, payload);
    SendReply(header, kStatusOk, payload, sizeof(payload), strIp, nPort);
    Emit(1, Format("earliest file query %s: %s", strSpan.c_str(), pRec->strFileName.c_str()));
}

void CSimRecorder::OnGetFile(const ControlHeader& header, const unsigned char* pPayload, std::size_t nLen,
                             const std::string& strIp, std::uint16_t nPort)
{
    GetFileRequest request;
    std::uint32_t nAddr = 0;
    if (!DecodeGetFileRequest(pPayload, nLen, &request) || !ParseIpv4(request.szListenIp, &nAddr)
        || request.nListenPort == 0) {
        Emit(1, Format("malformed file request %u, answered %u", header.transactionId, kStatusBadRequest));
        SendReply(header, kStatusBadRequest, nullptr, 0, strIp, nPort);
        return;
    }
    const SimRecording* pRec = m_recordings.FindByName(request.nChannel, request.szFileName);
    std::string strWhat = Format("ch%02d %s seek %u -> %s:%u", request.nChannel, request.szFileName, request.nSeek,
                                 request.szListenIp, request.nListenPort);
    std::uint32_t nServerAddr = 0;
    if (m_options.bCheckAddress
        && (!ParseIpv4(m_options.strServerIp.c_str(), &nServerAddr) || nServerAddr != nAddr)) {
        {
            std::lock_guard guard(m_statsLock);
            ++m_totals.nFileRequests;
            ++m_totals.nWrongAddress;
        }
        SendReply(header, kStatusBadRequest, nullptr, 0, strIp, nPort);
        Emit(1, Format("file request %s: listen address is not the server's %s, answered %u", strWhat.c_str(),
                       m_options.strServerIp.c_str(), kStatusBadRequest));
        return;
    }
    if (pRec == nullptr) {
        {
            std::lock_guard guard(m_statsLock);
            ++m_totals.nFileRequests;
        }
        SendReply(header, kStatusNotFound, nullptr, 0, strIp, nPort);
        Emit(1, Format("file request %s: no such recording, answered %u", strWhat.c_str(), kStatusNotFound));
        return;
    }
    std::size_t nIndex = m_recordings.IndexOf(*pRec);
    std::uint16_t nStatus = kStatusOk;
    bool bWithhold = false;
    auto pTransfer = std::make_unique<Transfer>();
    {
        std::lock_guard guard(m_statsLock);
        SimRecordingStats& stats = m_vecStats[nIndex];
        ++m_totals.nFileRequests;
        ++stats.nRequests;
        stats.vecSeeks.push_back(request.nSeek);
        const SimFaults& faults = m_options.faults;
        FaultTurns& turns = m_vecTurns[nIndex];
        if (TakeTurn(faults.nRefuseStatus != 0, faults.nRefuseCount, &stats.nRefused)) {
            nStatus = faults.nRefuseStatus;
            ++m_totals.nRefused;
        } else if (request.nSeek > pRec->nSize) {
            nStatus = kStatusBadSeek;
        } else {
            pTransfer->bCut =
                TakeTurn(faults.nCutAfterBytes != 0 || faults.bHeaderOnly, faults.nCutCount, &turns.nCuts);
            if (TakeTurn(faults.nConnectDelayMs > 0, faults.nConnectDelayCount, &turns.nDelays))
                pTransfer->nDelayMs = faults.nConnectDelayMs;
            pTransfer->bDouble = TakeTurn(faults.bDoubleConnect, faults.nDoubleConnectCount, &turns.nDoubles);
            pTransfer->bForeign = TakeTurn(faults.bForeignDevice || faults.bForeignFile || faults.bWrongChannel,
                                           faults.nForeignHeaderCount, &turns.nForeign);
            bWithhold = TakeTurn(faults.bWithholdReply, faults.nWithholdReplyCount, &stats.nWithheld);
            if (bWithhold)
                ++m_totals.nWithheld;
            ++stats.nUploads;
            ++m_totals.nUploads;
        }
    }
    if (!bWithhold)
        SendReply(header, nStatus, nullptr, 0, strIp, nPort);
    if (nStatus != kStatusOk) {
        Emit(1, Format("file request %s: refused with status %u", strWhat.c_str(), nStatus));
        return;
    }
    std::string strNotes;
    if (bWithhold)
        strNotes += ", reply withheld";
    if (pTransfer->nDelayMs > 0)
        strNotes += Format(", connecting in %d ms", pTransfer->nDelayMs);
    if (pTransfer->bDouble)
        strNotes += ", a stray connection first";
    if (pTransfer->bForeign)
        strNotes += ", foreign header";
    if (pTransfer->bCut)
        strNotes += ", to be cut";
    Emit(1, Format("file request %s%s", strWhat.c_str(), strNotes.c_str()));
    pTransfer->pRecording = pRec;
    pTransfer->nSeek = request.nSeek;
    pTransfer->strIp = request.szListenIp;
    pTransfer->nPort = request.nListenPort;
    Transfer* pRaw = pTransfer.get();
    std::lock_guard guard(m_transferLock);
    m_transfers.push_back(std::move(pTransfer));
    pRaw->thread = std::thread([this, pRaw] { RunTransfer(pRaw); });
}

CSocket CSimRecorder::ConnectBack(const std::string& strIp, std::uint16_t nPort, int* pErr)
{
    // Short attempts, so that Stop never waits long for a connect in progress.
    std::int64_t nDeadline = MonotonicMs() + kConnectTimeoutMs;
    while (true) {
        int nSlice = static_cast<int>(std::min<std::int64_t>(kConnectSliceMs, nDeadline - MonotonicMs()));
        CSocket sock = CSocket::ConnectTcp(strIp.c_str(), nPort, std::max(nSlice, 1));
        if (sock.IsValid())
            return sock;
        *pErr = errno;
        if (*pErr != ETIMEDOUT || m_bStopping.load() || MonotonicMs() >= nDeadline)
            return CSocket();
    }
}

bool CSimRecorder::SendContent(CSocket& sock, std::uint64_t nSeed, std::uint64_t nFrom, std::uint64_t nTo,
                               std::vector<unsigned char>& buf, std::uint64_t* pSent)
{
    std::ifstream clip;
    if (!m_options.strRecFile.empty()) {
        clip.open(m_options.strRecFile, std::ios::binary);
        clip.seekg(static_cast<std::streamoff>(nFrom));
    }
    const std::int64_t nStartMs = MonotonicMs();
    const std::uint64_t nFirst = nFrom;
    const auto nRate = static_cast<std::uint64_t>(m_options.faults.nRateKBps);
    while (nFrom < nTo) {
        std::size_t nChunk = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), nTo - nFrom));
        if (m_options.strRecFile.empty()) {
            CSimRecordings::Fill(nSeed, nFrom, buf.data(), nChunk);
        } else {
            // Past the clip's end (the extra-bytes fault) or after a read failure: zeros.
            std::fill(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(nChunk), 0);
            clip.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(nChunk));
        }
        if (!sock.SendAll(buf.data(), nChunk))
            return false;
        nFrom += nChunk;
        *pSent += nChunk;
        m_nLiveBytes += nChunk;
        // A slow link: the next chunk goes when the bytes so far are due at the rate.
        const std::int64_t nWaitMs =
            nRate == 0 ? 0 : nStartMs + static_cast<std::int64_t>((nFrom - nFirst) / nRate) - MonotonicMs();
        if (nWaitMs > 0 && m_stopEvent.Wait(static_cast<int>(nWaitMs)))
            return false;
    }
    return true;
}

std::string CSimRecorder::ForeignFileName(const SimRecording& recording) const
{
    // The channel's next recording (after the last, its first): a name the server
    // knows, so that trusting the header would overwrite another file.
    const std::vector<SimRecording>& vecAll = m_recordings.All();
    std::size_t nIndex = m_recordings.IndexOf(recording);
    std::size_t nNext = nIndex - recording.nIndex;
    if (nIndex + 1 < vecAll.size() && vecAll[nIndex + 1].nChannel == recording.nChannel)
        nNext = nIndex + 1;
    if (nNext != nIndex)
        return vecAll[nNext].strFileName;
    return Altered(recording.strFileName, kNameFieldSize - 1);
}

void CSimRecorder::BuildHeader(const Transfer& transfer, unsigned char* pOut) const
{
    const SimRecording& rec = *transfer.pRecording;
    const SimFaults& faults = m_options.faults;
    TransferHeader hdr {};
    std::string strDevice = m_strName;
    if (faults.bUnsafeDevice)
        strDevice = "../" + m_strName;
    else if (transfer.bForeign && faults.bForeignDevice)
        strDevice = Altered(m_strName, sizeof(hdr.szDevice));
    std::string strFile = transfer.bForeign && faults.bForeignFile ? ForeignFileName(rec) : rec.strFileName;
    PutText(reinterpret_cast<unsigned char*>(hdr.szDevice), sizeof(hdr.szDevice), strDevice);
    PutText(reinterpret_cast<unsigned char*>(hdr.szChan), sizeof(hdr.szChan), strFile);
    hdr.tStart = rec.tStart;
    hdr.tEnd = rec.tEnd;
    hdr.nFileSize = static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(std::int64_t(rec.nSize) + faults.nSizeDelta, 0, 0xFFFFFFFFLL));
    hdr.nChan = static_cast<std::uint8_t>(rec.nChannel + (transfer.bForeign && faults.bWrongChannel ? 1 : 0));
    EncodeTransferHeader(hdr, pOut);
}

bool CSimRecorder::OpenConnection(Transfer* pTransfer, std::string* pFailure)
{
    int nErr = 0;
    CSocket sock = ConnectBack(pTransfer->strIp, pTransfer->nPort, &nErr);
    std::lock_guard guard(m_transferLock);
    if (!sock.IsValid()) {
        *pFailure = Format("connect to %s:%u failed: %s", pTransfer->strIp.c_str(), pTransfer->nPort,
                           ErrnoText(nErr).c_str());
        return false;
    }
    if (m_bStopping.load()) {
        *pFailure = "stopped before sending";
        return false;
    }
    pTransfer->sock = std::move(sock);
    return true;
}

bool CSimRecorder::SendHeader(Transfer* pTransfer, const unsigned char* pHeader, std::string* pFailure)
{
    const SimFaults& faults = m_options.faults;
    int nPieces = std::max(1, faults.nHeaderPieces);
    std::size_t nDone = 0;
    for (int i = 0; i < nPieces; ++i) {
        std::size_t nEnd = kTransferHeaderSize * static_cast<std::size_t>(i + 1) / static_cast<std::size_t>(nPieces);
        if (i > 0 && faults.nPiecePauseMs > 0 && m_stopEvent.Wait(faults.nPiecePauseMs)) {
            *pFailure = "stopped while sending the header";
            return false;
        }
        if (nEnd > nDone && !pTransfer->sock.SendAll(pHeader + nDone, nEnd - nDone)) {
            *pFailure = Format("sending the header failed: %s", ErrnoText(errno).c_str());
            return false;
        }
        nDone = nEnd;
    }
    return true;
}

void CSimRecorder::CloseConnection(Transfer* pTransfer)
{
    // Closed under the lock so that Stop never aborts a reused descriptor number.
    std::lock_guard guard(m_transferLock);
    pTransfer->sock.Close();
}

void CSimRecorder::RunTransfer(Transfer* pTransfer)
{
    const SimRecording& rec = *pTransfer->pRecording;
    const SimFaults& faults = m_options.faults;
    std::size_t nIndex = m_recordings.IndexOf(rec);
    std::string strName = Format("ch%02d %s", rec.nChannel, rec.strFileName.c_str());
    unsigned char header[kTransferHeaderSize];
    BuildHeader(*pTransfer, header);
    std::vector<unsigned char> buf(kStreamChunk);
    std::uint64_t nSent = 0;
    std::uint64_t nStraySent = 0;
    std::string strFailure;

    if (pTransfer->nDelayMs > 0 && m_stopEvent.Wait(pTransfer->nDelayMs))
        strFailure = "stopped before connecting";

    // A recorder that gave up on its first connection and started over: the stray
    // one carries the same header and half of the bytes, and is closed before the
    // second connects.
    bool bStray = false;
    if (strFailure.empty() && pTransfer->bDouble) {
        if (OpenConnection(pTransfer, &strFailure)) {
            bStray = true;
            std::uint64_t nHalf = pTransfer->nSeek + (rec.nSize - pTransfer->nSeek) / 2;
            if (SendHeader(pTransfer, header, &strFailure)
                && !SendContent(pTransfer->sock, rec.nSeed, pTransfer->nSeek, nHalf, buf, &nStraySent))
                strFailure = Format("sending failed after %llu bytes: %s",
                                    static_cast<unsigned long long>(nStraySent),
                                    m_bStopping.load() ? "stopped" : ErrnoText(errno).c_str());
            CloseConnection(pTransfer);
        }
        if (strFailure.empty())
            Emit(1, Format("stray connection %s closed after the header and %llu bytes from seek %u",
                           strName.c_str(), static_cast<unsigned long long>(nStraySent), pTransfer->nSeek));
        else
            strFailure = "stray connection: " + strFailure;
    }

    bool bConnected = strFailure.empty() && OpenConnection(pTransfer, &strFailure);
    std::uint64_t nStop = rec.nSize;
    bool bCut = false;
    if (bConnected && SendHeader(pTransfer, header, &strFailure)) {
        std::uint64_t nCutAfter = faults.bHeaderOnly ? 0 : faults.nCutAfterBytes;
        if (pTransfer->bCut && pTransfer->nSeek + nCutAfter < nStop) {
            nStop = pTransfer->nSeek + nCutAfter;
            bCut = true;
        }
        if (!SendContent(pTransfer->sock, rec.nSeed, pTransfer->nSeek, nStop, buf, &nSent))
            strFailure = Format("sending failed after %llu bytes: %s", static_cast<unsigned long long>(nSent),
                                m_bStopping.load() ? "stopped" : ErrnoText(errno).c_str());
        if (strFailure.empty() && !bCut && faults.nExtraBytes > 0
            && !SendContent(pTransfer->sock, rec.nSeed, rec.nSize, std::uint64_t(rec.nSize) + faults.nExtraBytes, buf,
                            &nSent))
            strFailure = Format("sending the extra bytes failed: %s", ErrnoText(errno).c_str());
        // The linger is a pause that a stop cuts short; either way it is over.
        if (strFailure.empty() && !bCut && faults.nLingerMs > 0)
            (void)m_stopEvent.Wait(faults.nLingerMs);
    }
    CloseConnection(pTransfer);
    {
        std::lock_guard guard(m_statsLock);
        SimRecordingStats& stats = m_vecStats[nIndex];
        stats.nBytes += nSent + nStraySent;
        m_totals.nBytes += nSent + nStraySent;
        if (bStray) {
            ++stats.nStrays;
            ++m_totals.nStrays;
        }
        if (bConnected) {
            ++stats.nTransfers;
            ++m_totals.nTransfers;
        }
        if (!strFailure.empty()) {
            ++stats.nFailed;
            ++m_totals.nFailed;
        } else if (bCut) {
            ++stats.nCut;
            ++m_totals.nCut;
        } else {
            ++stats.nCompleted;
            ++m_totals.nCompleted;
        }
    }
    if (!strFailure.empty())
        Emit(1, Format("transfer failed %s: %s", strName.c_str(), strFailure.c_str()));
    else if (bCut)
        Emit(1, Format("transfer cut %s after %llu bytes from seek %u", strName.c_str(),
                       static_cast<unsigned long long>(nSent), pTransfer->nSeek));
    else
        Emit(1, Format("transfer done %s: %llu bytes from seek %u", strName.c_str(),
                       static_cast<unsigned long long>(nSent), pTransfer->nSeek));
    pTransfer->bDone = true;
}

void CSimRecorder::ReapTransfers()
{
    std::list<std::unique_ptr<Transfer>> finished;
    {
        std::lock_guard guard(m_transferLock);
        for (auto it = m_transfers.begin(); it != m_transfers.end();) {
            auto itNext = std::next(it);
            if ((*it)->bDone.load())
                finished.splice(finished.end(), m_transfers, it);
            it = itNext;
        }
    }
    for (auto& pTransfer : finished)
        pTransfer->thread.join();
}
