#include "footage/EvidenceManifest.h"

#include "platform/Format.h"
#include "settings/WallClock.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

namespace {

bool IsSha256(const std::string& text)
{
    return text.size() == 64 &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// A relative path of plain components: no root, no "." or "..", no empty part.
bool IsPlainRelative(const std::string& path)
{
    if (path.empty() || path.front() == '/' || path.find('\\') != std::string::npos)
        return false;
    std::size_t nPos = 0;
    while (nPos <= path.size()) {
        std::size_t nEnd = std::min(path.find('/', nPos), path.size());
        std::string part = path.substr(nPos, nEnd - nPos);
        if (part.empty() || part == "." || part == "..")
            return false;
        nPos = nEnd + 1;
    }
    return true;
}

std::string BaseName(const std::string& path)
{
    std::size_t nPos = path.rfind('/');
    return nPos == std::string::npos ? path : path.substr(nPos + 1);
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return text;
}

nlohmann::json RequestPart(const FootageRequest& request)
{
    nlohmann::json channels = nlohmann::json::array();
    for (std::uint8_t n : request.ask.channels)
        channels.push_back(n);
    return {
        {"id", request.nId},
        {"vehicle", request.ask.strVehicle},
        {"channels", request.ask.channels.empty() ? nlohmann::json("all") : channels},
        {"window",
         {{"from", CEvidenceManifest::TimeText(request.ask.tFrom)},
          {"to", CEvidenceManifest::TimeText(request.ask.tTo)},
          {"from_s", request.ask.tFrom},
          {"to_s", request.ask.tTo}}},
        {"reason", request.ask.strReason},
        {"requested_by", request.ask.strRequestedBy},
        {"requested_at", CEvidenceManifest::TimeText(request.tCreated)},
        {"state", FootageStateName(request.eState)},
        {"state_reasons", request.reasons},
    };
}

} // namespace

std::string CEvidenceManifest::TimeText(std::uint32_t tValue)
{
    std::tm fields = SplitWallClock(tValue);
    return Format("%04d-%02d-%02dT%02d:%02d:%02dZ", fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                  fields.tm_hour, fields.tm_min, fields.tm_sec);
}

bool CEvidenceManifest::Make(const FootageRequest& request, const std::vector<EvidenceFile>& files,
                             std::uint32_t tGenerated, std::string& strManifest, std::string& strError)
{
    nlohmann::json list = nlohmann::json::array();
    std::uint64_t nBytes = 0;
    for (const EvidenceFile& file : files) {
        if (!IsPlainRelative(file.strPath)) {
            strError = "file path not relative to the download root: " + file.strPath;
            return false;
        }
        if (!IsSha256(file.strSha256)) {
            strError = "SHA-256 of " + file.strPath + " is not 64 hex digits";
            return false;
        }
        list.push_back({{"name", BaseName(file.strPath)},
                        {"path", file.strPath},
                        {"size", file.nSize},
                        {"start", TimeText(file.tStart)},
                        {"end", TimeText(file.tEnd)},
                        {"start_s", file.tStart},
                        {"end_s", file.tEnd},
                        {"sha256", Lower(file.strSha256)}});
        nBytes += file.nSize;
    }
    nlohmann::json manifest = {
        {"format", "zeldownload-evidence"},
        {"version", kFormatVersion},
        {"generated_at", TimeText(tGenerated)},
        // Every time here is the depot's wall clock: local time written as if it were UTC.
        {"time_note", "times are the depot's local wall-clock time"},
        {"request", RequestPart(request)},
        {"file_count", files.size()},
        {"total_bytes", nBytes},
        {"files", list},
    };
    // Text from outside may hold any bytes; invalid UTF-8 is replaced, never thrown on.
    strManifest = manifest.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    strError.clear();
    return true;
}
