#pragma once

#include "tools/dvrsim/SimOptions.h"
#include "tools/dvrsim/SimRecorder.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A fleet of simulated recorders, one per vehicle name of the options, all talking to
// the same server. The program's main and in-process tests and benchmarks drive it.
class CDvrSimulator {
public:
    // Receives finished event lines ("<vehicle>: <text>"), filtered by the verbosity.
    using LineSink = std::function<void(const std::string& strLine)>;

    // The options must have passed CheckSimOptions. A start time of 0 is fixed here,
    // once, so that every vehicle gets the same catalogue times. Owner's thread.
    explicit CDvrSimulator(const SimOptions& options);
    // Stops first.
    ~CDvrSimulator();
    CDvrSimulator(const CDvrSimulator&) = delete;
    CDvrSimulator& operator=(const CDvrSimulator&) = delete;

    // Where event lines go; nothing is printed without one. Before Start, owner's thread.
    void SetLineSink(LineSink sink);

    // Starts every recorder; 0, or -1 (and nothing left running) when one cannot
    // start. Once. Owner's thread.
    int Start();
    // Stops every recorder and returns when all their threads have ended. Idempotent.
    // Owner's thread, never from the line sink.
    void Stop();

    // Any thread, after construction.
    const SimOptions& Options() const { return m_options; }
    std::size_t Count() const { return m_recorders.size(); }
    CSimRecorder& Recorder(std::size_t i) { return *m_recorders[i]; }
    const CSimRecorder& Recorder(std::size_t i) const { return *m_recorders[i]; }
    // The recorder registered as strName; nullptr when there is none.
    CSimRecorder* Find(const std::string& strName);
    SimTotals Totals() const;
    // Files served in full and every other count in one line.
    std::string Summary() const;

    // Wait helpers for tests and benchmarks; true when the condition held within the
    // time. Any thread but the sink's.
    bool WaitRegistered(int nTimeoutMs) const;
    bool WaitCompleted(std::uint64_t nTransfers, int nTimeoutMs) const;

private:
    void OnEvent(int nLevel, const std::string& strVehicle, const std::string& strText);

    SimOptions m_options;
    std::vector<std::unique_ptr<CSimRecorder>> m_recorders;
    std::mutex m_sinkLock;
    LineSink m_sink;  // guarded by m_sinkLock
};
