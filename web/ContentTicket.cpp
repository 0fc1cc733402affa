#include "web/ContentTicket.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <charconv>
#include <stdexcept>

CContentTicket::CContentTicket()
{
    if (RAND_bytes(m_key, sizeof(m_key)) != 1)
        throw std::runtime_error("no random bytes for the content tickets' key");
}

std::string CContentTicket::x_Mac(const std::string& strObject, std::uint32_t tExpiry) const
{
    const std::string message = std::to_string(tExpiry) + "\n" + strObject;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int nLen = 0;
    HMAC(EVP_sha256(), m_key, sizeof(m_key), reinterpret_cast<const unsigned char*>(message.data()),
         message.size(), digest, &nLen);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < nLen; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0xF];
    }
    return hex;
}

std::string CContentTicket::Issue(const std::string& strObject, std::uint32_t tNow) const
{
    const std::uint32_t tExpiry = tNow + kLifetimeS;
    return std::to_string(tExpiry) + "." + x_Mac(strObject, tExpiry);
}

bool CContentTicket::Check(const std::string& strObject, const std::string& ticket, std::uint32_t tNow) const
{
    const std::size_t nDot = ticket.find('.');
    if (nDot == std::string::npos || nDot == 0)
        return false;
    std::uint32_t tExpiry = 0;
    auto [pEnd, ec] = std::from_chars(ticket.data(), ticket.data() + nDot, tExpiry);
    if (ec != std::errc() || pEnd != ticket.data() + nDot || tExpiry < tNow)
        return false;
    const std::string expected = x_Mac(strObject, tExpiry);
    const std::string given = ticket.substr(nDot + 1);
    return given.size() == expected.size() && CRYPTO_memcmp(given.data(), expected.data(), expected.size()) == 0;
}
