#pragma once

#include "central/CentralStore.h"
#include "depot/FleetRecord.h"
#include "depot/MissedRecording.h"
#include "vehicles/VehicleStatus.h"
#include "web/LogRing.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the dashboard answers are made of: figures copied out of the server, so that
// rendering takes no lock of it. Every function here is thread-safe.

struct WebStatus {
    bool bRunning = false;
    std::uint32_t tStartedAt = 0;               // wall-clock seconds; 0 never started
    std::uint16_t nControlPort = 0;
    std::string strDownloadDir;
    std::optional<std::uint64_t> nDiskFree;     // nothing when the query failed
    std::size_t nOnline = 0;
    std::uint32_t nTransfersActive = 0;
    std::uint32_t nTransfersQueued = 0;
    std::uint64_t nReceivedBytes = 0;
    std::uint64_t nFilesDownloaded = 0;
    std::uint64_t nTransferFailures = 0;
    std::uint64_t nReplyTimeouts = 0;
    std::uint64_t nControlDatagrams = 0;
    std::uint64_t nUnfetchable = 0;             // unfetchable recordings over the fleet
    std::uint64_t nAuthFailures = 0;            // wrong dashboard tokens (metrics only)
    std::optional<CentralStatus> central;       // nothing without a shared fleet database
    std::uint32_t tNow = 0;                     // wall-clock seconds, for the outbox's age
};

// The version the status answer names.
const char* WebVersion();

// JSON answers. Text from recorders may hold any bytes: invalid UTF-8 is replaced by
// U+FFFD and everything is escaped as JSON wants.
std::string StatusJson(const WebStatus& status);
// The fleet of every depot (rows by name, newest first, as CCentralStore reads them):
// per vehicle its totals over the depots, the depot that saw it last, and each
// depot's own figures.
std::string FleetAcrossDepotsJson(const std::vector<DepotVehicle>& rows);
std::string VehiclesJson(const std::vector<VehicleStatus>& vehicles);
// onlineSorted: names of the online vehicles, sorted; tNow: wall-clock seconds.
std::string FleetJson(const std::vector<FleetRecord>& records, const std::vector<std::string>& onlineSorted,
                      std::uint32_t tNow);
std::string LogJson(const std::vector<CLogRing::Line>& lines);
// One vehicle's missed recordings, in the order given.
std::string MissedJson(const std::vector<MissedRecording>& recordings);

// The Prometheus text exposition of the status (fleet-wide unfetchable recordings
// included) and of each online vehicle.
std::string MetricsText(const WebStatus& status, const std::vector<VehicleStatus>& vehicles);

// Why the fleet table marks a vehicle (the Fleet tab's reasons); empty when it does not.
std::vector<std::string> AttentionReasons(const FleetRecord& record, std::uint32_t tNow);

// text with every byte that does not belong to valid UTF-8 replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);
// A Prometheus label value: valid UTF-8 with backslash, double quote and line feed
// escaped.
std::string MetricLabelValue(std::string_view text);
