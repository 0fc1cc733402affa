#include "footage/FootageHasher.h"

#include "core/Logger.h"
#include "footage/RecordingCatalogue.h"
#include "footage/Sha256File.h"
#include "platform/Format.h"
#include "platform/MutexLock.h"
#include "platform/System.h"
#include "platform/Timing.h"

#include <cerrno>
#include <chrono>
#include <optional>

namespace {

// Failed rows remembered (to log each once); beyond, failures are logged again.
constexpr std::size_t kFailedMax = 10000;

} // namespace

CFootageHasher::CFootageHasher(CRecordingCatalogue& catalogue, std::size_t nQueueMax)
    : m_catalogue(catalogue), m_nQueueMax(nQueueMax == 0 ? 1 : nQueueMax)
{
}

CFootageHasher::~CFootageHasher()
{
    Stop();
}

void CFootageHasher::Start()
{
    CMutexLock threadGuard(m_threadLock);
    if (m_thread.joinable())
        return;
    {
        CMutexLock guard(m_lock);
        m_bStop = false;
        m_bWalkDue = true;
    }
    m_digester.Start();
    m_thread = std::thread([this] { x_Run(); });
}

void CFootageHasher::Stop()
{
    CMutexLock threadGuard(m_threadLock);
    if (!m_thread.joinable())
        return;
    {
        CMutexLock guard(m_lock);
        m_bStop = true;
    }
    // A file being read is left at once.
    m_digester.Stop();
    m_wake.NotifyAll();
    m_thread.join();
}

void CFootageHasher::Offer(std::int64_t nId)
{
    {
        CMutexLock guard(m_lock);
        if (m_queue.size() >= m_nQueueMax) {
            // Not kept: the walk finds the row in the table.
            m_bWalkDue = true;
            ++m_nOverflows;
            return;
        }
        m_queue.push_back(nId);
    }
    m_wake.NotifyOne();
}

bool CFootageHasher::IsIdle() const
{
    CMutexLock guard(m_lock);
    return m_queue.empty() && !m_bWalkDue && !m_bBusy;
}

bool CFootageHasher::x_Stopping() const
{
    CMutexLock guard(m_lock);
    return m_bStop;
}

void CFootageHasher::x_Run()
{
    auto tNextWalk = std::chrono::steady_clock::now();
    std::int64_t nWalkAfter = -1;  // -1: no walk under way
    for (;;) {
        std::optional<std::int64_t> nId;
        {
            CMutexLock guard(m_lock);
            m_bBusy = false;
            while (!m_bStop && m_queue.empty() && !m_bWalkDue && nWalkAfter < 0) {
                if (!m_wake.WaitUntil(m_lock, tNextWalk))
                    m_bWalkDue = true;
            }
            if (m_bStop)
                return;
            m_bBusy = true;
            if (!m_queue.empty()) {
                nId = m_queue.front();
                m_queue.pop_front();
            } else if (nWalkAfter < 0) {
                // A walk from the start: ids that overflowed meanwhile are all in it.
                m_bWalkDue = false;
                nWalkAfter = 0;
            }
        }
        if (nId) {
            x_HashId(*nId);
            continue;
        }
        // Offered ids go before the rest of a walk: they are the newest files.
        nWalkAfter = x_WalkPage(nWalkAfter);
        if (nWalkAfter < 0)
            tNextWalk = std::chrono::steady_clock::now() + std::chrono::milliseconds(Timing().nHasherRescanMs);
    }
}

std::int64_t CFootageHasher::x_WalkPage(std::int64_t nAfter)
{
    std::vector<CatalogueRow> rows = m_catalogue.Unhashed(nAfter, kPage);
    for (const CatalogueRow& row : rows) {
        if (x_Stopping())
            return -1;
        x_HashId(row.nId);
    }
    return rows.size() < kPage ? -1 : rows.back().nId;
}

void CFootageHasher::x_HashId(std::int64_t nId)
{
    std::optional<CatalogueRow> row = m_catalogue.Get(nId);
    if (!row || row->IsHashed() || !row->IsPresent())
        return;
    std::string path = m_catalogue.AbsolutePath(*row);
    FileDigest digest;
    int nErr = path.empty() ? ENOENT : m_digester.Digest(path, digest);
    if (nErr == ECANCELED)
        return;
    std::string strFailure;
    if (nErr != 0)
        strFailure = ErrnoText(nErr);
    else if (digest.nBytes != row->nSize)
        strFailure = Format("%llu bytes, %llu catalogued", static_cast<unsigned long long>(digest.nBytes),
                            static_cast<unsigned long long>(row->nSize));
    if (strFailure.empty()) {
        if (m_catalogue.StoreHash(*row, digest))
            ++m_nHashed;
        return;
    }
    bool bLog = false;
    {
        CMutexLock guard(m_lock);
        if (m_failed.size() >= kFailedMax)
            m_failed.clear();
        bLog = m_failed.insert(nId).second;
    }
    // The row stays unhashed and is tried again by the next walk, quietly.
    if (bLog)
        WriteLog(Format("recordings catalogue: recording %lld (%s) cannot be hashed: %s",
                        static_cast<long long>(nId), row->strPath.c_str(), strFailure.c_str()),
                 row->strVehicle.c_str());
}
