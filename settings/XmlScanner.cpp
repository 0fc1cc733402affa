#include "settings/XmlScanner.h"

namespace {

using Item = CXmlScanner::Item;

// Offset just past the first occurrence of szSeq at or after nFrom, or 0.
size_t FindSeqEnd(const char* s, size_t nFrom, size_t nEnd, const char* szSeq)
{
    const size_t nSeq = std::strlen(szSeq);
    while (nFrom + nSeq <= nEnd) {
        const char* p = CXmlScanner::Find(s, nFrom, nEnd - nSeq + 1, szSeq[0]);
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
void SetError(Item& it, const char* s, size_t n, size_t p, const char* szWhat, bool bUnterminated)
{
    const char* q = CXmlScanner::Find(s, p + 1, n, '<');
    it.nType = CXmlScanner::ITEM_ERROR;
    it.nLen = (q ? static_cast<size_t>(q - s) : n) - p;
    it.szWhat = szWhat;
    it.bUnterminated = bUnterminated;
}

void SetUnterminated(Item& it, size_t n, size_t p, const char* szWhat)
{
    it.nType = CXmlScanner::ITEM_ERROR;
    it.nLen = n - p;
    it.szWhat = szWhat;
    it.bUnterminated = true;
}

void SetItem(Item& it, int nType, size_t nLen)
{
    it.nType = nType;
    it.nLen = nLen;
}

// Character data: s[p] is not "<".
void ScanText(const char* s, size_t n, size_t p, Item& it)
{
    const char* q = CXmlScanner::Find(s, p, n, '<');
    size_t nEnd = q ? static_cast<size_t>(q - s) : n;
    it.nLen = nEnd - p;
    it.nType = CXmlScanner::ITEM_WHITESPACE;
    for (size_t i = p; i < nEnd; ++i) {
        if (!CXmlScanner::IsSpace(s[i])) {
            it.nType = CXmlScanner::ITEM_TEXT;
            return;
        }
    }
}

// "<name ...>" or "<name .../>".
void ScanStartTag(const char* s, size_t n, size_t p, Item& it)
{
    // Quotes are tracked so that ">" inside an attribute value does not end the tag.
    char cQuote = 0;
    for (size_t i = p + 2; i < n; ++i) {
        const char d = s[i];
        if (cQuote) {
            if (d == cQuote)
                cQuote = 0;
        } else if (d == '>') {
            SetItem(it, CXmlScanner::ITEM_TAG, i + 1 - p);
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
}

// "</name>".
void ScanEndTag(const char* s, size_t n, size_t p, Item& it)
{
    for (size_t i = p + 2; i < n; ++i) {
        if (s[i] == '>') {
            SetItem(it, CXmlScanner::ITEM_ENDTAG, i + 1 - p);
            return;
        }
        if (s[i] == '<') {
            SetError(it, s, n, p, "Element end tag", true);
            return;
        }
    }
    SetUnterminated(it, n, p, "Element end tag");
}

// "<?...?>".
void ScanPI(const char* s, size_t n, size_t p, Item& it)
{
    size_t nEnd = FindSeqEnd(s, p + 2, n, "?>");
    if (!nEnd)
        SetUnterminated(it, n, p, "Processing instruction");
    else
        SetItem(it, CXmlScanner::ITEM_PI, nEnd - p);
}

// "<!--...-->"; s[p + 2] is "-".
void ScanComment(const char* s, size_t n, size_t p, Item& it)
{
    if (p + 3 >= n) {
        SetUnterminated(it, n, p, "Comment");
        return;
    }
    if (s[p + 3] != '-') {
        SetError(it, s, n, p, "comment tag", false);
        return;
    }
    size_t nEnd = FindSeqEnd(s, p + 4, n, "-->");
    if (!nEnd)
        SetUnterminated(it, n, p, "Comment");
    else
        SetItem(it, CXmlScanner::ITEM_COMMENT, nEnd - p);
}

// "<![CDATA[...]]>"; s[p + 2] is "[".
void ScanCData(const char* s, size_t n, size_t p, Item& it)
{
    // The whole "<![CDATA[" opener is required so the section's inside is well defined.
    static const char szOpen[] = "<![CDATA[";
    const size_t nOpen = sizeof szOpen - 1;
    size_t nAvail = n - p < nOpen ? n - p : nOpen;
    if (std::memcmp(s + p, szOpen, nAvail) != 0) {
        SetError(it, s, n, p, "tag", false);
        return;
    }
    size_t nEnd = nAvail == nOpen ? FindSeqEnd(s, p + nOpen, n, "]]>") : 0;
    if (!nEnd)
        SetUnterminated(it, n, p, "CDATA Section");
    else
        SetItem(it, CXmlScanner::ITEM_CDATA, nEnd - p);
}

// "<!DOCTYPE ...>", with or without an internal subset; s[p + 2] is "D".
void ScanDoctype(const char* s, size_t n, size_t p, Item& it)
{
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
            SetItem(it, CXmlScanner::ITEM_DOCTYPE, i + 1 - p);
            return;
        }
    }
    SetUnterminated(it, n, p, "Doctype");
}

// "<!ELEMENT ...>", "<!ATTLIST ...>", "<!NOTATION ...>" and the like, up to the first ">".
void ScanDeclaration(const char* s, size_t n, size_t p, Item& it)
{
    const char* q = CXmlScanner::Find(s, p + 3, n, '>');
    if (!q)
        SetUnterminated(it, n, p, "tag");
    else
        SetItem(it, CXmlScanner::ITEM_DOCTYPE, static_cast<size_t>(q - s) + 1 - p);
}

// Markup starting "<!".
void ScanBang(const char* s, size_t n, size_t p, Item& it)
{
    if (p + 2 >= n) {
        SetUnterminated(it, n, p, "tag");
        return;
    }
    switch (s[p + 2]) {
    case '-':
        ScanComment(s, n, p, it);
        return;
    case '[':
        ScanCData(s, n, p, it);
        return;
    case 'D':
        ScanDoctype(s, n, p, it);
        return;
    case 'E':
    case 'A':
    case 'N':
        ScanDeclaration(s, n, p, it);
        return;
    default:
        SetError(it, s, n, p, "! tag", false);
        return;
    }
}

// One item; the parse loop calls this directly so that it compiles into the loop.
void ScanOne(const char* s, size_t n, size_t p, Item& it)
{
    it = Item();
    if (p >= n)
        return;
    if (s[p] != '<') {
        ScanText(s, n, p, it);
        return;
    }
    if (p + 1 >= n) {
        SetUnterminated(it, n, p, "tag");
        return;
    }
    const unsigned char c = static_cast<unsigned char>(s[p + 1]);
    if (CXmlScanner::IsNameStart(c)) {
        ScanStartTag(s, n, p, it);
        return;
    }
    switch (c) {
    case '/':
        ScanEndTag(s, n, p, it);
        return;
    case '?':
        ScanPI(s, n, p, it);
        return;
    case '!':
        ScanBang(s, n, p, it);
        return;
    default:
        SetError(it, s, n, p, "tag name character", false);
        return;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Items

void CXmlScanner::ScanItem(const char* s, size_t n, size_t p, Item& it)
{
    ScanOne(s, n, p, it);
}

size_t CXmlScanner::NameLen(const char* s, size_t n, size_t nOff)
{
    size_t i = nOff;
    while (i < n && !IsSpace(s[i]) && s[i] != '/' && s[i] != '>')
        ++i;
    return i - nOff;
}

bool CXmlScanner::SameName(const char* pA, size_t nA, const char* pB, size_t nB, bool bIgnoreCase)
{
    if (nA != nB)
        return false;
    if (!bIgnoreCase)
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

// ---------------------------------------------------------------------------
// Parsing

CXmlScanner::CXmlScanner(const std::string& strDoc, std::vector<CXmlDoc::ElemRec>& vRecs,
                         bool bIgnoreCase)
    : m_pDoc(strDoc.data()), m_nDoc(strDoc.size()), m_vRecs(vRecs), m_bIgnoreCase(bIgnoreCase)
{
}

bool CXmlScanner::Parse(std::string& strMsg)
{
    m_vRecs.clear();
    if (m_nDoc > CXmlDoc::MAX_DOC) {
        m_vRecs.emplace_back();
        R(0).nFlags |= CXmlDoc::REC_NOTWF;
        strMsg = "Document too large";
        return false;
    }
    m_vRecs.reserve(m_nDoc / 64 + 8);
    m_vRecs.emplace_back();
    R(0).nLength = static_cast<std::uint32_t>(m_nDoc);
    m_vStack.reserve(32);
    x_ScanItems();
    x_CloseOpen();
    x_CheckRoot();
    strMsg = std::move(m_strMsg);
    const int iRoot = R(0).iChild;
    return !(R(0).nFlags & CXmlDoc::REC_NOTWF) && iRoot && !R(iRoot).iNext;
}

std::string CXmlScanner::x_Name(int iPos) const
{
    const size_t nOff = m_vRecs[static_cast<size_t>(iPos)].nStart + 1;
    return std::string(m_pDoc + nOff, NameLen(m_pDoc, m_nDoc, nOff));
}

// Only the first message is kept.
void CXmlScanner::x_Message(std::string strNew)
{
    if (m_strMsg.empty())
        m_strMsg = std::move(strNew);
}

void CXmlScanner::x_ScanItems()
{
    const char* s = m_pDoc;
    const size_t n = m_nDoc;
    Item it;
    size_t p = 0;
    while (p < n) {
        // Character data makes no record: skip it without classifying it.
        if (s[p] != '<') {
            const char* q = Find(s, p, n, '<');
            if (!q)
                break;
            p = static_cast<size_t>(q - s);
        }
        ScanOne(s, n, p, it);
        if (it.nType == ITEM_TAG)
            x_StartTag(p, it);
        else if (it.nType == ITEM_ENDTAG)
            x_EndTag(p, it.nLen);
        else if (it.nType == ITEM_ERROR)
            x_Error(p, it);
        p += it.nLen;
    }
}

inline void CXmlScanner::x_StartTag(size_t p, const Item& it)
{
    m_vRecs.emplace_back();
    const int iNew = static_cast<int>(m_vRecs.size() - 1);
    ElemRec& rec = R(iNew);
    rec.nStart = static_cast<std::uint32_t>(p);
    rec.nStartTag = static_cast<std::uint32_t>(it.nLen);
    if (it.bEmpty) {
        rec.nLength = rec.nStartTag;
        rec.nFlags |= CXmlDoc::REC_NOEND;
    }
    x_LinkLast(m_iCur, iNew);
    if (!it.bEmpty) {
        m_vStack.push_back(iNew);
        m_iCur = iNew;
    }
}

void CXmlScanner::x_EndTag(size_t p, size_t nLen)
{
    const char* pName = m_pDoc + p + 2;
    size_t nName = 0;
    while (nName + 2 < nLen - 1 && !IsSpace(pName[nName]))
        ++nName;
    const size_t nOpen = x_FindOpen(pName, nName);
    if (nOpen == 0) {
        R(0).nFlags |= CXmlDoc::REC_NOTWF;
        R(m_iCur).nFlags |= CXmlDoc::REC_ILLFORMED;
        x_Message("No start tag for end tag '" + std::string(pName, nName) + "' at offset " +
                  std::to_string(p));
        return;
    }
    if (nOpen < m_vStack.size())
        x_CloseInner(nOpen, std::string(pName, nName), p);
    ElemRec& rec = R(m_vStack.back());
    rec.nEndTag = static_cast<std::uint32_t>(nLen);
    rec.nLength = static_cast<std::uint32_t>(p + nLen - rec.nStart);
    m_vStack.pop_back();
    m_iCur = m_vStack.empty() ? 0 : m_vStack.back();
}

// How many open elements remain once the innermost one named pName is ended; 0 when
// none has that name.
inline size_t CXmlScanner::x_FindOpen(const char* pName, size_t nName)
{
    size_t k = m_vStack.size();
    while (k > 0) {
        const ElemRec& open = R(m_vStack[k - 1]);
        const size_t nOff = open.nStart + 1;
        if (SameName(m_pDoc + nOff, NameLen(m_pDoc, m_nDoc, nOff), pName, nName, m_bIgnoreCase))
            break;
        --k;
    }
    return k;
}

// An end tag matched an outer element: the ones opened inside it were never ended.
void CXmlScanner::x_CloseInner(size_t nKeep, const std::string& strEndName, size_t p)
{
    const int iInner = m_vStack.back();
    x_Message("End tag '" + strEndName + "' at offset " + std::to_string(p + 1) +
              " does not match start tag '" + x_Name(iInner) + "' at offset " +
              std::to_string(R(iInner).nStart));
    R(0).nFlags |= CXmlDoc::REC_NOTWF;
    // Outermost first, so that every child is re-attached only once.
    for (size_t j = nKeep; j < m_vStack.size(); ++j)
        x_CloseNotEnded(m_vStack[j]);
    m_vStack.resize(nKeep);
}

void CXmlScanner::x_Error(size_t p, const Item& it)
{
    R(0).nFlags |= CXmlDoc::REC_NOTWF;
    R(m_iCur).nFlags |= CXmlDoc::REC_ILLFORMED;
    if (it.bUnterminated)
        x_Message(std::string(it.szWhat) + " at offset " + std::to_string(p) + " unterminated");
    else
        x_Message("Incorrect " + std::string(it.szWhat) + " at offset " + std::to_string(p));
}

void CXmlScanner::x_LinkLast(int iParent, int iNew)
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
void CXmlScanner::x_CloseNotEnded(int iPos)
{
    ElemRec& rec = R(iPos);
    const int iParent = rec.iParent;
    rec.nLength = rec.nStartTag;
    rec.nEndTag = 0;
    rec.nFlags |= CXmlDoc::REC_NOEND | CXmlDoc::REC_ILLFORMED;
    R(iParent).nFlags |= CXmlDoc::REC_ILLFORMED;
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

// At the end of the text: whatever is still open was never ended.
void CXmlScanner::x_CloseOpen()
{
    if (m_vStack.empty())
        return;
    const int iInner = m_vStack.back();
    x_Message("Element '" + x_Name(iInner) + "' at offset " + std::to_string(R(iInner).nStart) +
              " not ended");
    R(0).nFlags |= CXmlDoc::REC_NOTWF;
    for (int iOpen : m_vStack)
        x_CloseNotEnded(iOpen);
}

void CXmlScanner::x_CheckRoot()
{
    const int iRoot = R(0).iChild;
    if (m_nDoc == 0)
        x_Message("Empty document");
    else if (!iRoot)
        x_Message("No root element");
    else if (R(iRoot).iNext)
        x_Message("Root element has sibling");
}
