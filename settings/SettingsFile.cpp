#include "settings/SettingsFile.h"

#include "platform/File.h"
#include "platform/MutexLock.h"
#include "settings/FileBackup.h"

#include <cerrno>

namespace {

constexpr const char* kEmptyRoot = "<QorConf></QorConf>";

enum class FileState { Missing, Unreadable, Readable };

FileState ProbeFile(const std::string& path)
{
    int nErr = CFile::Probe(path);
    if (nErr == 0)
        return FileState::Readable;
    return nErr == ENOENT ? FileState::Missing : FileState::Unreadable;
}

}  // namespace

CSettingsFile::CSettingsFile(std::string path, Access access) : m_strPath(std::move(path)), m_eAccess(access)
{
    if (m_eAccess == Access::ReadOnly)
        return;
    CMutexLock guard(m_lock);
    if (m_xmlDoc.LoadFile(m_strPath))
        return;
    // Whatever stands there is not a settings file we can use; keep it before it is
    // replaced, so a hand edit gone wrong can be repaired.
    if (ProbeFile(m_strPath) != FileState::Missing && !KeepAsBackup(m_strPath))
        return;
    m_xmlDoc.SetText(kEmptyRoot);
    m_xmlDoc.SaveFile(m_strPath);
}

bool CSettingsFile::x_Reload(bool bForWrite)
{
    if (m_xmlDoc.LoadFile(m_strPath))
        return true;
    switch (ProbeFile(m_strPath)) {
    case FileState::Missing:
        break;
    case FileState::Unreadable:
        // Neither read stale values nor overwrite what we cannot see.
        if (bForWrite)
            return false;
        break;
    case FileState::Readable:
        // Broken by hand: reads as empty; a write keeps it beside before replacing it.
        if (bForWrite && !KeepAsBackup(m_strPath))
            return false;
        break;
    }
    m_xmlDoc.SetText(kEmptyRoot);
    return true;
}

std::string CSettingsFile::ReadValue(const char* szKey)
{
    CMutexLock guard(m_lock);
    x_Reload(false);
    if (!m_xmlDoc.FindChild(szKey))
        return {};
    m_xmlDoc.EnterElement();
    std::string markup = m_xmlDoc.GetElementMarkup();
    m_xmlDoc.LeaveElement();
    return markup;
}

bool CSettingsFile::WriteValue(const char* szKey, const std::string& value)
{
    if (m_eAccess == Access::ReadOnly)
        return false;
    // Values go in unescaped; one that would break the element would cost the whole
    // file at the next start.
    std::string key = szKey;
    CXmlDoc probe;
    if (!probe.SetText("<" + key + ">" + value + "</" + key + ">"))
        return false;

    CMutexLock guard(m_lock);
    if (!x_Reload(true))
        return false;
    // A hand edit may have left the key twice; the first one would hide the new value.
    while (m_xmlDoc.FindChild(key))
        m_xmlDoc.RemoveChild();
    if (!m_xmlDoc.AddChild(key, std::string(), CXmlDoc::XML_CHILD))
        return false;
    m_xmlDoc.EnterElement();
    m_xmlDoc.InsertChildMarkup(value, CXmlDoc::XML_CHILD | CXmlDoc::XML_BEFORE);
    m_xmlDoc.LeaveElement();
    return m_xmlDoc.SaveFile(m_strPath);
}

bool CSettingsFile::ReadText(const char* szKey, std::string& value)
{
    CXmlDoc scratch;
    scratch.SetText(ReadValue(szKey));
    if (!scratch.FindSibling(szKey))
        return false;
    std::string text = CXmlDoc::UnescapeText(scratch.GetRawContent());
    const char* szSpace = " \t\r\n";
    std::size_t nFirst = text.find_first_not_of(szSpace);
    value = nFirst == std::string::npos ? std::string() : text.substr(nFirst, text.find_last_not_of(szSpace) - nFirst + 1);
    return true;
}
