#pragma once

#include "platform/Mutex.h"
#include "platform/Socket.h"
#include "platform/ThreadSafety.h"
#include "transfer/TransferOutcome.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The port the n-th call of a listen-port counter hands out (n counted from 1):
// 10000, 10001, ... 65535, then 10000 again. Ports below stay out: they need root
// or belong to other services. Any thread.
std::uint16_t ListenPortOf(std::uint32_t nCount);

// The next port of the process-wide listen-port counter; numbers are never given
// back. Any thread (the counter has its own lock).
std::uint16_t NextListenPort();

class CTCPSrv;

// Listens with listener on every address, on the next port of the counter that is
// free: a busy one is passed over at once, up to kListenPortTries ports. 0 with the
// port in nPort, or -1 (nPort the last port tried). Task thread.
int ListenOnNextPort(CTCPSrv& listener, std::uint16_t& nPort);
constexpr int kListenPortTries = 64;

// The listener a channel task owns: a recorder connects back to it to send a file.
// One connection is accepted per accept window and handed to the receiver, both on
// the task's own thread.
//
// Threads: the owning task calls Listen, GetListenAddr and WaitForConnection, and the
// receiver runs inside WaitForConnection on that thread; any thread may call
// CloseSockets and TakeReceivedBytes. Each descriptor is released exactly once: a
// CloseSockets only wakes the waiters (Abort); the receiver closes the accepted
// socket after itself, the destructor the listening one.
class CServerCounters;

class CTCPSrv {
public:
    // What runs for each accepted connection; its result is ignored.
    using Receiver = std::function<int(CTCPSrv*)>;
    // What must be kept before a received file (whole and synced) takes its finished
    // name path: it returns once that is done.
    using BeforeRename = std::function<void(const std::string& path, std::uint64_t nSize)>;

    // A listener whose connections go to receiver (ReceiveFileStream for a download;
    // tests give their own). szAdvertisedIp is what GetListenAddr names; pCounters,
    // when given, counts the bytes received. Task thread.
    explicit CTCPSrv(Receiver receiver, const char* szAdvertisedIp = "127.0.0.1",
                     CServerCounters* pCounters = nullptr);
    virtual ~CTCPSrv();
    CTCPSrv(const CTCPSrv&) = delete;
    CTCPSrv& operator=(const CTCPSrv&) = delete;

    // Listens on szIp (dotted text; null for every local address) and nPort (0 lets
    // the system choose) with a backlog of 5. 0 on success, -1 when listening fails
    // or the listener already listens. Task thread.
    int Listen(const char* szIp, std::uint16_t nPort) EXCLUDES(m_sockLock);

    // The address recorders are told to connect to: the advertised address given at
    // construction, the settings' IP text (the socket listens on every address), and
    // the listening port. Task thread, after Listen.
    void GetListenAddr(char (&szIp)[16], std::uint16_t& nPort) const;

    // Whether a connection waits to be accepted. Task thread.
    bool HasWaitingConnection();

    // What the next connection must carry: the registered vehicle name, the file
    // name requested and the channel; a header naming anything else is refused.
    // Empty device: no check. Task thread, before WaitForConnection.
    void ExpectTransfer(const std::string& device, const std::string& fileName, std::uint8_t nChannel);
    // For the receiver. Task thread.
    const std::string& ExpectedDevice() const { return m_strExpectedDevice; }
    const std::string& ExpectedFile() const { return m_strExpectedFile; }
    std::uint8_t ExpectedChannel() const { return m_nExpectedChannel; }
    // Runs fn before the next connection's file takes its finished name (none: nothing
    // runs). Task thread, before WaitForConnection.
    void SetBeforeRename(BeforeRename fn) { m_beforeRename = std::move(fn); }

    // Opens one accept window of Timing().nAcceptWindowMs on the calling thread:
    // returns when the window closed empty or the receiver of the one
    // accepted connection has ended, with how that connection ended. Resets the
    // received-bytes counter first. Task thread.
    TransferOutcome WaitForConnection() EXCLUDES(m_sockLock);

    // Wakes whatever waits on the listening or the accepted socket; this listener
    // accepts nothing afterwards. Any thread, any number of times.
    void CloseSockets() EXCLUDES(m_sockLock);

    // The bytes written to disk since the last call, reset in the same step. Any thread.
    std::uint32_t TakeReceivedBytes();

    // For the receiver of the current connection (task thread):
    // waits until the accepted socket is readable (1), time-out (0), error (-1);
    int WaitAccepted(int nTimeoutMs);
    // receives up to nLen bytes: count, 0 at end of stream, -1 on error;
    ssize_t RecvAccepted(void* pBuf, std::size_t nLen);
    // the same for bytes that have already arrived: -1 with EAGAIN when none have;
    ssize_t TryRecvAccepted(void* pBuf, std::size_t nLen);
    // counts bytes written to disk;
    void AddReceivedBytes(std::uint32_t nBytes);
    // releases the accepted socket (again is harmless);
    void CloseAccepted() EXCLUDES(m_sockLock);
    // runs what SetBeforeRename gave, right before the file at path takes its name;
    void NoteBeforeRename(const std::string& path, std::uint64_t nSize) const;
    // records how the connection ended, for WaitForConnection to return: the bytes
    // the connection added, and for a stored file its whole size and its path.
    void SetOutcome(TransferResult eResult, std::uint64_t nBytes = 0, std::uint64_t nFileBytes = 0,
                    const std::string& strPath = {});

private:
    void x_AcceptAndReceive() EXCLUDES(m_sockLock);

    // Guards m_bClosed and every change of the sockets against CloseSockets. The
    // sockets themselves are not GUARDED_BY it: only the task thread changes them
    // (under the lock), so that thread reads them without it.
    CMutex m_sockLock;
    CSocket m_cAccepted;    // invalid between transfers
    CSocket m_cListen;
    std::atomic<std::uint32_t> m_nReceivedBytes {0};
    bool m_bClosed GUARDED_BY(m_sockLock) = false;
    Receiver m_receiver;
    char m_szAdvertisedIp[16] = {};
    CServerCounters* const m_pCounters;
    TransferOutcome m_outcome;  // written by the receiver, read when WaitForConnection returns
    // Set by the task before WaitForConnection, read by the receiver.
    std::string m_strExpectedDevice;
    std::string m_strExpectedFile;
    std::uint8_t m_nExpectedChannel = 0;
    BeforeRename m_beforeRename;
};
