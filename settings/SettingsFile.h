#pragma once

#include "settings/XmlDoc.h"

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"
#include <string>

// The settings file: one XML document whose root's children each hold one setting.
// Every read and write rereads the whole file first, so edits made by hand while the
// program runs are seen by the next read and kept by the next write.
class CSettingsFile {
public:
    static constexpr const char* kDefaultPath = "./QorConfig.xml";

    enum class Access {
        Create,    // the program's own file: made well-formed at construction
        ReadOnly,  // only looked at: never created, backed up or written
    };

    // With Access::Create, makes sure path holds a well-formed document: a missing
    // file is created as "<QorConf></QorConf>"; a malformed one is first kept as
    // path + ".bak". Window thread.
    explicit CSettingsFile(std::string path, Access access = Access::Create);
    CSettingsFile(const CSettingsFile&) = delete;
    CSettingsFile& operator=(const CSettingsFile&) = delete;

    // The markup of the root's first child named szKey plus its line break
    // ("<port>5990</port>\r\n"), or "" when there is none or the file is unreadable
    // or malformed. Any thread (calls are serialised).
    std::string ReadValue(const char* szKey);

    // Replaces every child named szKey with one holding value (written as it is, not
    // escaped) and saves the file. False when the file cannot be written, or when
    // value would make the file malformed (the file is then left as it was), or
    // for a read-only file. A file made malformed by hand is kept as path + ".bak"
    // and started afresh. Any thread (calls are serialised).
    bool WriteValue(const char* szKey, const std::string& value);

    // The text of the key's element, unescaped and trimmed of surrounding white space,
    // into value; false (value untouched) when the key is missing. Any thread.
    bool ReadText(const char* szKey, std::string& value);

    const std::string& Path() const { return m_strPath; }

private:
    // Rereads the file into m_xmlDoc. A missing file, and for reading a malformed
    // one, reads as an empty root; for writing a malformed file is kept as a backup
    // first. False when the document must not be used.
    bool x_Reload(bool bForWrite) REQUIRES(m_lock);

    const std::string m_strPath;
    const Access m_eAccess;
    CMutex m_lock;  // one read or write of the file at a time
    CXmlDoc m_xmlDoc GUARDED_BY(m_lock);
};
