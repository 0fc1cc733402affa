#pragma once

#include "core/NotifyObserver.h"

#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

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
    void OnNotifyEvent(std::uint32_t nKind, const void* pPayload) override;
    void OnNotifyBatch(const std::vector<const NotifyEvent*>& events) override;
    // Thread that stops the center.
    void OnNotifyStopping() override;

private:
    Handler m_handler;
    std::mutex m_lock;  // guards m_bStopping and every job's state
    std::condition_variable m_done;
    bool m_bStopping = false;
};
