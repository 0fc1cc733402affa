#include "tools/dvrsim/DvrSimulator.h"

#include "platform/Format.h"
#include "platform/System.h"

#include <thread>

namespace {

constexpr int kWaitPollMs = 10;

// Polls fnDone until it holds or nTimeoutMs have passed.
template <typename F>
bool PollUntil(F fnDone, int nTimeoutMs)
{
    std::int64_t nDeadline = MonotonicMs() + nTimeoutMs;
    while (!fnDone()) {
        if (MonotonicMs() >= nDeadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
    }
    return true;
}

} // namespace

CDvrSimulator::CDvrSimulator(const SimOptions& options) : m_options(options)
{
    if (m_options.tStart == 0)
        m_options.tStart = CSimRecordings::DefaultStart();
    for (const std::string& strName : SimVehicleNames(m_options))
        m_recorders.push_back(std::make_unique<CSimRecorder>(
            strName, m_options,
            [this](int nLevel, const std::string& strVehicle, const std::string& strText) {
                OnEvent(nLevel, strVehicle, strText);
            }));
}

CDvrSimulator::~CDvrSimulator()
{
    Stop();
}

void CDvrSimulator::SetLineSink(LineSink sink)
{
    std::lock_guard guard(m_sinkLock);
    m_sink = std::move(sink);
}

int CDvrSimulator::Start()
{
    for (auto& pRecorder : m_recorders) {
        if (pRecorder->Start() != 0) {
            Stop();
            return -1;
        }
    }
    return 0;
}

void CDvrSimulator::Stop()
{
    // Abort everything first so that the recorders wind down in parallel.
    for (auto& pRecorder : m_recorders)
        pRecorder->RequestStop();
    for (auto& pRecorder : m_recorders)
        pRecorder->Stop();
}

CSimRecorder* CDvrSimulator::Find(const std::string& strName)
{
    for (auto& pRecorder : m_recorders)
        if (pRecorder->Name() == strName)
            return pRecorder.get();
    return nullptr;
}

SimTotals CDvrSimulator::Totals() const
{
    SimTotals totals;
    for (const auto& pRecorder : m_recorders)
        totals += pRecorder->Totals();
    return totals;
}

std::string CDvrSimulator::Summary() const
{
    SimTotals t = Totals();
    return Format("summary: %zu vehicles, %llu files served in full, %llu bytes (%.1f MiB); %llu file requests "
                  "(%llu refused, %llu replies withheld), %llu transfers (%llu cut, %llu failed), %llu "
                  "stray connections, %llu queries, %llu registrations, %llu keepalives; %llu uploads started; "
                  "%llu repeated requests answered again, %llu reused ids; %llu datagrams lost in, %llu lost out",
                  m_recorders.size(), static_cast<unsigned long long>(t.nCompleted),
                  static_cast<unsigned long long>(t.nBytes), double(t.nBytes) / (1024.0 * 1024.0),
                  static_cast<unsigned long long>(t.nFileRequests), static_cast<unsigned long long>(t.nRefused),
                  static_cast<unsigned long long>(t.nWithheld), static_cast<unsigned long long>(t.nTransfers),
                  static_cast<unsigned long long>(t.nCut), static_cast<unsigned long long>(t.nFailed),
                  static_cast<unsigned long long>(t.nStrays), static_cast<unsigned long long>(t.nQueries),
                  static_cast<unsigned long long>(t.nRegistrations), static_cast<unsigned long long>(t.nKeepAlives),
                  static_cast<unsigned long long>(t.nUploads), static_cast<unsigned long long>(t.nRepeatedRequests),
                  static_cast<unsigned long long>(t.nReusedIds), static_cast<unsigned long long>(t.nDroppedIn),
                  static_cast<unsigned long long>(t.nDroppedOut))
           + (m_options.bCheckAddress
                  ? Format("; %llu file requests named another listen address",
                           static_cast<unsigned long long>(t.nWrongAddress))
                  : std::string());
}

bool CDvrSimulator::WaitRegistered(int nTimeoutMs) const
{
    return PollUntil(
        [this] {
            for (const auto& pRecorder : m_recorders)
                if (!pRecorder->IsRegistered())
                    return false;
            return true;
        },
        nTimeoutMs);
}

bool CDvrSimulator::WaitCompleted(std::uint64_t nTransfers, int nTimeoutMs) const
{
    return PollUntil([&] { return Totals().nCompleted >= nTransfers; }, nTimeoutMs);
}

void CDvrSimulator::OnEvent(int nLevel, const std::string& strVehicle, const std::string& strText)
{
    if (nLevel > m_options.nVerbosity)
        return;
    std::lock_guard guard(m_sinkLock);
    if (m_sink)
        m_sink(strVehicle + ": " + strText);
}
