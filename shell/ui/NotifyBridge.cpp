#include "shell/ui/NotifyBridge.h"

#include "shell/NotifyEvent.h"

#include <QMetaObject>

#include <cstring>
#include <memory>

namespace {

struct Job {
    enum class State { Pending, Running, Done, Cancelled };
    std::uint32_t nKind = 0;
    unsigned char payload[kNotifyPayloadSize + 1] = {};  // a text payload is always terminated
    State state = State::Pending;
};

} // namespace

CNotifyBridge::CNotifyBridge(Handler handler, QObject* pParent)
    : QObject(pParent), m_handler(std::move(handler))
{
}

void CNotifyBridge::OnNotifyEvent(std::uint32_t nKind, const void* pPayload)
{
    // The job owns a copy of the payload, so a call that runs after the delivery
    // thread gave up never reads freed memory.
    auto job = std::make_shared<Job>();
    job->nKind = nKind;
    std::memcpy(job->payload, pPayload, kNotifyPayloadSize);

    std::unique_lock guard(m_lock);
    if (m_bStopping)
        return;
    guard.unlock();

    QMetaObject::invokeMethod(this, [this, job] {
        {
            std::lock_guard lock(m_lock);
            if (job->state != Job::State::Pending)
                return;
            job->state = Job::State::Running;
        }
        m_handler(job->nKind, job->payload);
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
