#pragma once

#include "core/NotifyObserver.h"
#include "platform/Condition.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <map>

// Hands notification events to a handler on the thread that owns this object (the
// window thread) and makes the delivery thread wait until the handler has run,
// unless the center is stopping: then a pending event is dropped, never run late.
class CNotifyBridge : public QObject, public INotifyObserver {
    Q_OBJECT
public:
    using Handler = std::function<void(std::uint32_t nKind, const void* pPayload)>;

    // Window thread.
    explicit CNotifyBridge(Handler handler, QObject* pParent = nullptr);

    // Delivery thread: one crossing to the window thread per batch.
    void OnNotifyEvent(std::uint32_t nKind, const void* pPayload) EXCLUDES(m_lock) override;
    void OnNotifyBatch(const std::vector<const NotifyEvent*>& events) EXCLUDES(m_lock) override;
    // Thread that stops the center.
    void OnNotifyStopping() EXCLUDES(m_lock) override;

private:
    // Where a handed-over batch is. One that is no longer listed was given up by its
    // delivery thread and is never run.
    enum class JobState { Pending, Running, Done };

    Handler m_handler;
    CMutex m_lock;
    CCondition m_done;  // a job ran, or the center is stopping
    bool m_bStopping GUARDED_BY(m_lock) = false;
    std::uint64_t m_nLastJob GUARDED_BY(m_lock) = 0;
    std::map<std::uint64_t, JobState> m_jobs GUARDED_BY(m_lock);  // by number: the batches waited for
};
