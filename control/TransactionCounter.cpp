#include "control/TransactionCounter.h"

#include "platform/MutexLock.h"

CTransactionCounter& CTransactionCounter::Instance()
{
    static CTransactionCounter s_counter;
    return s_counter;
}

std::uint32_t CTransactionCounter::Next()
{
    CMutexLock guard(m_lock);
    return ++m_nValue;
}

std::uint32_t NextTransactionId()
{
    return CTransactionCounter::Instance().Next();
}
