#pragma once

#include <cstdint>
#include <string>

class CSettingsFile;

// The dashboard keys, kept in ./QorConfig.xml beside the others and read at Start.
struct WebSettings {
    std::string strAddr = "127.0.0.1";  // "httpaddr": address the dashboard listens on
    std::uint16_t nPort = 5991;      // "httpport": its TCP port; 0 turns the dashboard off
    std::string strToken;               // "httptoken": bearer token every request must carry; "" none
    std::string strCert;                // "httpcert": PEM certificate chain; with httpkey, HTTPS
    std::string strKey;                 // "httpkey": PEM private key
};

// Reads the keys; a missing key keeps its default, a port that is no number from 0 to
// 65535 too. Values are unescaped and trimmed of surrounding white space. Window thread.
WebSettings LoadWebSettings(CSettingsFile& file);

// Whether szAddr can only be reached from this machine: "localhost", 127.0.0.0/8 or
// ::1. Any thread.
bool IsLoopbackAddress(const std::string& addr);
