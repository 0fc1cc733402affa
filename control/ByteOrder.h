#pragma once

#include <cstdint>

// Byte order of the wire: control headers are big-endian, every payload integer and
// the transfer header are little-endian. These helpers are the only place that
// knows it; they read and write unaligned bytes.

inline std::uint16_t ReadBe16(const unsigned char* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t ReadBe32(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

inline std::uint16_t ReadLe16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t ReadLe32(const unsigned char* p)
{
    return p[0] | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}

inline void WriteBe16(unsigned char* p, std::uint16_t n)
{
    p[0] = static_cast<unsigned char>(n >> 8);
    p[1] = static_cast<unsigned char>(n);
}

inline void WriteBe32(unsigned char* p, std::uint32_t n)
{
    p[0] = static_cast<unsigned char>(n >> 24);
    p[1] = static_cast<unsigned char>(n >> 16);
    p[2] = static_cast<unsigned char>(n >> 8);
    p[3] = static_cast<unsigned char>(n);
}

inline void WriteLe16(unsigned char* p, std::uint16_t n)
{
    p[0] = static_cast<unsigned char>(n);
    p[1] = static_cast<unsigned char>(n >> 8);
}

inline void WriteLe32(unsigned char* p, std::uint32_t n)
{
    p[0] = static_cast<unsigned char>(n);
    p[1] = static_cast<unsigned char>(n >> 8);
    p[2] = static_cast<unsigned char>(n >> 16);
    p[3] = static_cast<unsigned char>(n >> 24);
}
