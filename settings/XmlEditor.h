#pragma once

#include "settings/XmlDoc.h"

#include <cstddef>
#include <string>
#include <vector>

// Edits a document's text and keeps its element records in step: every edit splices
// the text and shifts the offsets of the records after it, so nothing outside the
// splice changes. Works on the document's own text, records and free-record list.
class CXmlEditor {
public:
    using ElemRec = CXmlDoc::ElemRec;

    // Parsed markup whose records are copied in with it: pRecs as a parse leaves them
    // ([0] the fragment's document), their text starting at nOff of the markup passed
    // to Insert.
    struct Fragment {
        const std::vector<ElemRec>* pRecs = nullptr;
        size_t nOff = 0;
    };

    // The thread that owns the document.
    CXmlEditor(std::string& strDoc, std::vector<ElemRec>& vRecs, int& iFreeHead);

    // Inserts strMarkup as content of iParent (0 = the document) next to its child
    // iRef (0 = none) as the XML_START / XML_BEFORE bits of nFlags say, with line
    // breaks when bLines. The fragment's top-level elements become iFirstNew to
    // iLastNew (0 without a fragment). False when iParent cannot take content.
    // The thread that owns the document.
    bool Insert(const std::string& strMarkup, int iParent, int iRef, int nFlags, bool bLines,
                const Fragment& frag, int& iFirstNew, int& iLastNew);
    // Removes the element iPos with the whitespace after it and frees its records.
    // The thread that owns the document.
    void Remove(int iPos);

    // The markup of a new element as CXmlDoc::AddChild writes it, and its record
    // (offsets from the start of the markup). Thread-safe.
    static std::string ElementMarkup(const std::string& strName, const std::string& strValue,
                                     int nFlags, ElemRec& rec);

private:
    // Where an insertion goes: the text offset, the first record after it, the
    // sibling the new elements follow (0 = first), or the start of the content.
    struct Spot {
        size_t nOff = 0;
        int iFirstLater = 0;
        int iAfter = 0;
        bool bAtStart = false;
    };

    ElemRec& R(int iPos) { return m_vRecs[static_cast<size_t>(iPos)]; }
    const ElemRec& R(int iPos) const { return m_vRecs[static_cast<size_t>(iPos)]; }
    int x_NewRecord();
    int x_After(int iPos) const;
    size_t x_SkipSpaceToMarkup(size_t nOff) const;
    Spot x_Locate(int iParent, int iRef, int nFlags) const;
    bool x_InsertAtStart(const std::string& strMarkup, int iParent, const char* szBreak,
                         const Fragment& frag, int& iFirstNew, int& iLastNew);
    void x_OpenEmptyTag(const std::string& strMarkup, int iParent, const char* szBreak,
                        const Fragment& frag, int& iFirstNew, int& iLastNew);
    void x_Splice(size_t nOff, size_t nDel, const std::string& strIns, int iContainer,
                  int iFirstLater);
    void x_Unlink(int iPos);
    void x_LinkChain(int iParent, int iAfter, int iFirst, int iLast);
    void x_AdoptFragment(const Fragment& frag, size_t nMarkupOff, int iParent, int iAfter,
                         int& iFirstNew, int& iLastNew);
    void x_FreeSubtree(int iPos);

    std::string& m_strDoc;
    std::vector<ElemRec>& m_vRecs;
    int& m_iFreeHead;
};
