// Parses the input as a document, walks all of it and applies edits chosen by the
// input's own bytes. On a well-formed input whose edited text is still well-formed,
// the records must describe the text exactly as a fresh parse does.
#include "settings/XmlDoc.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void Walk(CXmlDoc& doc, std::string& strOut, int nDepth)
{
    while (doc.FindSibling()) {
        const int iPos = doc.GetMainPos();
        strOut += std::to_string(nDepth) + doc.GetTagName(iPos) + "[" + doc.GetElementMarkup(iPos) + "|" +
                  doc.GetRawContent(iPos) + "]";
        doc.EnterElement();
        Walk(doc, strOut, nDepth + 1);
        doc.LeaveElement();
    }
}

std::string Tree(CXmlDoc doc)
{
    doc.ResetPos();
    std::string strOut;
    Walk(doc, strOut, 0);
    // Child text of every element reachable from the root.
    doc.ResetPos();
    while (doc.FindChild())
        strOut += doc.GetChildText();
    return strOut;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, size_t nSize)
{
    const std::string strText(reinterpret_cast<const char*>(pData), nSize);
    CXmlDoc doc;
    doc.SetDocFlags(nSize % 2 ? CXmlDoc::XML_IGNORECASE : 0);
    const bool bWellFormed = doc.SetText(strText);
    (void)Tree(doc);

    static const char* const aNames[] = {"a", "b", "record", "port"};
    static const char* const aMarkup[] = {"5990", "<x>1</x>", "<a/>\r\n<b>2</b>", "t&amp;", "<c><d/></c>"};
    static const char* const aValues[] = {"", "v", "<&>'\"", "a]]>b"};
    doc.ResetPos();
    const size_t nOps = nSize < 64 ? nSize : 64;
    for (size_t i = 0; i < nOps; ++i) {
        const std::uint8_t c = pData[nSize - 1 - i];
        const std::string strName = aNames[(c >> 4) & 3];
        const int nFlags = static_cast<int>((c >> 6) & 3) << 12 | ((c & 0x20) ? CXmlDoc::XML_CDATA : 0);
        switch (c & 15) {
        case 0: doc.FindSibling(); break;
        case 1: doc.FindSibling(strName); break;
        case 2: doc.FindChild(); break;
        case 3: doc.FindChild(strName); break;
        case 4: doc.EnterElement(); break;
        case 5: doc.LeaveElement(); break;
        case 6: doc.AddChild(strName, aValues[(c >> 6) & 3], nFlags); break;
        case 7: doc.AddSibling(strName, aValues[(c >> 6) & 3], nFlags & ~CXmlDoc::XML_START); break;
        case 8: doc.RemoveChild(); break;
        case 9: doc.InsertChildMarkup(aMarkup[(c >> 4) % 5], nFlags); break;
        case 10: doc.AddChild(strName, static_cast<int>(c) - 128, CXmlDoc::XML_NOLINES); break;
        case 11: doc.ResetPos(); break;
        default:
            (void)doc.GetChildText();
            (void)doc.GetElementMarkup();
            (void)doc.GetRawContent(doc.GetChildPos());
        }
    }
    if (bWellFormed) {
        CXmlDoc reparsed;
        reparsed.SetDocFlags(doc.GetDocFlags());
        if (reparsed.SetText(doc.GetText()) && Tree(doc) != Tree(reparsed))
            __builtin_trap();
    }
    return 0;
}
