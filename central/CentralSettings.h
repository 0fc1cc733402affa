#pragma once

#include <string>
#include <vector>

class CSettingsFile;

// The keys of the shared fleet database, kept in ./QorConfig.xml beside the others
// and read at Start. Without centraldb the depot keeps its fleet in fleet.db only.
struct CentralSettings {
    std::string strConnInfo;   // "centraldb": a libpq connection string; "" none
    std::string strDepot;      // "depotname": this depot's name in the shared rows
    std::string strDepotUrl;   // "depoturl": this depot's dashboard as others reach it; "" none
};

// Longest depot name taken; the shared rows key on it.
constexpr std::size_t kMaxDepotNameLength = 64;

// Reads the keys; each value is trimmed. Window thread.
CentralSettings LoadCentralSettings(CSettingsFile& file);

// What keeps the settings from being used, one line each: a connection string without
// a depot name, a name too long or with control characters. Any thread.
std::vector<std::string> CentralSettingsProblems(const CentralSettings& settings);
