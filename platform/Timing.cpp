#include "platform/Timing.h"

#include <iterator>

namespace {

// Every value, for ResetTiming; the assertion catches one added without its entry.
constexpr int ZelTiming::*kValues[] = {
    &ZelTiming::nReplyWaitMs, &ZelTiming::nResendMs, &ZelTiming::nAcceptWindowMs, &ZelTiming::nHeaderWaitMs, &ZelTiming::nReceiveSilenceMs,
    &ZelTiming::nKeepAliveExpiryS, &ZelTiming::nTimerPeriodMs, &ZelTiming::nUdpIdleWaitMs, &ZelTiming::nPollMs,
    &ZelTiming::nNoAnswerRetryMs, &ZelTiming::nRefusedRetryMs, &ZelTiming::nIndexRetryMs,
    &ZelTiming::nIndexGiveUpMs, &ZelTiming::nIndexFlushMs, &ZelTiming::nIndexWaitLogMs,
    &ZelTiming::nDiskCheckPeriodMs, &ZelTiming::nRetentionAgeMs,
    &ZelTiming::nRetentionSpaceMs, &ZelTiming::nPendingReplyWaitMs,
    &ZelTiming::nHistoryFlushMs, &ZelTiming::nCatalogueFlushMs, &ZelTiming::nHasherRescanMs,
    &ZelTiming::nCentralPollMs, &ZelTiming::nCentralTimeoutMs, &ZelTiming::nCentralRetryMs,
    &ZelTiming::nCentralRetryMaxMs, &ZelTiming::nCentralRequestPollMs, &ZelTiming::nDbBusyWaitMs, &ZelTiming::nWebKeepAliveMs, &ZelTiming::nWebHeadWaitMs,
    &ZelTiming::nWebReadTimeoutMs, &ZelTiming::nWebWriteTimeoutMs, &ZelTiming::nWebSnapshotMs,
    &ZelTiming::nWebLingerMs, &ZelTiming::nWebAuthPenaltyMs, &ZelTiming::nWebAuthPenaltyMaxMs,
    &ZelTiming::nWebAuthLogMs,
};
static_assert(sizeof(ZelTiming) == std::size(kValues) * sizeof(int));

} // namespace

ZelTiming& Timing()
{
    static ZelTiming s_timing;
    return s_timing;
}

void ResetTiming()
{
    const ZelTiming defaults;
    ZelTiming& timing = Timing();
    for (int ZelTiming::*pValue : kValues) {
        if (timing.*pValue != defaults.*pValue)
            timing.*pValue = defaults.*pValue;
    }
}
