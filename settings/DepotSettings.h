#pragma once

#include <cstdint>
#include <string>

class CSettingsFile;

// The unattended-depot keys, kept in ./QorConfig.xml beside the others. Every
// default (0) keeps the behaviour of a server without them.
struct DepotSettings {
    std::uint32_t nRollingHours = 0;  // "rollinghours": each pass asks for the last N hours; 0 the fixed span
    std::uint32_t nMaxTransfers = 0;  // "maxtransfers": files received at once over all vehicles; 0 no limit
    std::uint32_t nRetainDays = 0;    // "retaindays": delete finished recordings older than N days; 0 off
    std::uint32_t nMinFreeMb = 0;     // "minfreemb": delete the oldest recordings below N MiB free; 0 off
    std::uint32_t nMaxVehicles = 0;   // "maxvehicles": online vehicles at most, more are refused; 0 no limit
};

// The largest value each key accepts.
constexpr std::uint32_t kMaxRollingHours = 24 * 366;
constexpr std::uint32_t kMaxMaxTransfers = 4096;
constexpr std::uint32_t kMaxRetainDays = 3660;
constexpr std::uint32_t kMaxMinFreeMb = 64u * 1024 * 1024;
constexpr std::uint32_t kMaxMaxVehicles = 100000;

// The rolling window and vehicle limit a server creating its settings file starts with.
constexpr std::uint32_t kHeadlessRollingHours = 24;
constexpr std::uint32_t kHeadlessMaxVehicles = 1000;

// The process-wide record, reloaded at every Start. The window thread writes it only
// while the server is stopped; other threads copy what they need. Any thread.
DepotSettings& GlobalDepotSettings();

// Reads the keys; a missing or unreadable key keeps its default, and a value
// above its limit is cut to the limit. Window thread.
DepotSettings LoadDepotSettings(CSettingsFile& file);

// Writes the keys. False when a key could not be written. Window thread.
bool SaveDepotSettings(const DepotSettings& settings, CSettingsFile& file);

// "" when every value is within its limit, else the message that names the first
// one that is not. Any thread.
std::string ValidateDepotSettings(const DepotSettings& settings);
