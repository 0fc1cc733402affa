// Decodes the input as a transfer header and runs the receiver's checks on it. A
// header whose names pass must give paths that stay below the download root, and a
// partial name that the partial-name parser splits back into the header's parts.
#include "control/TransferHeader.h"
#include "store/LocalStore.h"
#include "transfer/FileReceiver.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void Check(bool bCondition)
{
    if (!bCondition)
        __builtin_trap();
}

bool HasSpace(const std::string& text)
{
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)))
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    TransferHeader hdr {};
    if (!DecodeTransferHeader(pData, nSize, hdr)) {
        Check(nSize < kTransferHeaderSize);
        return 0;
    }
    Check(nSize >= kTransferHeaderSize);
    unsigned char reencoded[kTransferHeaderSize];
    EncodeTransferHeader(hdr, reencoded);
    for (std::size_t i = 0; i < kTransferHeaderSize; ++i)
        Check(reencoded[i] == pData[i]);

    // The vehicle as the receiver names it: cut to what registration keeps.
    const std::string device = HeaderVehicleName(hdr);
    const std::string recorderName = HeaderText(hdr.szChan);
    Check(device.size() <= 31 && recorderName.size() <= 32);
    bool bTagged = HasChannelTag(hdr);
    if (!CheckHeaderNames(hdr).empty())
        return 0;

    // Every component below the root is a plain name.
    std::string chanDir = ChannelDirPath("root", device, hdr.tStart, hdr.nChan);
    Check(chanDir.compare(0, 5, "root/") == 0);
    std::size_t nComponents = 0;
    for (std::size_t nPos = 5; nPos <= chanDir.size(); ++nComponents) {
        std::size_t nEnd = chanDir.find('/', nPos);
        if (nEnd == std::string::npos)
            nEnd = chanDir.size();
        std::string part = chanDir.substr(nPos, nEnd - nPos);
        Check(!part.empty() && part != "." && part != "..");
        nPos = nEnd + 1;
    }
    Check(nComponents == 3);

    std::string partialName = PartialFileName(hdr.nChan, hdr.tStart, hdr.tEnd, recorderName, hdr.nFileSize);
    std::string finalName = FinalFileName(hdr.nChan, hdr.tStart, hdr.tEnd);
    Check(partialName.find('/') == std::string::npos && finalName.find('/') == std::string::npos);

    // A tagged recorder's name without dots or blanks that fits its field comes back
    // out of the partial name unchanged.
    TdNameFields fields;
    int nResult = ParseTdName(partialName, fields);
    if (bTagged && recorderName.find('.') == std::string::npos && !HasSpace(recorderName) &&
        recorderName.size() <= kTdFieldMax) {
        Check(nResult == 0);
        Check(fields[3] == recorderName);
        Check(ParseTimeString(fields[1]) == hdr.tStart && ParseTimeString(fields[2]) == hdr.tEnd);
        Check(static_cast<std::uint32_t>(std::stol(fields[4])) == hdr.nFileSize);
        Check(fields[5] == "td");
    }
    return 0;
}
