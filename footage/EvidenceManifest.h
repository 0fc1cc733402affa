#pragma once

#include "footage/FootageRequest.h"

#include <cstdint>
#include <string>
#include <vector>

// One file of an export, as the caller knows it (the recordings catalogue has the hash).
struct EvidenceFile {
    std::string strPath;   // relative to the download root
    std::uint64_t nSize = 0;
    std::uint32_t tStart = 0;  // wall-clock seconds
    std::uint32_t tEnd = 0;
    std::string strSha256;     // 64 hex digits
};

// The JSON evidence manifest of a footage request: who asked, when and why, for which
// vehicle, channels and window, and every file with its size, times and SHA-256, so
// that whoever receives the footage can check each file and its provenance.
class CEvidenceManifest {
public:
    static constexpr int kFormatVersion = 1;

    // The manifest (pretty-printed JSON, ending in a newline) made at tGenerated. False
    // with strError when a file's hash is not 64 hex digits or its path is not a plain
    // relative path: a manifest never names what the export cannot hold. Any thread.
    static bool Make(const FootageRequest& request, const std::vector<EvidenceFile>& files, std::uint32_t tGenerated,
                     std::string& strManifest, std::string& strError);

    // "2026-12-06T14:00:00Z" of a wall-clock value. Any thread.
    static std::string TimeText(std::uint32_t tValue);
};
