#include "central/CentralFeeds.h"

namespace {

constexpr CentralColumn kVehicle[] = {
    {"name", "text"},          {"first_seen", "bigint"},       {"last_seen", "bigint"},
    {"last_address", "text"},  {"visits", "bigint"},           {"files_total", "bigint"},
    {"bytes_total", "bigint"}, {"files_last_visit", "bigint"}, {"bytes_last_visit", "bigint"},
    {"last_complete_offload", "bigint"}, {"pending", "bigint"}, {"last_failure_time", "bigint"},
    {"last_failure", "text"},  {"missed_dropped", "bigint"},
};
constexpr CentralColumn kDayTotal[] = {
    {"name", "text"}, {"day", "bigint"}, {"files", "bigint"}, {"bytes", "bigint"},
};
constexpr CentralColumn kRecording[] = {
    {"id", "bigint"},         {"vehicle", "text"},  {"channel", "integer"}, {"start_time", "bigint"},
    {"end_time", "bigint"},   {"size", "bigint"},   {"path", "text"},       {"stored_at", "bigint"},
    {"sha256", "text"},       {"crc32", "bigint"},  {"deleted_at", "bigint"},
};
constexpr CentralColumn kRequest[] = {
    {"id", "bigint"},          {"vehicle", "text"},     {"channels", "text"},   {"time_from", "bigint"},
    {"time_to", "bigint"},     {"reason", "text"},      {"requested_by", "text"}, {"created_at", "bigint"},
    {"state", "text"},         {"reasons", "text"},     {"retry", "integer"},   {"state_changed_at", "bigint"},
    {"origin_depot", "text"},  {"origin_id", "bigint"}, {"taken_by", "text"},
};
constexpr CentralColumn kRequestRecording[] = {
    {"request_id", "bigint"}, {"channel", "integer"}, {"file_name", "text"}, {"start_time", "bigint"},
    {"end_time", "bigint"},   {"path", "text"},       {"size", "bigint"},    {"fetched", "integer"},
};
constexpr CentralColumn kRequestState[] = {
    {"seq", "bigint", "rowid"}, {"request_id", "bigint"}, {"state", "text"}, {"reasons", "text"}, {"at", "bigint"},
};
constexpr CentralColumn kAudit[] = {
    {"id", "bigint"},   {"at", "bigint"},     {"client", "text"}, {"role", "text"},
    {"action", "text"}, {"object", "text"},   {"detail", "text"},
};

// Vehicles before what names them, so that a reader never sees a recording of a
// vehicle the fleet lacks within one batch.
constexpr CentralFeed kFeeds[] = {
    {"vehicle", "name", kVehicle, 1, false},
    {"day_total", "name || '/' || day", kDayTotal, 2, false},
    {"recording", "id", kRecording, 1, false},
    {"footage_request", "id", kRequest, 1, false},
    {"footage_request_recording", "request_id || '/' || channel || '/' || start_time || '/' || file_name",
     kRequestRecording, 4, false},
    {"footage_request_state", "rowid", kRequestState, 1, true},
    {"audit", "id", kAudit, 1, true},
};

} // namespace

std::span<const CentralFeed> CentralFeeds()
{
    return kFeeds;
}

const CentralFeed* FindCentralFeed(const std::string& table)
{
    for (const CentralFeed& feed : kFeeds) {
        if (table == feed.szTable)
            return &feed;
    }
    return nullptr;
}
