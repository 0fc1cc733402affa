#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CSettingsFile;

// The dashboard keys, kept in ./QorConfig.xml beside the others and read at Start.
struct WebSettings {
    std::string strAddr = "127.0.0.1";  // "httpaddr": address the dashboard listens on
    std::uint16_t nPort = 5991;      // "httpport": its TCP port; 0 turns the dashboard off
    std::string strToken;               // "httptoken": bearer token of the status reads; "" none
    std::string strFootageToken;        // "footagetoken": bearer token of the operator (footage); "" none
    std::size_t nMaxPerClient = 32;     // "httpmaxperclient": connections one client address may hold
    std::uint32_t nFootageMaxMBs = 0;   // "footagemaxmbs": MB/s (10^6 bytes) sent from files at most; 0 no limit
    std::string strCert;                // "httpcert": PEM certificate chain; with httpkey, HTTPS
    std::string strKey;                 // "httpkey": PEM private key
};

// Reads the keys; a missing key keeps its default, a port that is no number from 0 to
// 65535 too. Values are unescaped and trimmed of surrounding white space. Window thread.
WebSettings LoadWebSettings(CSettingsFile& file);

// The shortest token accepted on an address other machines reach.
constexpr std::size_t kMinRemoteTokenLength = 16;

// Whether szAddr can only be reached from this machine: "localhost", 127.0.0.0/8 or
// ::1. Any thread.
bool IsLoopbackAddress(const std::string& addr);
