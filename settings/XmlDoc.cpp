#include "settings/XmlDoc.h"

#include "platform/File.h"
#include "platform/System.h"
#include "settings/XmlEditor.h"
#include "settings/XmlScanner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

inline bool IsRefStart(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '#' || c == '_' || c == ':';
}

inline bool IsRefChar(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '_' || c == ':' || c == '-' || c == '.';
}

// Length of a well-formed reference "&name;" starting at p, or 0.
size_t RefLen(const char* s, size_t n, size_t p)
{
    size_t i = p + 1;
    if (i >= n || !IsRefStart(static_cast<unsigned char>(s[i])))
        return 0;
    for (++i; i < n && IsRefChar(static_cast<unsigned char>(s[i])); ++i) {
    }
    return i < n && s[i] == ';' ? i + 1 - p : 0;
}

void AppendUtf8(std::string& str, std::uint32_t nCode)
{
    if (nCode < 0x80) {
        str += static_cast<char>(nCode);
    } else if (nCode < 0x800) {
        str += static_cast<char>(0xC0 | (nCode >> 6));
        str += static_cast<char>(0x80 | (nCode & 0x3F));
    } else if (nCode < 0x10000) {
        str += static_cast<char>(0xE0 | (nCode >> 12));
        str += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        str += static_cast<char>(0x80 | (nCode & 0x3F));
    } else {
        str += static_cast<char>(0xF0 | (nCode >> 18));
        str += static_cast<char>(0x80 | ((nCode >> 12) & 0x3F));
        str += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        str += static_cast<char>(0x80 | (nCode & 0x3F));
    }
}

// Decodes the reference at s[p] ("&"); returns its length, 0 when it is copied unchanged.
size_t DecodeRef(const char* s, size_t n, size_t p, std::string& strOut)
{
    static const struct {
        const char* szRef;
        char c;
    } aNamed[] = {{"&lt;", '<'}, {"&amp;", '&'}, {"&gt;", '>'}, {"&apos;", '\''}, {"&quot;", '"'}};
    for (const auto& named : aNamed) {
        size_t nLen = std::strlen(named.szRef);
        if (n - p >= nLen && std::memcmp(s + p, named.szRef, nLen) == 0) {
            strOut += named.c;
            return nLen;
        }
    }
    if (p + 2 >= n || s[p + 1] != '#')
        return 0;
    size_t i = p + 2;
    const bool bHex = s[i] == 'x';
    if (bHex)
        ++i;
    const size_t nDigits = i;
    std::uint32_t nCode = 0;
    for (; i < n && i - nDigits < 8; ++i) {
        const char c = s[i];
        std::uint32_t nDigit;
        if (c >= '0' && c <= '9')
            nDigit = static_cast<std::uint32_t>(c - '0');
        else if (bHex && c >= 'a' && c <= 'f')
            nDigit = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (bHex && c >= 'A' && c <= 'F')
            nDigit = static_cast<std::uint32_t>(c - 'A' + 10);
        else
            break;
        nCode = nCode * (bHex ? 16 : 10) + nDigit;
    }
    if (i == nDigits || i - nDigits > 7 || i >= n || s[i] != ';')
        return 0;
    // Not a character: leave the reference as it stands.
    if (nCode == 0 || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF))
        return 0;
    AppendUtf8(strOut, nCode);
    return i + 1 - p;
}

std::string ErrorText(int nErr)
{
    std::string str = ErrnoText(nErr);
    size_t nCut = str.find_first_of("\r\n");
    if (nCut != std::string::npos)
        str.erase(nCut);
    return str;
}

bool IsValidName(const std::string& strName)
{
    if (strName.empty() || !CXmlScanner::IsNameStart(static_cast<unsigned char>(strName[0])))
        return false;
    for (char c : strName) {
        if (CXmlScanner::IsSpace(c) || c == '/' || c == '>' || c == '<' || c == '=' || c == '&' ||
            c == '"' || c == '\'' || c == '\0')
            return false;
    }
    return true;
}

} // namespace

CXmlDoc::CXmlDoc() = default;

CXmlDoc::CXmlDoc(const std::string& strText)
{
    SetText(strText);
}

bool CXmlDoc::SetText(const std::string& strText)
{
    m_strDoc = strText;
    x_Parse(std::string());
    return m_bWellFormed;
}

bool CXmlDoc::LoadFile(const std::string& strPath)
{
    CFile file;
    int nErr = file.Open(strPath, CFile::Mode::Read);
    std::string strText;
    if (nErr == 0) {
        // A directory reports a nonsense size; the reads tell the truth.
        std::int64_t nSize = file.Size();
        if (nSize > 0 && static_cast<std::uint64_t>(nSize) <= MAX_DOC)
            strText.reserve(static_cast<size_t>(nSize));
        nErr = file.ReadToEnd(strText, MAX_DOC);
    }
    if (nErr == EFBIG) {
        m_strResult = "File too large";
        return false;
    }
    if (nErr != 0) {
        m_strResult = ErrorText(nErr);
        return false;
    }
    m_strDoc.swap(strText);
    x_Parse(std::to_string(m_strDoc.size()) + " bytes");
    return m_bWellFormed;
}

bool CXmlDoc::SaveFile(const std::string& strPath)
{
    // Replaced whole, so that a crash while saving never leaves a cut settings file.
    int nErr = CFile::ReplaceAtomically(strPath, m_strDoc);
    if (nErr == EACCES || nErr == EPERM) {
        // A directory we may not create in, holding a file we may write: in place.
        CFile file;
        nErr = file.Open(strPath, CFile::Mode::Truncate);
        if (nErr == 0)
            nErr = file.WriteAll(m_strDoc.data(), m_strDoc.size());
    }
    if (nErr != 0) {
        m_strResult = ErrorText(nErr);
        return false;
    }
    m_strResult = std::to_string(m_strDoc.size()) + " bytes";
    return true;
}

bool CXmlDoc::WriteToOpenFile(CFile& file)
{
    if (!file.IsOpen())
        return false;
    if (int nErr = file.WriteAll(m_strDoc.data(), m_strDoc.size())) {
        m_strResult = ErrorText(nErr);
        return false;
    }
    m_strResult = std::to_string(m_strDoc.size()) + " bytes";
    return true;
}

// ---------------------------------------------------------------------------
// Parsing

void CXmlDoc::x_Parse(const std::string& strStatus)
{
    m_iPosParent = m_iPos = m_iPosChild = 0;
    m_iFreeHead = 0;
    std::string strMsg;
    CXmlScanner scanner(m_strDoc, m_vRecs, (m_nDocFlags & XML_IGNORECASE) != 0);
    m_bWellFormed = scanner.Parse(strMsg);
    x_SetResult(strStatus, strMsg);
}

void CXmlDoc::x_SetResult(const std::string& strStatus, const std::string& strMsg)
{
    if (strStatus.empty())
        m_strResult = strMsg;
    else if (strMsg.empty())
        m_strResult = strStatus;
    else
        m_strResult = strStatus + ", " + strMsg;
}

std::string CXmlDoc::x_Name(int iPos) const
{
    const size_t nOff = R(iPos).nStart + 1;
    return m_strDoc.substr(nOff, CXmlScanner::NameLen(m_strDoc.data(), m_strDoc.size(), nOff));
}

// ---------------------------------------------------------------------------
// Navigation

bool CXmlDoc::x_NameMatches(int iPos, const std::string& strName) const
{
    if (strName.empty())
        return true;
    const size_t nOff = R(iPos).nStart + 1;
    const size_t nLen = CXmlScanner::NameLen(m_strDoc.data(), m_strDoc.size(), nOff);
    if (strName.size() < nLen)
        return false;
    if (!CXmlScanner::SameName(m_strDoc.data() + nOff, nLen, strName.data(), nLen,
                               (m_nDocFlags & XML_IGNORECASE) != 0))
        return false;
    if (strName.size() == nLen)
        return true;
    const char c = strName[nLen];
    return c == ' ' || c == '=' || c == '/' || c == '[' || c == ']';
}

bool CXmlDoc::FindSibling(const std::string& strName)
{
    int i = m_iPos ? R(m_iPos).iNext : R(m_iPosParent).iChild;
    for (; i; i = R(i).iNext) {
        if (x_NameMatches(i, strName)) {
            m_iPos = i;
            m_iPosChild = 0;
            return true;
        }
    }
    return false;
}

bool CXmlDoc::FindChild(const std::string& strName)
{
    if (!m_iPos && !FindSibling())
        return false;
    int i = m_iPosChild ? R(m_iPosChild).iNext : R(m_iPos).iChild;
    for (; i; i = R(i).iNext) {
        if (x_NameMatches(i, strName)) {
            m_iPosChild = i;
            return true;
        }
    }
    return false;
}

bool CXmlDoc::EnterElement()
{
    if (!m_iPos)
        return false;
    m_iPosParent = m_iPos;
    m_iPos = m_iPosChild;
    m_iPosChild = 0;
    return true;
}

bool CXmlDoc::LeaveElement()
{
    if (!m_iPosParent)
        return false;
    m_iPosChild = m_iPos;
    m_iPos = m_iPosParent;
    m_iPosParent = R(m_iPosParent).iParent;
    return true;
}

// ---------------------------------------------------------------------------
// Reading

bool CXmlDoc::x_Valid(int iPos) const
{
    return iPos > 0 && static_cast<size_t>(iPos) < m_vRecs.size() &&
           !(R(iPos).nFlags & REC_DELETED);
}

std::string CXmlDoc::GetTagName(int nPos) const
{
    return x_Valid(nPos) ? x_Name(nPos) : std::string();
}

std::string CXmlDoc::GetRawContent(int nPos) const
{
    if (!x_Valid(nPos))
        return std::string();
    const ElemRec& rec = R(nPos);
    if (!rec.nEndTag || rec.nLength <= rec.nStartTag + rec.nEndTag)
        return std::string();
    return m_strDoc.substr(rec.nStart + rec.nStartTag, rec.nLength - rec.nStartTag - rec.nEndTag);
}

std::string CXmlDoc::GetChildText() const
{
    if (!x_Valid(m_iPosChild))
        return std::string();
    const ElemRec& rec = R(m_iPosChild);
    if (rec.iChild || !rec.nEndTag || rec.nLength <= rec.nStartTag + rec.nEndTag)
        return std::string();
    const char* s = m_strDoc.data();
    const size_t nBegin = rec.nStart + rec.nStartTag;
    const size_t nEnd = rec.nStart + rec.nLength - rec.nEndTag;
    if (!CXmlScanner::Find(s, nBegin, nEnd, '<'))
        return UnescapeText(s + nBegin, nEnd - nBegin);
    // Mixed content: character data and CDATA sections, comments and the like dropped.
    std::string strText;
    CXmlScanner::Item it;
    for (size_t p = nBegin; p < nEnd; p += it.nLen) {
        CXmlScanner::ScanItem(s, nEnd, p, it);
        if (it.nType == CXmlScanner::ITEM_TEXT)
            strText += UnescapeText(s + p, it.nLen);
        else if (it.nType == CXmlScanner::ITEM_CDATA)
            strText.append(s + p + 9, it.nLen - 12);
        if (it.nLen == 0)
            break;
    }
    return strText;
}

std::string CXmlDoc::GetElementMarkup(int nPos) const
{
    if (!x_Valid(nPos))
        return std::string();
    const ElemRec& rec = R(nPos);
    size_t nEnd = rec.nStart + rec.nLength;
    size_t i = nEnd;
    while (i < m_strDoc.size() && CXmlScanner::IsSpace(m_strDoc[i]))
        ++i;
    if (i == m_strDoc.size() || m_strDoc[i] == '<')
        nEnd = i;
    return m_strDoc.substr(rec.nStart, nEnd - rec.nStart);
}

// ---------------------------------------------------------------------------
// Escaping

std::string CXmlDoc::EscapeText(const std::string& strText, int nFlags)
{
    std::string strOut;
    strOut.reserve(strText.size() + strText.size() / 10 + 7);
    const char* s = strText.data();
    const size_t n = strText.size();
    for (size_t i = 0; i < n; ++i) {
        const char c = s[i];
        switch (c) {
        case '<':
            strOut += "&lt;";
            break;
        case '>':
            strOut += "&gt;";
            break;
        case '&': {
            size_t nRef = (nFlags & XML_KEEPREFS) ? RefLen(s, n, i) : 0;
            if (nRef) {
                strOut.append(s + i, nRef);
                i += nRef - 1;
            } else {
                strOut += "&amp;";
            }
            break;
        }
        case '\'':
            strOut += (nFlags & XML_ESCAPEQUOTES) ? "&apos;" : "'";
            break;
        case '"':
            strOut += (nFlags & XML_ESCAPEQUOTES) ? "&quot;" : "\"";
            break;
        default:
            strOut += c;
        }
    }
    return strOut;
}

std::string CXmlDoc::UnescapeText(const char* pText, size_t nLen)
{
    std::string strOut;
    strOut.reserve(nLen);
    size_t p = 0;
    while (p < nLen) {
        const char* q = CXmlScanner::Find(pText, p, nLen, '&');
        if (!q) {
            strOut.append(pText + p, nLen - p);
            break;
        }
        size_t nAmp = static_cast<size_t>(q - pText);
        strOut.append(pText + p, nAmp - p);
        size_t nRef = DecodeRef(pText, nLen, nAmp, strOut);
        if (nRef) {
            p = nAmp + nRef;
        } else {
            strOut += '&';
            p = nAmp + 1;
        }
    }
    return strOut;
}

// ---------------------------------------------------------------------------
// Editing

bool CXmlDoc::x_Insert(const std::string& strMarkup, int nFlags, bool bLines,
                       const std::vector<ElemRec>* pFragRecs, size_t nFragOff, int& iFirstNew,
                       int& iLastNew)
{
    iFirstNew = iLastNew = 0;
    const bool bChild = (nFlags & XML_CHILD) != 0;
    if (bChild && !m_iPos)
        return false;
    const int iParent = bChild ? m_iPos : m_iPosParent;
    const int iRef = bChild ? m_iPosChild : m_iPos;
    CXmlEditor::Fragment frag;
    frag.pRecs = pFragRecs;
    frag.nOff = nFragOff;
    return CXmlEditor(m_strDoc, m_vRecs, m_iFreeHead)
        .Insert(strMarkup, iParent, iRef, nFlags, bLines, frag, iFirstNew, iLastNew);
}

bool CXmlDoc::AddSibling(const std::string& strName, const std::string& strValue, int nFlags)
{
    return x_AddElem(strName, strValue, nFlags & ~XML_CHILD);
}

bool CXmlDoc::AddChild(const std::string& strName, const std::string& strValue, int nFlags)
{
    return x_AddElem(strName, strValue, nFlags | XML_CHILD);
}

bool CXmlDoc::AddChild(const std::string& strName, int nValue, int nFlags)
{
    return x_AddElem(strName, std::to_string(nValue), nFlags | XML_CHILD);
}

bool CXmlDoc::x_AddElem(const std::string& strName, const std::string& strValue, int nFlags)
{
    if (!IsValidName(strName))
        return false;
    if ((nFlags & XML_NOEND) && !strValue.empty())
        return false;
    if ((nFlags & XML_CHILD) && !m_iPos)
        return false;
    // The new element goes in like any parsed fragment, with its one record exact.
    std::vector<ElemRec> vFrag(2);
    const std::string strMarkup = CXmlEditor::ElementMarkup(strName, strValue, nFlags, vFrag[1]);
    vFrag[0].iChild = 1;
    vFrag[1].iPrev = 1;

    int iFirst, iLast;
    if (!x_Insert(strMarkup, nFlags, !(nFlags & XML_NOLINES), &vFrag, 0, iFirst, iLast))
        return false;
    if (nFlags & XML_CHILD) {
        m_iPosChild = iFirst;
    } else {
        m_iPos = iFirst;
        m_iPosChild = 0;
    }
    return true;
}

bool CXmlDoc::InsertChildMarkup(const std::string& strMarkup, int nFlags)
{
    nFlags |= XML_CHILD;
    if (!m_iPos || strMarkup.empty())
        return false;
    CXmlDoc frag;
    frag.m_nDocFlags = m_nDocFlags;
    frag.SetText(strMarkup);
    // Broken markup would break the whole document (and the file it is saved to).
    if (frag.R(0).nFlags & REC_NOTWF)
        return false;
    const int iFragFirst = frag.R(0).iChild;
    int iFirst = 0, iLast = 0;
    if (!iFragFirst) {
        // Plain text goes in exactly as given.
        x_Insert(strMarkup, nFlags, false, nullptr, 0, iFirst, iLast);
        return false;
    }
    const ElemRec& first = frag.R(iFragFirst);
    const ElemRec& last = frag.R(first.iPrev);
    const size_t nFrom = first.nStart;
    const size_t nTo = last.nStart + last.nLength;
    if (!x_Insert(strMarkup.substr(nFrom, nTo - nFrom), nFlags, !(nFlags & XML_NOLINES),
                  &frag.m_vRecs, nFrom, iFirst, iLast))
        return false;
    m_iPosChild = iLast;
    return frag.IsWellFormed();
}

bool CXmlDoc::RemoveChild()
{
    const int iPos = m_iPosChild;
    if (!x_Valid(iPos))
        return false;
    const int iParent = R(iPos).iParent;
    const int iPrevSibling = R(iParent).iChild == iPos ? 0 : R(iPos).iPrev;
    CXmlEditor(m_strDoc, m_vRecs, m_iFreeHead).Remove(iPos);
    m_iPosChild = iPrevSibling;
    return true;
}
