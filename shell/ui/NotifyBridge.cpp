#include "shell/ui/NotifyBridge.h"

#include "core/NotifyEvent.h"
#include "shell/ui/WindowThread.h"

#include <QMetaObject>

#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Job {
    enum class State { Pending, Running, Done, Cancelled };
    struct Item {
        std::uint32_t nKind = 0;
        unsigned char payload[kNotifyPayloadSize + 1] = {};  // a text payload is always terminated
    };
    std::vector<Item> items;
    State state = State::Pending;
};

} // namespace

CNotifyBridge::CNotifyBridge(Handler handler, QObject* pParent)
    : QObject(pParent), m_handler(std::move(handler))
{
    CWindowThread::Check(Q_FUNC_INFO);
}

void CNotifyBridge::OnNotifyEvent(std::uint32_t nKind, const void* pPayload)
{
    NotifyEvent ev;
    ev.nSender = 0;
    ev.nKind = nKind;
    std::memcpy(ev.payload, pPayload, kNotifyPayloadSize);
    OnNotifyBatch({&ev});
}

void CNotifyBridge::OnNotifyBatch(const std::vector<const NotifyEvent*>& events)
{
    // The job owns copies of the payloads, so a call that runs after the delivery
    // thread gave up never reads freed memory.
    auto job = std::make_shared<Job>();
    job->items.resize(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        job->items[i].nKind = events[i]->nKind;
        std::memcpy(job->items[i].payload, events[i]->payload, kNotifyPayloadSize);
    }

    std::unique_lock guard(m_lock);
    if (m_bStopping)
        return;
    guard.unlock();

    QMetaObject::invokeMethod(this, [this, job] {
        CWindowThread::Check(Q_FUNC_INFO);
        {
            std::lock_guard lock(m_lock);
            if (job->state != Job::State::Pending)
                return;
            job->state = Job::State::Running;
        }
        for (const Job::Item& item : job->items)
            m_handler(item.nKind, item.payload);
        {
            std::lock_guard lock(m_lock);
            job->state = Job::State::Done;
        }
        m_done.notify_all();
    }, Qt::QueuedConnection);

    guard.lock();
    m_done.wait(guard, [&] {
        return job->state == Job::State::Done || (m_bStopping && job->state == Job::State::Pending);
    });
    if (job->state == Job::State::Pending)
        job->state = Job::State::Cancelled;
}

void CNotifyBridge::OnNotifyStopping()
{
    {
        std::lock_guard guard(m_lock);
        m_bStopping = true;
    }
    m_done.notify_all();
}
