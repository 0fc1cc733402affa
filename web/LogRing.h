#pragma once

#include "core/NotifyObserver.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// The recent event log for the dashboard: the last lines posted as NOTIFY_LOG, each
// numbered, so that a poller asks only for what it has not seen.
class CLogRing : public INotifyObserver {
public:
    static constexpr std::size_t kCapacity = 2000;  // lines kept
    static constexpr std::size_t kMaxAnswer = 500;  // lines handed out per call

    struct Line {
        std::uint64_t nSeq = 0;   // 1 for the first line ever, then one more each
        std::uint32_t tTime = 0;  // wall-clock seconds of its delivery
        std::string strVehicle;   // "" when the event did not say
        std::string strText;
    };

    // The process-wide ring, registered with the process-wide notification center on
    // first use and never destroyed (the center may deliver until the process ends).
    // Any thread; the first call on the window thread.
    static CLogRing& Instance();

    explicit CLogRing(std::size_t nCapacity = kCapacity);

    // Appends one line. Any thread (the delivery thread in the program).
    void Add(std::string strVehicle, std::string strText, std::uint32_t tTime) EXCLUDES(m_lock);

    // The lines numbered above nAfter, oldest first, at most nMax. Any thread.
    std::vector<Line> After(std::uint64_t nAfter, std::size_t nMax = kMaxAnswer) const EXCLUDES(m_lock);

    void OnNotifyEvent(std::uint32_t nKind, const void* pPayload) override;
    void OnNotifyBatch(const std::vector<const NotifyEvent*>& events) override;

private:
    const std::size_t m_nCapacity;
    mutable CMutex m_lock;  // held only to copy lines in or out
    std::deque<Line> m_lines GUARDED_BY(m_lock);
    std::uint64_t m_nLastSeq GUARDED_BY(m_lock) = 0;
};
