#pragma once

#include "core/NotifyEvent.h"

#include <cstdint>
#include <vector>

// A receiver of notification events (the window's tab control in the program).
class INotifyObserver {
public:
    virtual ~INotifyObserver() = default;

    // Called on the delivery thread for each event; returns once the event is
    // handled. pPayload is valid only during the call.
    virtual void OnNotifyEvent(std::uint32_t nKind, const void* pPayload) = 0;

    // Called on the delivery thread with the events waiting at that moment, in posting
    // order; returns once all are handled. The default hands them to OnNotifyEvent one
    // by one; an observer on another thread takes them in one crossing.
    virtual void OnNotifyBatch(const std::vector<const NotifyEvent*>& events)
    {
        for (const NotifyEvent* pEvent : events)
            OnNotifyEvent(pEvent->nKind, pEvent->payload);
    }

    // Called by CNotifyCenter::Stop on the stopping thread before it waits for the
    // delivery thread: an observer whose delivery waits for that very thread must
    // give up the wait now.
    virtual void OnNotifyStopping() {}
};
