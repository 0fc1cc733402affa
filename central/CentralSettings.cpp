#include "central/CentralSettings.h"

#include "platform/Format.h"
#include "settings/SettingsFile.h"

CentralSettings LoadCentralSettings(CSettingsFile& file)
{
    CentralSettings settings;
    file.ReadText("centraldb", settings.strConnInfo);
    file.ReadText("depotname", settings.strDepot);
    file.ReadText("depoturl", settings.strDepotUrl);
    return settings;
}

std::vector<std::string> CentralSettingsProblems(const CentralSettings& settings)
{
    std::vector<std::string> problems;
    if (settings.strConnInfo.empty())
        return problems;
    if (settings.strDepot.empty())
        problems.emplace_back("centraldb is set but depotname is empty: the fleet is kept in fleet.db only");
    if (settings.strDepot.size() > kMaxDepotNameLength)
        problems.push_back(Format("depotname is longer than %d characters: the fleet is kept in fleet.db only",
                                  static_cast<int>(kMaxDepotNameLength)));
    for (char c : settings.strDepot) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            problems.emplace_back("depotname holds a control character: the fleet is kept in fleet.db only");
            break;
        }
    }
    return problems;
}
