#include "settings/XmlEditor.h"

#include "settings/XmlScanner.h"

#include <cstdint>
#include <cstring>

namespace {

// A value as one or more CDATA sections: "]]>" cannot stand inside one, so it is split
// between two.
void AppendCData(std::string& strMarkup, const std::string& strValue)
{
    strMarkup += "<![CDATA[";
    size_t nFrom = 0;
    for (size_t nAt; (nAt = strValue.find("]]>", nFrom)) != std::string::npos; nFrom = nAt + 3) {
        strMarkup.append(strValue, nFrom, nAt - nFrom);
        strMarkup += "]]]]><![CDATA[>";
    }
    strMarkup.append(strValue, nFrom, std::string::npos);
    strMarkup += "]]>";
}

} // namespace

CXmlEditor::CXmlEditor(std::string& strDoc, std::vector<ElemRec>& vRecs, int& iFreeHead)
    : m_strDoc(strDoc), m_vRecs(vRecs), m_iFreeHead(iFreeHead)
{
}

// ---------------------------------------------------------------------------
// Records

int CXmlEditor::x_NewRecord()
{
    if (m_iFreeHead) {
        int i = m_iFreeHead;
        m_iFreeHead = R(i).iNext;
        R(i) = ElemRec();
        return i;
    }
    m_vRecs.emplace_back();
    return static_cast<int>(m_vRecs.size() - 1);
}

// The first record after iPos's subtree in document order, 0 for none.
int CXmlEditor::x_After(int iPos) const
{
    while (iPos) {
        const ElemRec& rec = R(iPos);
        if (rec.iNext)
            return rec.iNext;
        iPos = rec.iParent;
    }
    return 0;
}

void CXmlEditor::x_LinkChain(int iParent, int iAfter, int iFirst, int iLast)
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

void CXmlEditor::x_Unlink(int iPos)
{
    const ElemRec& rec = R(iPos);
    const int iParent = rec.iParent;
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
}

void CXmlEditor::x_FreeSubtree(int iPos)
{
    std::vector<int> vPending{iPos};
    while (!vPending.empty()) {
        int i = vPending.back();
        vPending.pop_back();
        for (int c = R(i).iChild; c; c = R(c).iNext)
            vPending.push_back(c);
        ElemRec& rec = R(i);
        rec = ElemRec();
        rec.nFlags = CXmlDoc::REC_DELETED;
        rec.iNext = m_iFreeHead;
        m_iFreeHead = i;
    }
}

// Copies the element records of a parsed fragment into this document, their text
// now at nMarkupOff (it was at frag.nOff in the fragment), and links its top-level
// elements into iParent's children after iAfter (0 = first).
void CXmlEditor::x_AdoptFragment(const Fragment& frag, size_t nMarkupOff, int iParent, int iAfter,
                                 int& iFirstNew, int& iLastNew)
{
    if (!frag.pRecs || !(*frag.pRecs)[0].iChild)
        return;
    const std::vector<ElemRec>& vSrc = *frag.pRecs;
    const size_t nCount = vSrc.size();
    std::vector<int> vMap(nCount, 0);
    for (size_t i = 1; i < nCount; ++i)
        vMap[i] = x_NewRecord();
    const std::uint32_t nShift = static_cast<std::uint32_t>(nMarkupOff - frag.nOff); // modular
    for (size_t i = 1; i < nCount; ++i) {
        const ElemRec& src = vSrc[i];
        ElemRec& dst = R(vMap[i]);
        dst = src;
        dst.nStart = src.nStart + nShift;
        dst.iParent = vMap[static_cast<size_t>(src.iParent)];
        dst.iChild = vMap[static_cast<size_t>(src.iChild)];
        dst.iNext = vMap[static_cast<size_t>(src.iNext)];
        dst.iPrev = vMap[static_cast<size_t>(src.iPrev)];
    }
    const int iFragFirst = vSrc[0].iChild;
    iFirstNew = vMap[static_cast<size_t>(iFragFirst)];
    iLastNew = vMap[static_cast<size_t>(vSrc[static_cast<size_t>(iFragFirst)].iPrev)];
    x_LinkChain(iParent, iAfter, iFirstNew, iLastNew);
}

// ---------------------------------------------------------------------------
// Text

void CXmlEditor::x_Splice(size_t nOff, size_t nDel, const std::string& strIns, int iContainer,
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

// nOff moved past the whitespace that follows it when that whitespace runs up to
// markup or the end of the text.
size_t CXmlEditor::x_SkipSpaceToMarkup(size_t nOff) const
{
    size_t i = nOff;
    while (i < m_strDoc.size() && CXmlScanner::IsSpace(m_strDoc[i]))
        ++i;
    return i == m_strDoc.size() || m_strDoc[i] == '<' ? i : nOff;
}

// ---------------------------------------------------------------------------
// Inserting

bool CXmlEditor::Insert(const std::string& strMarkup, int iParent, int iRef, int nFlags,
                        bool bLines, const Fragment& frag, int& iFirstNew, int& iLastNew)
{
    iFirstNew = iLastNew = 0;
    const char* szBreak = bLines ? "\r\n" : "";
    const Spot spot = x_Locate(iParent, iRef, nFlags);
    if (spot.bAtStart)
        return x_InsertAtStart(strMarkup, iParent, szBreak, frag, iFirstNew, iLastNew);
    x_Splice(spot.nOff, 0, strMarkup + szBreak, iParent, spot.iFirstLater);
    x_AdoptFragment(frag, spot.nOff, iParent, spot.iAfter, iFirstNew, iLastNew);
    return true;
}

CXmlEditor::Spot CXmlEditor::x_Locate(int iParent, int iRef, int nFlags) const
{
    Spot spot;
    if ((nFlags & CXmlDoc::XML_START) || ((nFlags & CXmlDoc::XML_BEFORE) && !iRef)) {
        spot.bAtStart = true;
    } else if (iRef && (nFlags & CXmlDoc::XML_BEFORE)) {
        spot.nOff = R(iRef).nStart;
        spot.iFirstLater = iRef;
        spot.iAfter = R(iParent).iChild == iRef ? 0 : R(iRef).iPrev;
    } else if (iRef || R(iParent).iChild) {
        if (!iRef)
            iRef = R(R(iParent).iChild).iPrev;
        // The line break after the reference stays with it.
        spot.nOff = x_SkipSpaceToMarkup(R(iRef).nStart + R(iRef).nLength);
        spot.iFirstLater = x_After(iRef);
        spot.iAfter = iRef;
    } else {
        spot.bAtStart = true;
    }
    return spot;
}

bool CXmlEditor::x_InsertAtStart(const std::string& strMarkup, int iParent, const char* szBreak,
                                 const Fragment& frag, int& iFirstNew, int& iLastNew)
{
    size_t nOff;
    int iFirstLater;
    std::string strIns;
    size_t nMarkupOff; // where strMarkup lands in the new text
    if (!iParent) {
        // The document: before the root, or after any prolog when there is no root.
        iFirstLater = R(0).iChild;
        nOff = iFirstLater ? R(iFirstLater).nStart : m_strDoc.size();
        strIns = strMarkup + szBreak;
        nMarkupOff = nOff;
    } else {
        const ElemRec& parent = R(iParent);
        if (!parent.nEndTag) {
            // Only "<p/>" can take content; an element that was never ended cannot.
            if (parent.nStartTag < 3 || m_strDoc[parent.nStart + parent.nStartTag - 2] != '/')
                return false;
            x_OpenEmptyTag(strMarkup, iParent, szBreak, frag, iFirstNew, iLastNew);
            return true;
        }
        nOff = parent.nStart + parent.nStartTag;
        iFirstLater = parent.iChild ? parent.iChild : x_After(iParent);
        const bool bNoContent = parent.nLength == parent.nStartTag + parent.nEndTag;
        strIns = (bNoContent ? szBreak : "") + strMarkup + szBreak;
        nMarkupOff = nOff + (bNoContent ? std::strlen(szBreak) : 0);
    }
    x_Splice(nOff, 0, strIns, iParent, iFirstLater);
    x_AdoptFragment(frag, nMarkupOff, iParent, 0, iFirstNew, iLastNew);
    return true;
}

// Rewrites the empty-element tag "<p/>" as "<p>" strMarkup "</p>".
void CXmlEditor::x_OpenEmptyTag(const std::string& strMarkup, int iParent, const char* szBreak,
                                const Fragment& frag, int& iFirstNew, int& iLastNew)
{
    const ElemRec& parent = R(iParent);
    const size_t nNameOff = parent.nStart + 1;
    const size_t nName = CXmlScanner::NameLen(m_strDoc.data(), m_strDoc.size(), nNameOff);
    const std::string strEnd = "</" + m_strDoc.substr(nNameOff, nName) + ">";
    const size_t nOff = parent.nStart + parent.nStartTag - 2;
    const std::string strIns = std::string(">") + szBreak + strMarkup + szBreak + strEnd;
    const size_t nMarkupOff = nOff + 1 + std::strlen(szBreak);
    x_Splice(nOff, 2, strIns, iParent, x_After(iParent));
    ElemRec& rewritten = R(iParent);
    rewritten.nStartTag -= 1;
    rewritten.nEndTag = static_cast<std::uint32_t>(strEnd.size());
    rewritten.nFlags &= ~CXmlDoc::REC_NOEND;
    x_AdoptFragment(frag, nMarkupOff, iParent, 0, iFirstNew, iLastNew);
}

std::string CXmlEditor::ElementMarkup(const std::string& strName, const std::string& strValue,
                                      int nFlags, ElemRec& rec)
{
    std::string strMarkup;
    if (strValue.empty()) {
        if (nFlags & CXmlDoc::XML_NOEND)
            strMarkup = "<" + strName + ">";
        else if (nFlags & CXmlDoc::XML_SPACEDEMPTY)
            strMarkup = "<" + strName + " />";
        else
            strMarkup = "<" + strName + "/>";
    } else {
        strMarkup = "<" + strName + ">";
        if (nFlags & CXmlDoc::XML_CDATA)
            AppendCData(strMarkup, strValue);
        else
            strMarkup += CXmlDoc::EscapeText(strValue, nFlags);
        strMarkup += "</" + strName + ">";
    }
    rec = ElemRec();
    rec.nLength = static_cast<std::uint32_t>(strMarkup.size());
    if (strValue.empty()) {
        rec.nStartTag = rec.nLength;
        rec.nFlags = CXmlDoc::REC_NOEND;
    } else {
        rec.nStartTag = static_cast<std::uint32_t>(strName.size() + 2);
        rec.nEndTag = static_cast<std::uint32_t>(strName.size() + 3);
    }
    return strMarkup;
}

// ---------------------------------------------------------------------------
// Removing

void CXmlEditor::Remove(int iPos)
{
    const ElemRec& rec = R(iPos);
    const int iParent = rec.iParent;
    const size_t nOff = rec.nStart;
    size_t nEnd = nOff + rec.nLength;
    while (nEnd < m_strDoc.size() && CXmlScanner::IsSpace(m_strDoc[nEnd]))
        ++nEnd;
    const int iLater = x_After(iPos);
    x_Unlink(iPos);
    x_Splice(nOff, nEnd - nOff, std::string(), iParent, iLater);
    x_FreeSubtree(iPos);
}
