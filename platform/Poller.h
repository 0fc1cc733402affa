#pragma once

#include "platform/UniqueFd.h"
#include "platform/WakeFd.h"

#include <cstdint>

// Waits for descriptors to become ready.
//
// An open poller watches many descriptors, each under an id of the caller's, once:
// a descriptor reported ready is not reported again until it is rearmed, so that
// one thread can hand it to another meanwhile (epoll, one-shot). Wake ends a wait
// early from any thread.
//
// WaitOne waits for a single descriptor without an open poller, optionally together
// with a wake descriptor that ends the wait.
//
// Threads: Open and Close by the owner while no other thread uses the poller; Wait
// from one thread at a time; Add, Rearm and Wake from any thread.
class CPoller {
public:
    // What a descriptor is waited for.
    enum class Want : std::uint8_t {
        Nothing,
        Read,   // readable (or, for a listener, a connection waits)
        Write,  // room to write
    };

    // How WaitOne ended.
    enum class Outcome {
        Ready,     // the descriptor is ready, or failed: the next call on it tells
        Woken,     // the wake descriptor was signalled (it stays signalled)
        TimedOut,
        Failed,    // errno set (EINTR when a signal interrupted the wait)
    };

    // The one id a caller must not use: the poller's own wake-up.
    static constexpr std::uint64_t kReservedId = ~std::uint64_t {0};
    // Most ids one Wait reports.
    static constexpr int kMaxReady = 64;

    // 0, or -1 with errno when the poller cannot be set up.
    [[nodiscard]] int Open();
    [[nodiscard]] bool IsOpen() const { return m_epoll.IsValid(); }
    void Close();

    // Starts watching fd for eWant under nId; false with errno on failure.
    [[nodiscard]] bool Add(int fd, std::uint64_t nId, Want eWant);
    // Watches fd, which was reported, again (for eWant, under nId).
    [[nodiscard]] bool Rearm(int fd, std::uint64_t nId, Want eWant);

    // Waits up to nTimeoutMs (< 0 without limit) and puts the ids of the ready
    // descriptors into pIds (at most min(nMax, kMaxReady); nMax > 0). The number of
    // ids, 0 on time-out or Wake, -1 with errno (EINTR included).
    [[nodiscard]] int Wait(std::uint64_t* pIds, int nMax, int nTimeoutMs);
    // Ends the current or the next Wait early.
    void Wake();

    // Waits up to nTimeoutMs (< 0 without limit) until fd is ready for eWant, or
    // pWake (when given and open) is signalled; a signalled wake wins.
    [[nodiscard]] static Outcome WaitOne(int fd, Want eWant, int nTimeoutMs, const CWakeFd* pWake = nullptr);

private:
    // Adds (EPOLL_CTL_ADD) or rearms (EPOLL_CTL_MOD) fd under nId.
    bool x_Control(int nOp, int fd, std::uint64_t nId, Want eWant);
    CUniqueFd m_epoll;
    CWakeFd m_wake;
};
