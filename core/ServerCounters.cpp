#include "core/ServerCounters.h"

void CServerCounters::Reset()
{
    for (std::atomic<std::uint64_t>* pCounter :
         {&nReceivedBytes, &nFilesDownloaded, &nTransferFailures, &nReplyTimeouts, &nControlDatagrams})
        pCounter->store(0, std::memory_order_relaxed);
}
