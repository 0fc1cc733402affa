#include "control/TransactionCounter.h"

#include "platform/MutexLock.h"

std::uint32_t CTransactionCounter::Next()
{
    CMutexLock guard(m_lock);
    return ++m_nValue;
}

std::uint32_t CTransactionCounter::Last()
{
    CMutexLock guard(m_lock);
    return m_nValue;
}
