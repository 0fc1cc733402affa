#pragma once

#include "settings/DepotSettings.h"
#include "settings/Settings.h"

#include <string>
#include <vector>

class CSettingsFile;

// The settings a Start runs with, read from a settings file, and what in the file is
// not taken as written: a file without "port" whose other classic keys are ignored,
// classic keys that read as empty, values out of range or not numbers.
struct SettingsReport {
    ServerSettings settings;
    DepotSettings depot;
    std::vector<std::string> warnings;  // one plain-English log line each
};

// Reads the classic and depot keys as a Start does; writes nothing. Window thread.
SettingsReport ReadSettingsReport(CSettingsFile& file);

// One line with the settings in force: "Settings: port 5990, downdir /abs/path,
// IP automatic, span rolling 24 hours, filetype 0 (All Record), component mode 0,
// maxtransfers 0, ...". The download directory is made absolute against the working
// directory. Any thread.
std::string SettingsSummary(const ServerSettings& settings, const DepotSettings& depot);

// What zeldownloadd --check-config finds.
struct ConfigCheck {
    std::vector<std::string> notes;     // facts, e.g. that the file does not exist yet
    std::string strSummary;             // as SettingsSummary
    std::vector<std::string> warnings;  // the server would start, but not as the file may mean
    std::vector<std::string> errors;    // the server cannot work as configured
};

// Reads the settings file at path without creating or changing it (a missing one as
// the defaults zeldownloadd writes into a file it creates) and tries for real what
// the server will need: the download directory and the working directory must take a
// new file. Main thread, with no server running.
ConfigCheck CheckConfig(const std::string& path);
