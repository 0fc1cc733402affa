#pragma once

// The recorder's side of a transfer connection, for the listener and receiver tests.

#include "control/TransferHeader.h"
#include "platform/Socket.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

namespace transfertest {

// The wire bytes of a transfer header.
inline std::string HeaderBytes(const std::string& device, const std::string& recorderName, std::uint32_t tStart,
                               std::uint32_t tEnd, std::uint32_t nFileSize, std::uint8_t nChan)
{
    TransferHeader hdr {};
    std::memcpy(hdr.szDevice, device.data(), std::min(device.size(), sizeof(hdr.szDevice)));
    std::memcpy(hdr.szChan, recorderName.data(), std::min(recorderName.size(), sizeof(hdr.szChan)));
    hdr.tStart = tStart;
    hdr.tEnd = tEnd;
    hdr.nFileSize = nFileSize;
    hdr.nChan = nChan;
    std::string bytes(kTransferHeaderSize, '\0');
    EncodeTransferHeader(hdr, bytes.data());
    return bytes;
}

// Deterministic file content: byte i of a recording, counted from its start.
inline std::string Content(std::size_t nLen, std::size_t nOffset = 0)
{
    std::string bytes(nLen, '\0');
    for (std::size_t i = 0; i < nLen; ++i)
        bytes[i] = static_cast<char>(((nOffset + i) * 131 + 7) % 251);
    return bytes;
}

inline void SleepMs(int nMs)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
}

// Connects to the loopback listener on nPort (invalid socket on failure).
inline CSocket Connect(std::uint16_t nPort)
{
    return CSocket::ConnectTcp("127.0.0.1", nPort, 5000);
}

} // namespace transfertest
