#include "control/TransactionCounter.h"

CTransactionCounter& CTransactionCounter::Instance()
{
    static CTransactionCounter s_counter;
    return s_counter;
}

std::uint32_t CTransactionCounter::Next()
{
    std::lock_guard guard(m_lock);
    return ++m_nValue;
}

std::uint32_t NextTransactionId()
{
    return CTransactionCounter::Instance().Next();
}
