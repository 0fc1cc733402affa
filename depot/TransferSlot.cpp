#include "depot/TransferSlot.h"

#include "depot/TransferScheduler.h"

CTransferSlot::CTransferSlot(CTransferScheduler& scheduler, std::uint32_t tRecording, CEvent& quit,
                             bool bRequested)
    : m_scheduler(scheduler), m_bHeld(scheduler.Acquire(tRecording, quit, bRequested))
{
}

CTransferSlot::~CTransferSlot()
{
    if (m_bHeld)
        m_scheduler.Release();
}
