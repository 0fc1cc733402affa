#include "transfer/TransferOutcome.h"

const char* TransferResultText(TransferResult eResult)
{
    switch (eResult) {
    case TransferResult::NoConnection:
        return "the recorder did not connect";
    case TransferResult::Refused:
        return "transfer header refused";
    case TransferResult::Stored:
        return "stored";
    case TransferResult::Incomplete:
        return "transfer broke off";
    case TransferResult::Oversize:
        return "more bytes than announced";
    case TransferResult::Failed:
        return "file could not be written";
    }
    return "unknown";
}
