#pragma once

#include "settings/DepotSettings.h"
#include "settings/Settings.h"

#include <memory>
#include <string>

// What a running server works with: read once at Start and never changed after, so
// every thread reads it without a lock. Shared by pointer (ServerConfigPtr); a
// settings edit takes effect at the next Start, with a new snapshot.
struct ServerConfig {
    ServerSettings settings;
    DepotSettings depot;
    SpecialConfigTable special;   // per-vehicle overrides
    bool bSpecialOn = false;      // the table is in force ("AllPrivileges" flag 1)

    // The override for szVehicle when the table is in force. Any thread.
    bool FindSpecial(const char* szVehicle, SpecialConfigEntry& entry) const;
};

using ServerConfigPtr = std::shared_ptr<const ServerConfig>;

// The defaults a fresh process has: DefaultSettings(), default depot keys, no
// overrides. Any thread.
ServerConfigPtr DefaultServerConfig();
