#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class CSettingsFile;
struct LogRotation;

// The unattended-depot keys, kept in ./QorConfig.xml beside the others. Every
// default keeps the behaviour of a server without them.
struct DepotSettings {
    std::uint32_t nRollingHours = 0;  // "rollinghours": each pass asks for the last N hours; 0 the fixed span
    std::uint32_t nMaxTransfers = 0;  // "maxtransfers": files received at once over all vehicles; 0 no limit
    std::uint32_t nRetainDays = 0;    // "retaindays": delete finished recordings older than N days; 0 off
    std::uint32_t nMinFreeMb = 0;     // "minfreemb": delete the oldest recordings below N MiB free; 0 off
    std::uint32_t nMaxVehicles = 0;   // "maxvehicles": online vehicles at most, more are refused; 0 no limit
    std::uint32_t nLogMaxMb = 0;      // "logmaxmb": log.txt rotated past N MiB; 0 emptied at every start instead
    std::uint32_t nLogKeep = 5;       // "logkeep": rotated log files kept, with logmaxmb set
};

// The smallest and largest value each key accepts.
constexpr std::uint32_t kMaxRollingHours = 24 * 366;
constexpr std::uint32_t kMaxMaxTransfers = 4096;
constexpr std::uint32_t kMaxRetainDays = 3660;
constexpr std::uint32_t kMaxMinFreeMb = 64u * 1024 * 1024;
constexpr std::uint32_t kMaxMaxVehicles = 100000;
constexpr std::uint32_t kMaxLogMaxMb = 65536;
constexpr std::uint32_t kMinLogKeep = 1;
constexpr std::uint32_t kMaxLogKeep = 100;

// What a server creating its settings file starts with: a rolling window, so that
// it keeps fetching what is recorded after it started; a vehicle limit, so that a
// flood of registrations cannot exhaust it; a log that fits a disk.
constexpr std::uint32_t kHeadlessRollingHours = 24;
constexpr std::uint32_t kHeadlessMaxVehicles = 1000;
constexpr std::uint32_t kHeadlessLogMaxMb = 64;
constexpr std::uint32_t kHeadlessLogKeep = 5;

// One key: its element, field, limits, and how the dialog and messages name it.
struct DepotKey {
    const char* szName;
    std::uint32_t DepotSettings::*pField;
    std::uint32_t nMin;
    std::uint32_t nMax;
    const char* szCaption;
    const char* szHint;  // what the edge value means
};

// Every key, in the order the file and the dialog have them. Any thread.
std::span<const DepotKey> DepotKeys();

// The defaults with the values above that zeldownloadd writes into a file it creates.
// Any thread.
DepotSettings HeadlessDepotSettings();


// Reads the keys; a missing or unreadable key keeps its default, and a value
// outside its limits is cut to the nearer one. Each value not taken as written is
// named in *pWarnings when given. Window thread.
DepotSettings LoadDepotSettings(CSettingsFile& file, std::vector<std::string>* pWarnings = nullptr);

// Writes the keys. False when a key could not be written. Window thread.
bool SaveDepotSettings(const DepotSettings& settings, CSettingsFile& file);

// "" when every value is within its limits, else the message that names the first
// one that is not. Any thread.
std::string ValidateDepotSettings(const DepotSettings& settings);

// The log file limits the settings ask for. Any thread.
LogRotation LogRotationOf(const DepotSettings& settings);
