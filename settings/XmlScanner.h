#pragma once

#include "settings/XmlDoc.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

// Reads markup: splits a text into items (tags, character data, comments...) and
// builds the element records of a document from its text in one pass. The records
// are the document's own; the scanner only fills them.
class CXmlScanner {
public:
    // Item types.
    static constexpr int ITEM_ENDTAG = 0;
    static constexpr int ITEM_TAG = 1;
    static constexpr int ITEM_TEXT = 2;
    static constexpr int ITEM_WHITESPACE = 4;
    static constexpr int ITEM_CDATA = 8;
    static constexpr int ITEM_PI = 16;
    static constexpr int ITEM_COMMENT = 32;
    static constexpr int ITEM_DOCTYPE = 64;
    static constexpr int ITEM_ERROR = -1;
    static constexpr int ITEM_END = -2;

    struct Item {
        int nType = ITEM_END;
        size_t nLen = 0;
        bool bEmpty = false;           // start tag ending in "/>"
        const char* szWhat = nullptr;  // error: the item named in the message
        bool bUnterminated = false;    // error: "... unterminated" rather than "Incorrect ..."
    };

    // Scans strDoc into vRecs (cleared first); tag names compare without case when
    // bIgnoreCase. The thread that owns the document.
    CXmlScanner(const std::string& strDoc, std::vector<CXmlDoc::ElemRec>& vRecs, bool bIgnoreCase);

    // Builds the records. strMsg gets the first parse message ("" for none); true when
    // well-formed. Once per scanner; the thread that owns the document.
    bool Parse(std::string& strMsg);

    // One item of s[p, n): markup when s[p] is "<", else character data up to the
    // next "<". Thread-safe.
    static void ScanItem(const char* s, size_t n, size_t p, Item& it);
    // Length of the tag name starting at s[nOff] (it ends at space, "/" or ">").
    // Thread-safe.
    static size_t NameLen(const char* s, size_t n, size_t nOff);
    // Whether two names are equal, optionally without regard to ASCII case.
    // Thread-safe.
    static bool SameName(const char* pA, size_t nA, const char* pB, size_t nB, bool bIgnoreCase);

    // Character classes of the markup. Thread-safe.
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    static bool IsNameStart(unsigned char c)
    {
        return (c >= 'A' && c <= 'Z') || (c >= 97 && c <= 127) || c == '_' || c == ':';
    }
    // First c in s[nFrom, nEnd), or null. Thread-safe.
    static const char* Find(const char* s, size_t nFrom, size_t nEnd, char c)
    {
        if (nFrom >= nEnd)
            return nullptr;
        return static_cast<const char*>(std::memchr(s + nFrom, c, nEnd - nFrom));
    }

private:
    using ElemRec = CXmlDoc::ElemRec;

    ElemRec& R(int iPos) { return m_vRecs[static_cast<size_t>(iPos)]; }
    std::string x_Name(int iPos) const;
    void x_Message(std::string strNew);
    void x_ScanItems();
    // Inline: once per start and end tag, they compile into the scan loop.
    inline void x_StartTag(size_t p, const Item& it);
    inline size_t x_FindOpen(const char* pName, size_t nName);
    void x_EndTag(size_t p, size_t nLen);
    void x_CloseInner(size_t nKeep, const std::string& strEndName, size_t p);
    void x_Error(size_t p, const Item& it);
    void x_LinkLast(int iParent, int iNew);
    void x_CloseNotEnded(int iPos);
    void x_CloseOpen();
    void x_CheckRoot();

    const char* m_pDoc;
    size_t m_nDoc;
    std::vector<ElemRec>& m_vRecs;
    bool m_bIgnoreCase;
    std::vector<int> m_vStack; // open elements, innermost last
    int m_iCur = 0;            // innermost open element, 0 = the document
    std::string m_strMsg;
};
