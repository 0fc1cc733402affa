#include "settings/Settings.h"

#include "platform/Format.h"
#include "settings/SettingsFile.h"
#include "settings/WallClock.h"
#include "settings/XmlDoc.h"

#include <cstdlib>
#include <cstring>

namespace {

// atoi without its undefined overflow: the low 32 bits of the decimal value, so
// times written "%d" past 2038 come back unchanged.
std::uint32_t ToNumber(const std::string& text)
{
    return static_cast<std::uint32_t>(std::strtoll(text.c_str(), nullptr, 10));
}

// The raw content of the element named szKey; "" when there is none.
std::string ReadRaw(CSettingsFile& file, const char* szKey)
{
    return ReadSettingValue(file, szKey).value_or(std::string());
}

std::string FieldText(const char* szField, std::size_t nSize)
{
    return std::string(szField, ::strnlen(szField, nSize));
}

}  // namespace

CSettingsFile& SettingsFile()
{
    static CSettingsFile s_file(CSettingsFile::kDefaultPath);
    return s_file;
}

void CopyField(char* szField, std::size_t nSize, const std::string& text)
{
    if (nSize == 0)
        return;
    std::size_t nLen = text.size() < nSize - 1 ? text.size() : nSize - 1;
    // Cut before a character that would not fit whole.
    if (nLen < text.size()) {
        while (nLen > 0 && (static_cast<unsigned char>(text[nLen]) & 0xC0) == 0x80)
            --nLen;
    }
    std::memcpy(szField, text.data(), nLen);
    szField[nLen] = '\0';
}

ServerSettings DefaultSettings()
{
    ServerSettings settings;
    std::uint32_t tNow = WallClockNow();
    settings.tStart = tNow - 86400;
    settings.tStop = tNow;
    return settings;
}

ServerSettings HeadlessSettings()
{
    ServerSettings settings = DefaultSettings();
    settings.szIP[0] = '\0';
    return settings;
}

int LoadSettings(ServerSettings& settings, CSettingsFile& file)
{
    settings = DefaultSettings();
    if (file.ReadValue("port").empty())
        return -1;

    // Once "port" is there, a missing key reads as empty: 0 or "".
    settings.nPort = static_cast<std::uint16_t>(ToNumber(ReadRaw(file, "port")));
    CopyField(settings.szDownDir, sizeof(settings.szDownDir), ReadRaw(file, "downdir"));
    settings.tStart = ToNumber(ReadRaw(file, "startdown"));
    settings.tStop = ToNumber(ReadRaw(file, "stoptdown"));
    settings.nFileType = ToNumber(ReadRaw(file, "filetype"));
    CopyField(settings.szIP, sizeof(settings.szIP), ReadRaw(file, "IP"));
    settings.bComponentMode = ToNumber(ReadRaw(file, "MIRDOMode")) != 0 ? 1 : 0;
    return 0;
}

std::optional<std::string> ReadSettingValue(CSettingsFile& file, const char* szKey)
{
    CXmlDoc scratch;
    scratch.SetText(file.ReadValue(szKey));
    if (!scratch.FindSibling(szKey))
        return std::nullopt;
    return scratch.GetRawContent();
}

bool SaveSettings(const ServerSettings& settings, CSettingsFile& file)
{
    bool bOk = file.WriteValue("port", Format("%d", settings.nPort));
    bOk = file.WriteValue("downdir", FieldText(settings.szDownDir, sizeof(settings.szDownDir))) && bOk;
    bOk = file.WriteValue("startdown", Format("%d", static_cast<int>(settings.tStart))) && bOk;
    bOk = file.WriteValue("stoptdown", Format("%d", static_cast<int>(settings.tStop))) && bOk;
    bOk = file.WriteValue("filetype", Format("%d", static_cast<int>(settings.nFileType))) && bOk;
    bOk = file.WriteValue("IP", FieldText(settings.szIP, sizeof(settings.szIP))) && bOk;
    bOk = file.WriteValue("MIRDOMode", Format("%d", settings.bComponentMode)) && bOk;
    return bOk;
}

int LoadSpecialConfig(SpecialConfigTable& table, int& nFlag, CSettingsFile& file)
{
    table.clear();
    CXmlDoc doc;
    doc.SetText(file.ReadValue("AllPrivileges"));
    if (doc.FindChild("EnablePrivileges"))
        nFlag = static_cast<int>(ToNumber(doc.GetChildText()));

    while (doc.FindChild("Privilege")) {
        doc.EnterElement();
        // Each lookup searches after the previous child; a failed one leaves the
        // current child where it was, and its text is read again.
        SpecialConfigEntry entry;
        doc.FindChild("PlateNO");
        CopyField(entry.szPlate, sizeof(entry.szPlate), doc.GetChildText());
        doc.FindChild("ChanNO");
        entry.nChan = static_cast<std::uint8_t>(ToNumber(doc.GetChildText()));
        doc.FindChild("StartTime");
        entry.tStart = ToNumber(doc.GetChildText());
        doc.FindChild("StopTime");
        entry.tStop = ToNumber(doc.GetChildText());
        doc.FindChild("FileType");
        entry.nFileType = ToNumber(doc.GetChildText());
        doc.LeaveElement();
        table[entry.szPlate] = entry;
    }
    return 0;
}

bool SaveSpecialConfig(int nFlag, const std::vector<SpecialConfigEntry>& entries, CSettingsFile& file,
                       SpecialConfigTable& table, int& nTableFlag)
{
    CXmlDoc doc;
    doc.AddSibling("AllPrivileges");
    doc.AddChild("EnablePrivileges", nFlag, CXmlDoc::XML_CHILD);
    const int nOldFlag = nTableFlag;
    nTableFlag = nFlag;
    for (const SpecialConfigEntry& entry : entries) {
        doc.AddChild("Privilege", std::string(), CXmlDoc::XML_CHILD);
        doc.EnterElement();
        doc.AddChild("PlateNO", FieldText(entry.szPlate, sizeof(entry.szPlate)), CXmlDoc::XML_CHILD);
        doc.AddChild("ChanNO", static_cast<int>(entry.nChan), CXmlDoc::XML_CHILD);
        doc.AddChild("StartTime", static_cast<int>(entry.tStart), CXmlDoc::XML_CHILD);
        doc.AddChild("StopTime", static_cast<int>(entry.tStop), CXmlDoc::XML_CHILD);
        doc.AddChild("FileType", static_cast<int>(entry.nFileType), CXmlDoc::XML_CHILD);
        doc.LeaveElement();
    }
    const bool bOk = file.WriteValue("AllPrivileges", doc.GetRawContent());
    // An unwritten flag must not be in force: the table is reloaded from what the
    // file still holds, and the flag with it when the file has one.
    if (!bOk)
        nTableFlag = nOldFlag;
    LoadSpecialConfig(table, nTableFlag, file);
    return bOk;
}

bool SaveSpecialConfig(int nFlag, const std::vector<SpecialConfigEntry>& entries, CSettingsFile& file)
{
    SpecialConfigTable table;
    int nTableFlag = 0;
    return SaveSpecialConfig(nFlag, entries, file, table, nTableFlag);
}
