#include "tools/dvrsim/SimLoss.h"

namespace {

// FNV-1a: the recorder's name as a number for the seed.
std::uint64_t HashName(const std::string& str)
{
    std::uint64_t n = 0xCBF29CE484222325ULL;
    for (unsigned char c : str) {
        n ^= c;
        n *= 0x100000001B3ULL;
    }
    return n;
}

} // namespace

CSimLoss::CSimLoss(double dPercent, std::uint64_t nSeed, const std::string& strRecorder, Direction direction)
    : m_dPercent(dPercent),
      m_nState(nSeed ^ HashName(strRecorder) ^ (static_cast<std::uint64_t>(direction) * 0xA0761D6478BD642FULL))
{
}

bool CSimLoss::Drop()
{
    // Not drawn at the ends, so that 0 and 100 hold whatever the numbers.
    if (m_dPercent <= 0.0)
        return false;
    if (m_dPercent >= 100.0)
        return true;
    // 53 random bits as a fraction in [0, 1), compared in percent.
    double dDraw = static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0) * 100.0;
    return dDraw < m_dPercent;
}

std::uint64_t CSimLoss::Next()
{
    // SplitMix64: the same numbers on every platform and library.
    std::uint64_t n = (m_nState += 0x9E3779B97F4A7C15ULL);
    n = (n ^ (n >> 30)) * 0xBF58476D1CE4E5B9ULL;
    n = (n ^ (n >> 27)) * 0x94D049BB133111EBULL;
    return n ^ (n >> 31);
}
