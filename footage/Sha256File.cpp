#include "footage/Sha256File.h"

#include "platform/File.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cerrno>
#include <memory>

namespace {

// Large enough that a file costs few reads, small enough to stay in the cache.
constexpr std::size_t kChunk = 1 << 20;

using EvpContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::string ToHex(const unsigned char* pBytes, unsigned int nLen)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(nLen * 2);
    for (unsigned int i = 0; i < nLen; ++i) {
        hex += kDigits[pBytes[i] >> 4];
        hex += kDigits[pBytes[i] & 0x0F];
    }
    return hex;
}

// The running sums of one pass over the bytes.
class CDigester {
public:
    CDigester() : m_ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free)
    {
        m_bOk = m_ctx && EVP_DigestInit_ex(m_ctx.get(), EVP_sha256(), nullptr) == 1;
        m_nCrc = crc32(0L, Z_NULL, 0);
    }

    void Update(const char* pData, std::size_t nLen)
    {
        m_bOk = m_bOk && EVP_DigestUpdate(m_ctx.get(), pData, nLen) == 1;
        // zlib's length is 32 bits: longer runs go in pieces.
        const auto* p = reinterpret_cast<const Bytef*>(pData);
        for (std::size_t nLeft = nLen; nLeft > 0;) {
            auto nPart = static_cast<uInt>(nLeft > 0x40000000u ? 0x40000000u : nLeft);
            m_nCrc = crc32(m_nCrc, p, nPart);
            p += nPart;
            nLeft -= nPart;
        }
        m_nBytes += nLen;
    }

    // The digest; false when the library failed (no SHA-256 available).
    bool Finish(FileDigest& digest)
    {
        unsigned char hash[EVP_MAX_MD_SIZE];
        unsigned int nLen = 0;
        m_bOk = m_bOk && EVP_DigestFinal_ex(m_ctx.get(), hash, &nLen) == 1;
        if (!m_bOk)
            return false;
        digest.strSha256 = ToHex(hash, nLen);
        digest.nCrc32 = static_cast<std::uint32_t>(m_nCrc);
        digest.nBytes = m_nBytes;
        return true;
    }

private:
    EvpContext m_ctx;
    bool m_bOk = false;
    uLong m_nCrc = 0;
    std::uint64_t m_nBytes = 0;
};

} // namespace

int DigestFile(const std::string& path, FileDigest& digest, const std::atomic<bool>* pCancel)
{
    CFile file;
    if (int nErr = file.Open(path, CFile::Mode::Read); nErr != 0)
        return nErr;
    CDigester digester;
    std::string chunk;
    std::int64_t nOff = 0;
    for (;;) {
        if (pCancel && pCancel->load())
            return ECANCELED;
        if (int nErr = file.ReadAt(nOff, kChunk, chunk); nErr != 0)
            return nErr;
        if (chunk.empty())
            break;
        digester.Update(chunk.data(), chunk.size());
        nOff += static_cast<std::int64_t>(chunk.size());
    }
    return digester.Finish(digest) ? 0 : EIO;
}

FileDigest DigestBytes(const std::string& bytes)
{
    CDigester digester;
    digester.Update(bytes.data(), bytes.size());
    FileDigest digest;
    digester.Finish(digest);
    return digest;
}
