#include "web/WebViews.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <set>

#ifndef ZEL_VERSION
#define ZEL_VERSION "unknown"
#endif

namespace {

using Json = nlohmann::json;

constexpr std::uint32_t kStaleSeconds = 24 * 3600;  // as the Fleet tab reckons it

std::string Dump(const Json& json)
{
    // Strings went through ValidUtf8 already; replace stays as the last guard so that
    // no answer can ever throw.
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Length of the valid UTF-8 sequence at p (at most nLeft bytes), or 0 when there is none.
std::size_t Utf8Length(const unsigned char* p, std::size_t nLeft)
{
    const unsigned char c = p[0];
    std::size_t nLen = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        nLen = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        nLen = 3;
        if (c == 0xE0)
            lo = 0xA0;  // no overlong forms
        if (c == 0xED)
            hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        nLen = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;  // nothing above U+10FFFF
    } else
        return 0;
    if (nLeft < nLen || p[1] < lo || p[1] > hi)
        return 0;
    for (std::size_t i = 2; i < nLen; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    }
    return nLen;
}

// text as one segment of a URL path: every byte but the unreserved ones as %XX, so
// that a name of any bytes (not valid UTF-8, with slashes) reaches the server as it is.
std::string PathSegment(std::string_view text)
{
    static const char s_szHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-' || u == '.' ||
            u == '_' || u == '~') {
            out += c;
        } else {
            out += '%';
            out += s_szHex[u >> 4];
            out += s_szHex[u & 15];
        }
    }
    return out;
}

void AppendCounter(std::string& out, const char* szName, const char* szHelp, std::uint64_t nValue)
{
    char szLine[512];
    std::snprintf(szLine, sizeof(szLine), "# HELP %s %s\n# TYPE %s counter\n%s %llu\n", szName, szHelp, szName,
                  szName, static_cast<unsigned long long>(nValue));
    out += szLine;
}

void AppendGauge(std::string& out, const char* szName, const char* szHelp, double dValue)
{
    char szLine[512];
    std::snprintf(szLine, sizeof(szLine), "# HELP %s %s\n# TYPE %s gauge\n%s %.17g\n", szName, szHelp, szName,
                  szName, dValue);
    out += szLine;
}

// A percentage as a ratio: 30 reads 0.3, not 0.29999999999999999.
std::string PercentAsRatio(int nPercent)
{
    char szValue[32];
    std::snprintf(szValue, sizeof(szValue), "%g", nPercent / 100.0);
    return szValue;
}

// One gauge with a series per vehicle; value gives a vehicle's figure as text.
template <class Value>
void AppendVehicleSeries(std::string& out, const char* szName, const char* szHelp,
                         const std::vector<std::pair<std::string, const VehicleStatus*>>& labelled, Value value)
{
    out += std::string("# HELP ") + szName + " " + szHelp + "\n# TYPE " + szName + " gauge\n";
    for (const auto& [label, pVehicle] : labelled)
        out += std::string(szName) + "{vehicle=\"" + label + "\"} " + value(*pVehicle) + "\n";
}

} // namespace

const char* WebVersion()
{
    return ZEL_VERSION;
}

std::string ValidUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t nLeft = text.size();
    while (nLeft > 0) {
        std::size_t nLen = Utf8Length(p, nLeft);
        if (nLen == 0) {
            out += "\xEF\xBF\xBD";
            nLen = 1;
        } else
            out.append(reinterpret_cast<const char*>(p), nLen);
        p += nLen;
        nLeft -= nLen;
    }
    return out;
}

std::string MetricLabelValue(std::string_view text)
{
    std::string out;
    for (char c : ValidUtf8(text)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::vector<std::string> AttentionReasons(const FleetRecord& record, std::uint32_t tNow)
{
    std::vector<std::string> reasons;
    if (record.nPending > 0)
        reasons.emplace_back("recordings pending on the recorder");
    if (record.tLastCompleteOffload == 0)
        reasons.emplace_back("never fully offloaded");
    else if (tNow > record.tLastCompleteOffload && tNow - record.tLastCompleteOffload > kStaleSeconds)
        reasons.emplace_back("not fully offloaded for more than 24 hours");
    if (record.nUnfetchable > 0)
        reasons.emplace_back("unfetchable recordings");
    if (record.nMissedDropped > 0)
        reasons.emplace_back("missed recordings beyond the list's limit");
    return reasons;
}

// Seconds the oldest row of the outbox waits; 0 when it is empty.
std::uint32_t OutboxAge(const CentralStatus& central, std::uint32_t tNow)
{
    return central.tOldest != 0 && tNow > central.tOldest ? tNow - central.tOldest : 0;
}

void AppendCentral(std::string& out, const CentralStatus& central, std::uint32_t tNow)
{
    AppendGauge(out, "zeldownload_central_connected", "Whether the shared fleet database is connected (1) or not (0).",
                central.bConnected ? 1 : 0);
    AppendGauge(out, "zeldownload_central_outbox_rows", "Rows of fleet.db waiting to be sent to the shared database.",
                static_cast<double>(central.nOutboxRows));
    AppendGauge(out, "zeldownload_central_outbox_oldest_seconds",
                "How long the oldest row waiting for the shared database has waited, seconds.",
                static_cast<double>(OutboxAge(central, tNow)));
    AppendCounter(out, "zeldownload_central_rows_sent_total", "Rows the shared database took since the start.",
                  central.nSent);
    AppendGauge(out, "zeldownload_central_rows_rejected", "Rows the shared database refused, kept in fleet.db.",
                static_cast<double>(central.nRejected));
}

std::string StatusJson(const WebStatus& status)
{
    Json json = {
        {"version", WebVersion()},
        {"running", status.bRunning},
        {"started_at", status.tStartedAt},
        {"control_port", status.nControlPort},
        {"download_dir", ValidUtf8(status.strDownloadDir)},
        {"disk_free_bytes", status.nDiskFree ? Json(*status.nDiskFree) : Json(nullptr)},
        {"online", status.nOnline},
        {"transfers_active", status.nTransfersActive},
        {"transfers_queued", status.nTransfersQueued},
    };
    if (status.central) {
        const CentralStatus& central = *status.central;
        json["central"] = {
            {"depot", ValidUtf8(central.strDepot)},
            {"connected", central.bConnected},
            {"outbox_rows", central.nOutboxRows},
            {"outbox_oldest_seconds", OutboxAge(central, status.tNow)},
            {"rows_sent", central.nSent},
            {"rows_rejected", central.nRejected},
            {"last_error", ValidUtf8(central.strLastError)},
        };
    }
    return Dump(json);
}

std::string FleetAcrossDepotsJson(const std::vector<DepotVehicle>& rows)
{
    Json json = Json::array();
    for (std::size_t i = 0; i < rows.size();) {
        // The rows of one vehicle follow each other, the newest first.
        const DepotVehicle& last = rows[i];
        Json depots = Json::array();
        std::uint64_t nVisits = 0, nFiles = 0, nBytes = 0;
        std::uint32_t tFirst = last.tFirstSeen, tComplete = 0;
        for (; i < rows.size() && rows[i].strName == last.strName; ++i) {
            const DepotVehicle& row = rows[i];
            nVisits += row.nVisits;
            nFiles += row.nFiles;
            nBytes += row.nBytes;
            tFirst = std::min(tFirst, row.tFirstSeen);
            tComplete = std::max(tComplete, row.tLastCompleteOffload);
            depots.push_back({{"depot", ValidUtf8(row.strDepot)}, {"first_seen", row.tFirstSeen},
                              {"last_seen", row.tLastSeen}, {"visits", row.nVisits}, {"files_total", row.nFiles},
                              {"bytes_total", row.nBytes}, {"last_complete_offload", row.tLastCompleteOffload},
                              {"pending", row.nPending >= 0 ? Json(row.nPending) : Json(nullptr)}});
        }
        json.push_back({{"name", ValidUtf8(last.strName)}, {"last_depot", ValidUtf8(last.strDepot)},
                        {"first_seen", tFirst}, {"last_seen", last.tLastSeen}, {"visits", nVisits},
                        {"files_total", nFiles}, {"bytes_total", nBytes}, {"last_complete_offload", tComplete},
                        {"pending", last.nPending >= 0 ? Json(last.nPending) : Json(nullptr)},
                        {"depots", std::move(depots)}});
    }
    return Dump(json);
}

std::string VehiclesJson(const std::vector<VehicleStatus>& vehicles)
{
    Json json = Json::array();
    for (const VehicleStatus& vehicle : vehicles) {
        json.push_back({
            {"name", ValidUtf8(vehicle.strName)},
            {"address", ValidUtf8(vehicle.strAddress)},
            {"channels", vehicle.nChannels},
            {"progress", vehicle.nProgress},
            {"speed_kbps", vehicle.nSpeedKbps},
            {"state", vehicle.szState ? vehicle.szState : ""},
        });
    }
    return Dump(json);
}

std::string FleetJson(const std::vector<FleetRecord>& records, const std::vector<std::string>& onlineSorted,
                      std::uint32_t tNow)
{
    Json json = Json::array();
    for (const FleetRecord& rec : records) {
        Json reasons = Json::array();
        for (std::string& reason : AttentionReasons(rec, tNow))
            reasons.push_back(std::move(reason));
        json.push_back({
            {"name", ValidUtf8(rec.strName)},
            {"online", std::binary_search(onlineSorted.begin(), onlineSorted.end(), rec.strName)},
            {"first_seen", rec.tFirstSeen},
            {"last_seen", rec.tLastSeen},
            {"last_address", ValidUtf8(rec.strLastAddress)},
            {"visits", rec.nVisits},
            {"files_total", rec.nFilesTotal},
            {"bytes_total", rec.nBytesTotal},
            {"files_last_visit", rec.nFilesLastVisit},
            {"bytes_last_visit", rec.nBytesLastVisit},
            {"files_today", rec.nFilesToday},
            {"bytes_today", rec.nBytesToday},
            {"last_complete_offload", rec.tLastCompleteOffload},
            {"pending", rec.nPending < 0 ? Json(nullptr) : Json(rec.nPending)},
            {"last_failure_time", rec.tLastFailure},
            {"last_failure", ValidUtf8(rec.strLastFailure)},
            {"unfetchable", rec.nUnfetchable},
            {"left_behind", rec.nLeftBehind},
            {"missed_dropped", rec.nMissedDropped},
            {"missed_url", "/api/v1/fleet/" + PathSegment(rec.strName) + "/missed"},
            {"attention", std::move(reasons)},
        });
    }
    return Dump(json);
}

std::string LogJson(const std::vector<CLogRing::Line>& lines)
{
    Json json = Json::array();
    for (const CLogRing::Line& line : lines) {
        json.push_back({
            {"seq", line.nSeq},
            {"time", line.tTime},
            {"vehicle", ValidUtf8(line.strVehicle)},
            {"text", ValidUtf8(line.strText)},
        });
    }
    return Dump(json);
}

std::string MissedJson(const std::vector<MissedRecording>& recordings)
{
    Json json = Json::array();
    for (const MissedRecording& rec : recordings) {
        json.push_back({
            {"channel", rec.nChannel},
            {"file_name", ValidUtf8(rec.strFileName)},
            {"start", rec.tStart},
            {"end", rec.tEnd},
            {"reason", ValidUtf8(rec.strReason)},
            {"visits", rec.nVisits},
            {"last_missed", rec.tLastMissed},
            {"state", MissedStateName(rec.eState)},
        });
    }
    return Dump(json);
}

std::string MetricsText(const WebStatus& status, const std::vector<VehicleStatus>& vehicles)
{
    std::string out;
    out.reserve(1024 + vehicles.size() * 160);
    AppendGauge(out, "zeldownload_running", "Whether the download server runs (1) or not (0).",
                status.bRunning ? 1 : 0);
    AppendGauge(out, "zeldownload_online_vehicles", "Vehicles online now.", static_cast<double>(status.nOnline));
    AppendCounter(out, "zeldownload_received_bytes_total", "File bytes written to the store.", status.nReceivedBytes);
    AppendCounter(out, "zeldownload_files_downloaded_total", "Recordings stored whole.", status.nFilesDownloaded);
    AppendCounter(out, "zeldownload_transfer_failures_total", "Transfers that did not store their file.",
                  status.nTransferFailures);
    AppendCounter(out, "zeldownload_reply_timeouts_total", "Requests to recorders whose reply never came.",
                  status.nReplyTimeouts);
    AppendCounter(out, "zeldownload_control_datagrams_total", "Datagrams the control socket received.",
                  status.nControlDatagrams);
    if (status.nDiskFree)
        AppendGauge(out, "zeldownload_disk_free_bytes", "Free bytes of the volume holding the download directory.",
                    static_cast<double>(*status.nDiskFree));
    AppendGauge(out, "zeldownload_transfers_active", "Files being received now.",
                static_cast<double>(status.nTransfersActive));
    AppendGauge(out, "zeldownload_transfers_queued", "Transfers waiting for a slot.",
                static_cast<double>(status.nTransfersQueued));
    AppendGauge(out, "zeldownload_unfetchable_recordings",
                "Recordings missed in 3 visits and not stored since, over the fleet.",
                static_cast<double>(status.nUnfetchable));
    AppendCounter(out, "zeldownload_http_auth_failures_total", "Dashboard requests with a wrong token.",
                  status.nAuthFailures);
    if (status.central)
        AppendCentral(out, *status.central, status.tNow);

    // Two names that differ only in invalid bytes read alike once those are replaced:
    // a series may appear once only, so the later one is left out.
    std::vector<std::pair<std::string, const VehicleStatus*>> labelled;
    std::set<std::string> seen;
    for (const VehicleStatus& vehicle : vehicles) {
        std::string label = MetricLabelValue(vehicle.strName);
        if (seen.insert(label).second)
            labelled.emplace_back(std::move(label), &vehicle);
    }
    // The first two series in base units; the older two stay for dashboards built on them.
    AppendVehicleSeries(out, "zeldownload_vehicle_progress_ratio", "Progress of the vehicle's download pass, 0 to 1.",
                        labelled, [](const VehicleStatus& v) { return PercentAsRatio(v.nProgress); });
    AppendVehicleSeries(out, "zeldownload_vehicle_speed_bytes_per_second",
                        "Download speed of the vehicle over the last second, bytes per second.", labelled,
                        [](const VehicleStatus& v) { return std::to_string(v.nSpeedBytes); });
    AppendVehicleSeries(out, "zeldownload_vehicle_progress_percent",
                        "Deprecated: use zeldownload_vehicle_progress_ratio. Progress of the vehicle's download "
                        "pass, 0 to 100.",
                        labelled, [](const VehicleStatus& v) { return std::to_string(v.nProgress); });
    AppendVehicleSeries(out, "zeldownload_vehicle_speed_kbps",
                        "Deprecated: use zeldownload_vehicle_speed_bytes_per_second. Download speed of the vehicle "
                        "over the last second, kbit/s.",
                        labelled, [](const VehicleStatus& v) { return std::to_string(v.nSpeedKbps); });
    return out;
}
