#include "shell/ui/NotifyBridge.h"

#include "core/NotifyEvent.h"
#include "platform/MutexLock.h"
#include "shell/ui/WindowThread.h"

#include <QMetaObject>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// A batch's own copies of its payloads, so a call that runs after the delivery thread
// gave up never reads freed memory.
struct JobItem {
    std::uint32_t nKind = 0;
    unsigned char payload[kNotifyPayloadSize + 1] = {};  // a text payload is always terminated
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
    auto pItems = std::make_shared<std::vector<JobItem>>(events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        (*pItems)[i].nKind = events[i]->nKind;
        std::memcpy((*pItems)[i].payload, events[i]->payload, kNotifyPayloadSize);
    }

    std::uint64_t nJob = 0;
    {
        CMutexLock guard(m_lock);
        if (m_bStopping)
            return;
        nJob = ++m_nLastJob;
        m_jobs.emplace(nJob, JobState::Pending);
    }

    QMetaObject::invokeMethod(this, [this, nJob, pItems] {
        CWindowThread::Check(Q_FUNC_INFO);
        {
            CMutexLock guard(m_lock);
            auto it = m_jobs.find(nJob);
            if (it == m_jobs.end() || it->second != JobState::Pending)
                return;
            it->second = JobState::Running;
        }
        for (const JobItem& item : *pItems)
            m_handler(item.nKind, item.payload);
        {
            CMutexLock guard(m_lock);
            m_jobs.at(nJob) = JobState::Done;  // its delivery thread waits for it
        }
        m_done.NotifyAll();
    }, Qt::QueuedConnection);

    // A job that has begun to run is waited for even while stopping.
    CMutexLock guard(m_lock);
    for (;;) {
        const JobState state = m_jobs.at(nJob);
        if (state == JobState::Done || (m_bStopping && state == JobState::Pending))
            break;
        m_done.Wait(m_lock);
    }
    m_jobs.erase(nJob);
}

void CNotifyBridge::OnNotifyStopping()
{
    {
        CMutexLock guard(m_lock);
        m_bStopping = true;
    }
    m_done.NotifyAll();
}
