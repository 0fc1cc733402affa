#pragma once

#include "core/NotifyEvent.h"
#include "core/NotifyObserver.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

// An observer that keeps every event it is given, for tests.
class RecordingObserver : public INotifyObserver {
public:
    struct Item {
        std::uint32_t nKind;
        std::string text;      // payload as a NUL-terminated string
        VehicleEvent vehicle;  // payload as a VehicleEvent
    };

    void OnNotifyEvent(std::uint32_t nKind, const void* pPayload) override
    {
        const char* psz = static_cast<const char*>(pPayload);
        Item item {nKind, std::string(psz, ::strnlen(psz, kNotifyPayloadSize)), {}};
        std::memcpy(&item.vehicle, pPayload, sizeof(VehicleEvent));
        std::lock_guard guard(m_lock);
        m_items.push_back(item);
        m_changed.notify_all();
    }

    bool WaitFor(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock guard(m_lock);
        return m_changed.wait_for(guard, timeout, [&] { return m_items.size() >= n; });
    }

    std::vector<Item> Items()
    {
        std::lock_guard guard(m_lock);
        return m_items;
    }

    // Forgets the events kept so far. An observer that outlives a test (the
    // process-wide center cannot let go of one) starts the next one empty.
    void Clear()
    {
        std::lock_guard guard(m_lock);
        m_items.clear();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Item> m_items;
};
