#pragma once

#include <cstdint>
#include <string>

// Time-limited permission to fetch one object's bytes by address alone. A <video>
// element or a download link cannot send the bearer header, so an operator's
// authenticated answer hands out addresses that carry a ticket: an HMAC-SHA256, under
// a key drawn anew for every run, of the object's path and the ticket's expiry.
// A ticket grants only reads of that one object, and dies with the run.
class CContentTicket {
public:
    static constexpr std::uint32_t kLifetimeS = 3600;

    // Draws the key. The thread that starts the dashboard.
    CContentTicket();

    // "<expiry>.<hex>" for strObject (the path it opens), valid until tNow + kLifetimeS.
    // Any thread.
    std::string Issue(const std::string& strObject, std::uint32_t tNow) const;
    // Whether ticket was issued for strObject by this run and has not expired. Compares
    // in constant time. Any thread.
    bool Check(const std::string& strObject, const std::string& ticket, std::uint32_t tNow) const;

private:
    std::string x_Mac(const std::string& strObject, std::uint32_t tExpiry) const;

    unsigned char m_key[32] {};
};
