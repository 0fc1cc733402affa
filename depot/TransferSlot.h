#pragma once

#include <cstdint>

class CEvent;
class CTransferScheduler;

// One slot of the scheduler, held from construction (when granted) to destruction.
class CTransferSlot {
public:
    // Waits for the slot (see CTransferScheduler::Acquire). Channel task thread.
    CTransferSlot(CTransferScheduler& scheduler, std::uint32_t tRecording, CEvent& quit, bool bRequested = false);
    ~CTransferSlot();  // releases a held slot
    CTransferSlot(const CTransferSlot&) = delete;
    CTransferSlot& operator=(const CTransferSlot&) = delete;

    // False when the wait ended by quit: nothing is held.
    bool Held() const { return m_bHeld; }

private:
    CTransferScheduler& m_scheduler;
    bool m_bHeld;
};
