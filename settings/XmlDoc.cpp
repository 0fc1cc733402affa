#include "settings/XmlDoc.h"

#include "platform/System.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include <unistd.h>

namespace {

// Record flags.
constexpr std::uint32_t REC_NOEND = 0x100000;     // no end tag (empty-element tag or not ended)
constexpr std::uint32_t REC_ILLFORMED = 0x200000; // something ill-formed inside
constexpr std::uint32_t REC_NOTWF = 0x800000;     // (document record) not well-formed
constexpr std::uint32_t REC_DELETED = 0x20000;    // on the free list

// Scanner item types.
constexpr int ITEM_ENDTAG = 0;
constexpr int ITEM_TAG = 1;
constexpr int ITEM_TEXT = 2;
constexpr int ITEM_WHITESPACE = 4;
constexpr int ITEM_CDATA = 8;
constexpr int ITEM_PI = 16;
constexpr int ITEM_COMMENT = 32;
constexpr int ITEM_DOCTYPE = 64;
constexpr int ITEM_ERROR = -1;
constexpr int ITEM_END = -2;

// The offsets of a record are 32 bits wide.
constexpr size_t MAX_DOC = std::numeric_limits<std::uint32_t>::max() - 1;

struct XmlItem {
    int nType = ITEM_END;
    size_t nLen = 0;
    bool bEmpty = false;           // start tag ending in "/>"
    const char* szWhat = nullptr;  // error: the item named in the message
    bool bUnterminated = false;    // error: "... unterminated" rather than "Incorrect ..."
};

inline bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline bool IsNameStart(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 97 && c <= 127) || c == '_' || c == ':';
}

const char* Find(const char* s, size_t nFrom, size_t nEnd, char c)
{
    if (nFrom >= nEnd)
        return nullptr;
    return static_cast<const char*>(std::memchr(s + nFrom, c, nEnd - nFrom));
}

// Offset just past the first occurrence of szSeq at or after nFrom, or 0.
size_t FindSeqEnd(const char* s, size_t nFrom, size_t nEnd, const char* szSeq)
{
    const size_t nSeq = std::strlen(szSeq);
    while (nFrom + nSeq <= nEnd) {
        const char* p = Find(s, nFrom, nEnd - nSeq + 1, szSeq[0]);
        if (!p)
            return 0;
        size_t nAt = static_cast<size_t>(p - s);
        if (std::memcmp(p, szSeq, nSeq) == 0)
            return nAt + nSeq;
        nFrom = nAt + 1;
    }
    return 0;
}

// An error item ends where the next "<" starts (or at the end of the text).
void SetError(XmlItem& it, const char* s, size_t n, size_t p, const char* szWhat, bool bUnterminated)
{
    const char* q = Find(s, p + 1, n, '<');
    it.nType = ITEM_ERROR;
    it.nLen = (q ? static_cast<size_t>(q - s) : n) - p;
    it.szWhat = szWhat;
    it.bUnterminated = bUnterminated;
}

void SetUnterminated(XmlItem& it, size_t n, size_t p, const char* szWhat)
{
    it.nType = ITEM_ERROR;
    it.nLen = n - p;
    it.szWhat = szWhat;
    it.bUnterminated = true;
}

// One item of s[p, n): markup when s[p] is "<", else character data up to the next "<".
void ScanItem(const char* s, size_t n, size_t p, XmlItem& it)
{
    it = XmlItem();
    if (p >= n)
        return;
    if (s[p] != '<') {
        const char* q = Find(s, p, n, '<');
        size_t nEnd = q ? static_cast<size_t>(q - s) : n;
        it.nLen = nEnd - p;
        it.nType = ITEM_WHITESPACE;
        for (size_t i = p; i < nEnd; ++i) {
            if (!IsSpace(s[i])) {
                it.nType = ITEM_TEXT;
                break;
            }
        }
        return;
    }
    if (p + 1 >= n) {
        SetUnterminated(it, n, p, "tag");
        return;
    }
    const unsigned char c = static_cast<unsigned char>(s[p + 1]);
    if (IsNameStart(c)) {
        // Quotes are tracked so that ">" inside an attribute value does not end the tag.
        char cQuote = 0;
        for (size_t i = p + 2; i < n; ++i) {
            const char d = s[i];
            if (cQuote) {
                if (d == cQuote)
                    cQuote = 0;
            } else if (d == '>') {
                it.nType = ITEM_TAG;
                it.nLen = i + 1 - p;
                it.bEmpty = s[i - 1] == '/';
                return;
            } else if (d == '"' || d == '\'') {
                cQuote = d;
            } else if (d == '<') {
                SetError(it, s, n, p, "Element tag", true);
                return;
            }
        }
        SetUnterminated(it, n, p, "Element tag");
        return;
    }
    switch (c) {
    case '/': {
        for (size_t i = p + 2; i < n; ++i) {
            if (s[i] == '>') {
                it.nType = ITEM_ENDTAG;
                it.nLen = i + 1 - p;
                return;
            }
            if (s[i] == '<') {
                SetError(it, s, n, p, "Element end tag", true);
                return;
            }
        }
        SetUnterminated(it, n, p, "Element end tag");
        return;
    }
    case '?': {
        size_t nEnd = FindSeqEnd(s, p + 2, n, "?>");
        if (!nEnd) {
            SetUnterminated(it, n, p, "Processing instruction");
            return;
        }
        it.nType = ITEM_PI;
        it.nLen = nEnd - p;
        return;
    }
    case '!':
        break;
    default:
        SetError(it, s, n, p, "tag name character", false);
        return;
    }
    if (p + 2 >= n) {
        SetUnterminated(it, n, p, "tag");
        return;
    }
    switch (s[p + 2]) {
    case '-': {
        if (p + 3 >= n) {
            SetUnterminated(it, n, p, "Comment");
            return;
        }
        if (s[p + 3] != '-') {
            SetError(it, s, n, p, "comment tag", false);
            return;
        }
        size_t nEnd = FindSeqEnd(s, p + 4, n, "-->");
        if (!nEnd) {
            SetUnterminated(it, n, p, "Comment");
            return;
        }
        it.nType = ITEM_COMMENT;
        it.nLen = nEnd - p;
        return;
    }
    case '[': {
        // The whole "<![CDATA[" opener is required so the section's inside is well defined.
        static const char szOpen[] = "<![CDATA[";
        const size_t nOpen = sizeof szOpen - 1;
        size_t nAvail = n - p < nOpen ? n - p : nOpen;
        if (std::memcmp(s + p, szOpen, nAvail) != 0) {
            SetError(it, s, n, p, "tag", false);
            return;
        }
        size_t nEnd = nAvail == nOpen ? FindSeqEnd(s, p + nOpen, n, "]]>") : 0;
        if (!nEnd) {
            SetUnterminated(it, n, p, "CDATA Section");
            return;
        }
        it.nType = ITEM_CDATA;
        it.nLen = nEnd - p;
        return;
    }
    case 'D': {
        // Internal subsets hold nested declarations: count the angle brackets.
        int nDepth = 1;
        char cQuote = 0;
        for (size_t i = p + 3; i < n; ++i) {
            const char d = s[i];
            if (cQuote) {
                if (d == cQuote)
                    cQuote = 0;
            } else if (d == '"' || d == '\'') {
                cQuote = d;
            } else if (d == '<') {
                ++nDepth;
            } else if (d == '>' && --nDepth == 0) {
                it.nType = ITEM_DOCTYPE;
                it.nLen = i + 1 - p;
                return;
            }
        }
        SetUnterminated(it, n, p, "Doctype");
        return;
    }
    case 'E':
    case 'A':
    case 'N': {
        const char* q = Find(s, p + 3, n, '>');
        if (!q) {
            SetUnterminated(it, n, p, "tag");
            return;
        }
        it.nType = ITEM_DOCTYPE;
        it.nLen = static_cast<size_t>(q - s) + 1 - p;
        return;
    }
    default:
        SetError(it, s, n, p, "! tag", false);
        return;
    }
}

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
    if (strName.empty() || !IsNameStart(static_cast<unsigned char>(strName[0])))
        return false;
    for (char c : strName) {
        if (IsSpace(c) || c == '/' || c == '>' || c == '<' || c == '=' || c == '&' || c == '"' ||
            c == '\'' || c == '\0')
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
    std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (!pFile) {
        m_strResult = ErrorText(errno);
        return false;
    }
    std::string strText;
    if (std::fseek(pFile, 0, SEEK_END) == 0) {
        long nSize = std::ftell(pFile);
        // A directory reports a nonsense size; the reads below tell the truth.
        if (nSize > 0 && static_cast<unsigned long>(nSize) <= MAX_DOC)
            strText.reserve(static_cast<size_t>(nSize));
        std::rewind(pFile);
    }
    char aBuf[65536];
    size_t nRead;
    while ((nRead = std::fread(aBuf, 1, sizeof aBuf, pFile)) > 0) {
        strText.append(aBuf, nRead);
        if (strText.size() > MAX_DOC)
            break;
    }
    const bool bFailed = std::ferror(pFile) != 0;
    const int nErr = errno;
    std::fclose(pFile);
    if (bFailed) {
        m_strResult = ErrorText(nErr);
        return false;
    }
    if (strText.size() > MAX_DOC) {
        m_strResult = "File too large";
        return false;
    }
    m_strDoc.swap(strText);
    x_Parse(std::to_string(m_strDoc.size()) + " bytes");
    return m_bWellFormed;
}

bool CXmlDoc::SaveFile(const std::string& strPath)
{
    std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (!pFile) {
        m_strResult = ErrorText(errno);
        return false;
    }
    size_t nWritten = std::fwrite(m_strDoc.data(), 1, m_strDoc.size(), pFile);
    int nErr = errno;
    bool bOk = nWritten == m_strDoc.size() && std::fflush(pFile) == 0;
    if (!bOk)
        nErr = errno;
    if (std::fclose(pFile) != 0 && bOk) {
        bOk = false;
        nErr = errno;
    }
    if (!bOk) {
        m_strResult = ErrorText(nErr);
        return false;
    }
    m_strResult = std::to_string(m_strDoc.size()) + " bytes";
    return true;
}

bool CXmlDoc::WriteToOpenFile(int nFd)
{
    if (nFd < 0)
        return false;
    const char* p = m_strDoc.data();
    size_t nLeft = m_strDoc.size();
    while (nLeft > 0) {
        ssize_t nDone = ::write(nFd, p, nLeft);
        if (nDone < 0) {
            if (errno == EINTR)
                continue;
            m_strResult = ErrorText(errno);
            return false;
        }
        p += nDone;
        nLeft -= static_cast<size_t>(nDone);
    }
    m_strResult = std::to_string(m_strDoc.size()) + " bytes";
    return true;
}

// ---------------------------------------------------------------------------
// Parsing

void CXmlDoc::x_SetMessage(std::string& strMsg, std::string strNew)
{
    if (strMsg.empty())
        strMsg = std::move(strNew);
}

std::string CXmlDoc::x_Name(int iPos) const
{
    const ElemRec& rec = m_vRecs[static_cast<size_t>(iPos)];
    return m_strDoc.substr(rec.nStart + 1, x_NameLen(rec.nStart + 1));
}

size_t CXmlDoc::x_NameLen(size_t nOff) const
{
    const char* s = m_strDoc.data();
    const size_t n = m_strDoc.size();
    size_t i = nOff;
    while (i < n && !IsSpace(s[i]) && s[i] != '/' && s[i] != '>')
        ++i;
    return i - nOff;
}

bool CXmlDoc::x_SameName(const char* pA, size_t nA, const char* pB, size_t nB) const
{
    if (nA != nB)
        return false;
    if (!(m_nDocFlags & XML_IGNORECASE))
        return std::memcmp(pA, pB, nA) == 0;
    for (size_t i = 0; i < nA; ++i) {
        unsigned char a = static_cast<unsigned char>(pA[i]);
        unsigned char b = static_cast<unsigned char>(pB[i]);
        if (a >= 'A' && a <= 'Z')
            a = static_cast<unsigned char>(a + 32);
        if (b >= 'A' && b <= 'Z')
            b = static_cast<unsigned char>(b + 32);
        if (a != b)
            return false;
    }
    return true;
}

int CXmlDoc::x_NewRecord()
{
    if (m_iFreeHead) {
        int i = m_iFreeHead;
        m_iFreeHead = m_vRecs[static_cast<size_t>(i)].iNext;
        m_vRecs[static_cast<size_t>(i)] = ElemRec();
        return i;
    }
    m_vRecs.emplace_back();
    return static_cast<int>(m_vRecs.size() - 1);
}

void CXmlDoc::x_LinkLast(int iParent, int iNew)
{
    ElemRec& parent = R(iParent);
    ElemRec& rec = R(iNew);
    rec.iParent = iParent;
    rec.iNext = 0;
    if (!parent.iChild) {
        parent.iChild = iNew;
        rec.iPrev = iNew;
        return;
    }
    ElemRec& first = R(parent.iChild);
    int iLast = first.iPrev;
    R(iLast).iNext = iNew;
    rec.iPrev = iLast;
    first.iPrev = iNew;
}

// Closes an open element as not ended: it keeps only its start tag, and its children
// become its following siblings. It is always the last child of its parent here.
void CXmlDoc::x_CloseNotEnded(int iPos)
{
    ElemRec& rec = R(iPos);
    const int iParent = rec.iParent;
    rec.nLength = rec.nStartTag;
    rec.nEndTag = 0;
    rec.nFlags |= REC_NOEND | REC_ILLFORMED;
    R(iParent).nFlags |= REC_ILLFORMED;
    const int iChild = rec.iChild;
    if (!iChild)
        return;
    const int iLastChild = R(iChild).iPrev;
    for (int i = iChild; i; i = R(i).iNext)
        R(i).iParent = iParent;
    rec.iChild = 0;
    rec.iNext = iChild;
    R(iChild).iPrev = iPos;
    R(R(iParent).iChild).iPrev = iLastChild;
}

void CXmlDoc::x_Parse(const std::string& strStatus)
{
    m_iPosParent = m_iPos = m_iPosChild = 0;
    m_iFreeHead = 0;
    m_bWellFormed = false;
    m_vRecs.clear();
    const char* s = m_strDoc.data();
    const size_t n = m_strDoc.size();
    std::string strMsg;
    if (n > MAX_DOC) {
        m_vRecs.emplace_back();
        R(0).nFlags |= REC_NOTWF;
        x_SetResult(strStatus, "Document too large");
        return;
    }
    m_vRecs.reserve(n / 64 + 8);
    m_vRecs.emplace_back();
    R(0).nLength = static_cast<std::uint32_t>(n);

    // Open elements; the document record at the bottom.
    std::vector<int> vStack;
    vStack.reserve(32);
    int iCur = 0;
    XmlItem it;
    size_t p = 0;
    while (p < n) {
        if (s[p] != '<') {
            const char* q = Find(s, p, n, '<');
            if (!q)
                break;
            p = static_cast<size_t>(q - s);
        }
        ScanItem(s, n, p, it);
        if (it.nType == ITEM_TAG) {
            int iNew = x_NewRecord();
            ElemRec& rec = R(iNew);
            rec.nStart = static_cast<std::uint32_t>(p);
            rec.nStartTag = static_cast<std::uint32_t>(it.nLen);
            if (it.bEmpty) {
                rec.nLength = rec.nStartTag;
                rec.nFlags |= REC_NOEND;
            }
            x_LinkLast(iCur, iNew);
            if (!it.bEmpty) {
                vStack.push_back(iNew);
                iCur = iNew;
            }
        } else if (it.nType == ITEM_ENDTAG) {
            const char* pName = s + p + 2;
            size_t nName = 0;
            while (nName + 2 < it.nLen - 1 && !IsSpace(pName[nName]))
                ++nName;
            size_t k = vStack.size();
            while (k > 0) {
                const ElemRec& open = R(vStack[k - 1]);
                if (x_SameName(s + open.nStart + 1, x_NameLen(open.nStart + 1), pName, nName))
                    break;
                --k;
            }
            if (k == 0) {
                R(0).nFlags |= REC_NOTWF;
                R(iCur).nFlags |= REC_ILLFORMED;
                x_SetMessage(strMsg, "No start tag for end tag '" + std::string(pName, nName) +
                                         "' at offset " + std::to_string(p));
            } else {
                if (k < vStack.size()) {
                    const int iInner = vStack.back();
                    x_SetMessage(strMsg, "End tag '" + std::string(pName, nName) + "' at offset " +
                                             std::to_string(p + 1) + " does not match start tag '" +
                                             x_Name(iInner) + "' at offset " +
                                             std::to_string(R(iInner).nStart));
                    R(0).nFlags |= REC_NOTWF;
                    // Outermost first, so that every child is re-attached only once.
                    for (size_t j = k; j < vStack.size(); ++j)
                        x_CloseNotEnded(vStack[j]);
                    vStack.resize(k);
                }
                ElemRec& rec = R(vStack.back());
                rec.nEndTag = static_cast<std::uint32_t>(it.nLen);
                rec.nLength = static_cast<std::uint32_t>(p + it.nLen - rec.nStart);
                vStack.pop_back();
                iCur = vStack.empty() ? 0 : vStack.back();
            }
        } else if (it.nType == ITEM_ERROR) {
            R(0).nFlags |= REC_NOTWF;
            R(iCur).nFlags |= REC_ILLFORMED;
            if (it.bUnterminated)
                x_SetMessage(strMsg, std::string(it.szWhat) + " at offset " + std::to_string(p) +
                                         " unterminated");
            else
                x_SetMessage(strMsg, "Incorrect " + std::string(it.szWhat) + " at offset " +
                                         std::to_string(p));
        }
        p += it.nLen;
    }
    if (!vStack.empty()) {
        const int iInner = vStack.back();
        x_SetMessage(strMsg, "Element '" + x_Name(iInner) + "' at offset " +
                                 std::to_string(R(iInner).nStart) + " not ended");
        R(0).nFlags |= REC_NOTWF;
        for (int iOpen : vStack)
            x_CloseNotEnded(iOpen);
    }
    const int iRoot = R(0).iChild;
    if (n == 0)
        x_SetMessage(strMsg, "Empty document");
    else if (!iRoot)
        x_SetMessage(strMsg, "No root element");
    else if (R(iRoot).iNext)
        x_SetMessage(strMsg, "Root element has sibling");
    m_bWellFormed = !(R(0).nFlags & REC_NOTWF) && iRoot && !R(iRoot).iNext;
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

// ---------------------------------------------------------------------------
// Navigation

bool CXmlDoc::x_NameMatches(int iPos, const std::string& strName) const
{
    if (strName.empty())
        return true;
    const ElemRec& rec = R(iPos);
    const size_t nLen = x_NameLen(rec.nStart + 1);
    if (strName.size() < nLen)
        return false;
    if (!x_SameName(m_strDoc.data() + rec.nStart + 1, nLen, strName.data(), nLen))
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
    if (!Find(s, nBegin, nEnd, '<'))
        return UnescapeText(s + nBegin, nEnd - nBegin);
    // Mixed content: character data and CDATA sections, comments and the like dropped.
    std::string strText;
    XmlItem it;
    for (size_t p = nBegin; p < nEnd; p += it.nLen) {
        ScanItem(s, nEnd, p, it);
        if (it.nType == ITEM_TEXT)
            strText += UnescapeText(s + p, it.nLen);
        else if (it.nType == ITEM_CDATA)
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
    while (i < m_strDoc.size() && IsSpace(m_strDoc[i]))
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
        const char* q = Find(pText, p, nLen, '&');
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

int CXmlDoc::x_After(int iPos) const
{
    while (iPos) {
        const ElemRec& rec = R(iPos);
        if (rec.iNext)
            return rec.iNext;
        iPos = rec.iParent;
    }
    return 0;
}

void CXmlDoc::x_Splice(size_t nOff, size_t nDel, const std::string& strIns, int iContainer,
                       int iFirstLater)
{
    const size_t nNewLen = m_strDoc.size() - nDel + strIns.size();
    if (m_strDoc.capacity() < nNewLen)
        m_strDoc.reserve(nNewLen + nNewLen / 2 + 128);
    m_strDoc.replace(nOff, nDel, strIns);
    const std::uint32_t nDelta = static_cast<std::uint32_t>(strIns.size() - nDel); // modular
    for (int i = iFirstLater; i;) {
        ElemRec& rec = R(i);
        rec.nStart += nDelta;
        i = rec.iChild ? rec.iChild : x_After(i);
    }
    for (int i = iContainer;; i = R(i).iParent) {
        R(i).nLength += nDelta;
        if (!i)
            break;
    }
}

void CXmlDoc::x_LinkChain(int iParent, int iAfter, int iFirst, int iLast)
{
    for (int i = iFirst;; i = R(i).iNext) {
        R(i).iParent = iParent;
        if (i == iLast)
            break;
    }
    ElemRec& parent = R(iParent);
    if (!iAfter) {
        const int iOldFirst = parent.iChild;
        if (iOldFirst) {
            const int iOldLast = R(iOldFirst).iPrev;
            R(iLast).iNext = iOldFirst;
            R(iOldFirst).iPrev = iLast;
            R(iFirst).iPrev = iOldLast;
        } else {
            R(iLast).iNext = 0;
            R(iFirst).iPrev = iLast;
        }
        parent.iChild = iFirst;
        return;
    }
    const int iNext = R(iAfter).iNext;
    R(iAfter).iNext = iFirst;
    R(iFirst).iPrev = iAfter;
    R(iLast).iNext = iNext;
    if (iNext)
        R(iNext).iPrev = iLast;
    else
        R(parent.iChild).iPrev = iLast;
}

bool CXmlDoc::x_Insert(const std::string& strMarkup, int nFlags, bool bLines, const CXmlDoc* pFrag,
                       size_t nFragOff, int& iFirstNew, int& iLastNew)
{
    iFirstNew = iLastNew = 0;
    int iParent, iRef;
    if (nFlags & XML_CHILD) {
        if (!m_iPos)
            return false;
        iParent = m_iPos;
        iRef = m_iPosChild;
    } else {
        iParent = m_iPosParent;
        iRef = m_iPos;
    }
    const char* szBreak = bLines ? "\r\n" : "";
    // Where the text goes, the first record after it, and the sibling it follows.
    size_t nOff = 0;
    int iFirstLater = 0;
    int iAfter = 0;
    bool bAtStart = false;
    if ((nFlags & XML_START) || ((nFlags & XML_BEFORE) && !iRef)) {
        bAtStart = true;
    } else if (iRef && (nFlags & XML_BEFORE)) {
        nOff = R(iRef).nStart;
        iFirstLater = iRef;
        iAfter = R(iParent).iChild == iRef ? 0 : R(iRef).iPrev;
    } else if (iRef || R(iParent).iChild) {
        if (!iRef)
            iRef = R(R(iParent).iChild).iPrev;
        nOff = R(iRef).nStart + R(iRef).nLength;
        // The line break after the reference stays with it.
        size_t i = nOff;
        while (i < m_strDoc.size() && IsSpace(m_strDoc[i]))
            ++i;
        if (i == m_strDoc.size() || m_strDoc[i] == '<')
            nOff = i;
        iFirstLater = x_After(iRef);
        iAfter = iRef;
    } else {
        bAtStart = true;
    }

    std::string strIns;
    size_t nMarkupOff; // where strMarkup lands in the new text
    if (bAtStart) {
        iAfter = 0;
        if (!iParent) {
            // The document: before the root, or after any prolog when there is no root.
            iFirstLater = R(0).iChild;
            nOff = iFirstLater ? R(iFirstLater).nStart : m_strDoc.size();
            strIns = strMarkup + szBreak;
            nMarkupOff = nOff;
        } else {
            ElemRec& parent = R(iParent);
            if (!parent.nEndTag) {
                // Only "<p/>" can take content; an element that was never ended cannot.
                if (parent.nStartTag < 3 || m_strDoc[parent.nStart + parent.nStartTag - 2] != '/')
                    return false;
                const std::string strEnd = "</" + x_Name(iParent) + ">";
                nOff = parent.nStart + parent.nStartTag - 2;
                strIns = std::string(">") + szBreak + strMarkup + szBreak + strEnd;
                nMarkupOff = nOff + 1 + std::strlen(szBreak);
                const int iLater = x_After(iParent);
                x_Splice(nOff, 2, strIns, iParent, iLater);
                ElemRec& rewritten = R(iParent);
                rewritten.nStartTag -= 1;
                rewritten.nEndTag = static_cast<std::uint32_t>(strEnd.size());
                rewritten.nFlags &= ~REC_NOEND;
                x_AdoptFragment(pFrag, nFragOff, nMarkupOff, iParent, 0, iFirstNew, iLastNew);
                return true;
            }
            nOff = parent.nStart + parent.nStartTag;
            iFirstLater = parent.iChild ? parent.iChild : x_After(iParent);
            const bool bNoContent = parent.nLength == parent.nStartTag + parent.nEndTag;
            strIns = (bNoContent ? szBreak : "") + strMarkup + szBreak;
            nMarkupOff = nOff + (bNoContent ? std::strlen(szBreak) : 0);
        }
    } else {
        strIns = strMarkup + szBreak;
        nMarkupOff = nOff;
    }
    x_Splice(nOff, 0, strIns, iParent, iFirstLater);
    x_AdoptFragment(pFrag, nFragOff, nMarkupOff, iParent, iAfter, iFirstNew, iLastNew);
    return true;
}

// Copies the element records of a parsed fragment into this document, their text
// now at nMarkupOff (it was at nFragOff in the fragment), and links its top-level
// elements into iParent's children after iAfter (0 = first).
void CXmlDoc::x_AdoptFragment(const CXmlDoc* pFrag, size_t nFragOff, size_t nMarkupOff, int iParent,
                              int iAfter, int& iFirstNew, int& iLastNew)
{
    if (!pFrag || !pFrag->R(0).iChild)
        return;
    const size_t nCount = pFrag->m_vRecs.size();
    std::vector<int> vMap(nCount, 0);
    for (size_t i = 1; i < nCount; ++i)
        vMap[i] = x_NewRecord();
    const std::uint32_t nShift = static_cast<std::uint32_t>(nMarkupOff - nFragOff); // modular
    for (size_t i = 1; i < nCount; ++i) {
        const ElemRec& src = pFrag->m_vRecs[i];
        ElemRec& dst = R(vMap[i]);
        dst = src;
        dst.nStart = src.nStart + nShift;
        dst.iParent = vMap[static_cast<size_t>(src.iParent)];
        dst.iChild = vMap[static_cast<size_t>(src.iChild)];
        dst.iNext = vMap[static_cast<size_t>(src.iNext)];
        dst.iPrev = vMap[static_cast<size_t>(src.iPrev)];
    }
    const int iFragFirst = pFrag->R(0).iChild;
    iFirstNew = vMap[static_cast<size_t>(iFragFirst)];
    iLastNew = vMap[static_cast<size_t>(pFrag->R(iFragFirst).iPrev)];
    x_LinkChain(iParent, iAfter, iFirstNew, iLastNew);
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
    // The new element is parsed like any fragment, so its record is exact.
    std::string strMarkup;
    if (strValue.empty()) {
        if (nFlags & XML_NOEND)
            strMarkup = "<" + strName + ">";
        else if (nFlags & XML_SPACEDEMPTY)
            strMarkup = "<" + strName + " />";
        else
            strMarkup = "<" + strName + "/>";
    } else {
        strMarkup = "<" + strName + ">";
        if (nFlags & XML_CDATA) {
            strMarkup += "<![CDATA[";
            size_t nFrom = 0;
            for (size_t nAt; (nAt = strValue.find("]]>", nFrom)) != std::string::npos; nFrom = nAt + 3) {
                strMarkup.append(strValue, nFrom, nAt - nFrom);
                strMarkup += "]]]]><![CDATA[>";
            }
            strMarkup.append(strValue, nFrom, std::string::npos);
            strMarkup += "]]>";
        } else {
            strMarkup += EscapeText(strValue, nFlags);
        }
        strMarkup += "</" + strName + ">";
    }
    ElemRec rec;
    rec.nLength = static_cast<std::uint32_t>(strMarkup.size());
    if (strValue.empty()) {
        rec.nStartTag = rec.nLength;
        rec.nFlags = REC_NOEND;
    } else {
        rec.nStartTag = static_cast<std::uint32_t>(strName.size() + 2);
        rec.nEndTag = static_cast<std::uint32_t>(strName.size() + 3);
    }
    CXmlDoc frag;
    frag.m_strDoc = strMarkup;
    frag.m_vRecs.resize(2);
    frag.m_vRecs[0].iChild = 1;
    frag.m_vRecs[1] = rec;
    frag.m_vRecs[1].iPrev = 1;

    int iFirst, iLast;
    if (!x_Insert(strMarkup, nFlags, !(nFlags & XML_NOLINES), &frag, 0, iFirst, iLast))
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
    if (!x_Insert(strMarkup.substr(nFrom, nTo - nFrom), nFlags, !(nFlags & XML_NOLINES), &frag, nFrom,
                  iFirst, iLast))
        return false;
    m_iPosChild = iLast;
    return frag.IsWellFormed();
}

bool CXmlDoc::RemoveChild()
{
    const int iPos = m_iPosChild;
    if (!x_Valid(iPos))
        return false;
    const ElemRec& rec = R(iPos);
    const int iParent = rec.iParent;
    const size_t nOff = rec.nStart;
    size_t nEnd = nOff + rec.nLength;
    while (nEnd < m_strDoc.size() && IsSpace(m_strDoc[nEnd]))
        ++nEnd;
    const int iLater = x_After(iPos);
    const int iPrevSibling = R(iParent).iChild == iPos ? 0 : rec.iPrev;

    // Unlink.
    const int iNext = rec.iNext;
    const int iPrev = rec.iPrev;
    if (R(iParent).iChild == iPos) {
        R(iParent).iChild = iNext;
        if (iNext)
            R(iNext).iPrev = iPrev;
    } else {
        R(iPrev).iNext = iNext;
        if (iNext)
            R(iNext).iPrev = iPrev;
        else
            R(R(iParent).iChild).iPrev = iPrev;
    }
    x_Splice(nOff, nEnd - nOff, std::string(), iParent, iLater);
    x_FreeSubtree(iPos);
    m_iPosChild = iPrevSibling;
    return true;
}

void CXmlDoc::x_FreeSubtree(int iPos)
{
    std::vector<int> vPending{iPos};
    while (!vPending.empty()) {
        int i = vPending.back();
        vPending.pop_back();
        for (int c = R(i).iChild; c; c = R(c).iNext)
            vPending.push_back(c);
        ElemRec& rec = R(i);
        rec = ElemRec();
        rec.nFlags = REC_DELETED;
        rec.iNext = m_iFreeHead;
        m_iFreeHead = i;
    }
}
