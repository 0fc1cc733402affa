#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

class CSettingsFile;

// The classic keys of the settings file (./QorConfig.xml).
struct ServerSettings {
    std::uint16_t nPort = 5990;             // UDP control port
    char szIP[16] = "127.0.0.1";            // local address recorders connect back to
    char szDownDir[260] = "mp4download";    // root of the downloaded recordings
    std::uint32_t tStart = 0;               // span start, wall-clock seconds
    std::uint32_t tStop = 0;                // span end, wall-clock seconds
    std::uint32_t nFileType = 0;            // 0 all, 1 timing, 2 alarm recordings
    std::uint8_t bComponentMode = 0;        // append finished files to the record index
};

// One per-vehicle override of the span, file type and channel.
struct SpecialConfigEntry {
    char szPlate[32] = {};                  // vehicle name; the table's key
    std::uint8_t nChan = 0;                 // 0 all channels, else the only one fetched
    std::uint32_t tStart = 0;               // wall-clock seconds
    std::uint32_t tStop = 0;                // wall-clock seconds
    std::uint32_t nFileType = 0;            // as ServerSettings::nFileType
};

// Special configuration keyed by plate.
using SpecialConfigTable = std::map<std::string, SpecialConfigEntry>;


// The settings file object of ./QorConfig.xml, created (with the file when needed)
// on first call. Window thread.
CSettingsFile& SettingsFile();

// The defaults, with the span set to the last 24 hours. Any thread.
ServerSettings DefaultSettings();

// What a headless server creating its settings file starts with: the defaults with
// the address left automatic (empty), since a service serves recorders on the depot
// network. Any thread.
ServerSettings HeadlessSettings();

// Fills settings from the file: 0 when it holds "port", else -1 with the defaults.
// Window thread.
int LoadSettings(ServerSettings& settings, CSettingsFile& file = SettingsFile());

// The raw content of the element named szKey, as LoadSettings reads it; nothing
// when the file has no such element. Window thread.
std::optional<std::string> ReadSettingValue(CSettingsFile& file, const char* szKey);

// Writes the seven keys in their fixed order. True when every key was written;
// false when the file could not be (the keys after a failed one are still tried).
// Window thread.
bool SaveSettings(const ServerSettings& settings, CSettingsFile& file = SettingsFile());

// Refills table (and nFlag when the file holds one) from "AllPrivileges"; always 0.
// Window thread.
int LoadSpecialConfig(SpecialConfigTable& table, int& nFlag, CSettingsFile& file = SettingsFile());

// Writes flag and entries (in list order) as "AllPrivileges", then reloads table and
// nFlag from the file. False when the file could not be written: nTableFlag keeps its
// previous value and the table is what the file still holds. Window thread.
bool SaveSpecialConfig(int nFlag, const std::vector<SpecialConfigEntry>& entries,
                       CSettingsFile& file, SpecialConfigTable& table, int& nTableFlag);
// The same, for a caller that reads the table back later. Window thread.
bool SaveSpecialConfig(int nFlag, const std::vector<SpecialConfigEntry>& entries,
                       CSettingsFile& file = SettingsFile());


// Copies text into a fixed field of nSize bytes, cut to nSize - 1 bytes (never in the
// middle of a UTF-8 character) and NUL-terminated. Any thread.
void CopyField(char* szField, std::size_t nSize, const std::string& text);
