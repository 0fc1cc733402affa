#pragma once

#include "control/ByteOrder.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// The 80 bytes a recorder sends first on every transfer connection. Integers are
// little-endian on the wire; the struct holds them in host order once decoded.
struct TransferHeader {
    char szDevice[32];          // vehicle name, NUL-terminated unless all 32 bytes are used
    char szChan[32];            // the recorder's file name, same rule
    std::uint32_t tStart;       // wall-clock seconds
    std::uint32_t tEnd;         // wall-clock seconds
    std::uint32_t nFileSize;    // size of the whole file
    std::uint8_t nChan;         // channel, counted from 1
    std::uint8_t reserved[3];
};

constexpr std::size_t kTransferHeaderSize = 80;

static_assert(sizeof(TransferHeader) == kTransferHeaderSize);
static_assert(offsetof(TransferHeader, szDevice) == 0);
static_assert(offsetof(TransferHeader, szChan) == 32);
static_assert(offsetof(TransferHeader, tStart) == 64);
static_assert(offsetof(TransferHeader, tEnd) == 68);
static_assert(offsetof(TransferHeader, nFileSize) == 72);
static_assert(offsetof(TransferHeader, nChan) == 76);
static_assert(offsetof(TransferHeader, reserved) == 77);

// Decodes a header from the bytes that arrived; false (and hdr untouched) when fewer
// than 80 bytes are given. Any thread.
inline bool DecodeTransferHeader(const void* pData, std::size_t nLen, TransferHeader& hdr)
{
    if (pData == nullptr || nLen < kTransferHeaderSize)
        return false;
    const auto* p = static_cast<const unsigned char*>(pData);
    std::memcpy(hdr.szDevice, p, sizeof(hdr.szDevice));
    std::memcpy(hdr.szChan, p + 32, sizeof(hdr.szChan));
    hdr.tStart = ReadLe32(p + 64);
    hdr.tEnd = ReadLe32(p + 68);
    hdr.nFileSize = ReadLe32(p + 72);
    hdr.nChan = p[76];
    std::memcpy(hdr.reserved, p + 77, sizeof(hdr.reserved));
    return true;
}

// Writes the 80 wire bytes of hdr to pOut (which must hold 80 bytes). Any thread.
inline void EncodeTransferHeader(const TransferHeader& hdr, void* pOut)
{
    auto* p = static_cast<unsigned char*>(pOut);
    std::memcpy(p, hdr.szDevice, sizeof(hdr.szDevice));
    std::memcpy(p + 32, hdr.szChan, sizeof(hdr.szChan));
    WriteLe32(p + 64, hdr.tStart);
    WriteLe32(p + 68, hdr.tEnd);
    WriteLe32(p + 72, hdr.nFileSize);
    p[76] = hdr.nChan;
    std::memcpy(p + 77, hdr.reserved, sizeof(hdr.reserved));
}

// A 32-byte text field of the header as a string: up to its first NUL, or all 32
// bytes when it holds none. Any thread.
inline std::string HeaderText(const char (&szField)[32])
{
    return std::string(szField, ::strnlen(szField, sizeof(szField)));
}
