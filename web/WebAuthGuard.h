#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Wrong tokens, by client address: counted, logged without flooding the log (the
// first from an address, then at most one summary line per address per log period),
// and slowed down. An address that keeps failing is put in a penalty window that
// grows with each failure; while it lasts, its requests that carry a token are
// answered 429 without the token being looked at, so guessing goes no faster than
// the window allows and no worker waits for it.
class CWebAuthGuard {
public:
    // Failures in a row an address may make before its first penalty.
    static constexpr int kFreeFailures = 3;
    // Addresses remembered; past it the quiet ones are forgotten first.
    static constexpr std::size_t kMaxAddresses = 4096;

    // The milliseconds left of addr's penalty window at nNowMs; 0 when none. Workers.
    std::int64_t PenaltyLeftMs(const std::string& addr, std::int64_t nNowMs) EXCLUDES(m_lock);
    // A wrong token from addr at nNowMs: counted, maybe logged, the penalty grown. Workers.
    void OnFailure(const std::string& addr, std::int64_t nNowMs) EXCLUDES(m_lock);
    // A right token from addr: its failures are forgotten. Workers.
    void OnSuccess(const std::string& addr) EXCLUDES(m_lock);
    // Wrong tokens since the start. Any thread.
    std::uint64_t Failures() const { return m_nFailures.load(std::memory_order_relaxed); }

private:
    struct Address {
        int nInRow = 0;                 // failures since the last success
        std::int64_t nLastMs = 0;       // the last failure
        std::int64_t nPenaltyUntilMs = 0;
        std::int64_t nLoggedMs = 0;     // the last line logged for it
        std::uint64_t nUnlogged = 0;    // failures since that line
    };

    // Makes room for one more address (caller holds m_lock).
    void x_ForgetQuietLocked(std::int64_t nNowMs) REQUIRES(m_lock);

    std::atomic<std::uint64_t> m_nFailures {0};
    CMutex m_lock;  // never held while logging
    std::map<std::string, Address> m_addresses GUARDED_BY(m_lock);
};
