#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

class CFile;

// The small XML document of the settings file and the record index. The document is
// kept as one text (the file's bytes, no character-set conversion) plus a table of
// element records holding offsets into it, built by one parsing pass. Every edit
// splices the text and shifts the offsets of the records that follow; nothing is
// re-serialised, so whatever an edit does not touch stays byte for byte.
//
// Navigation is by three positions: the parent, the main (current) element and the
// current child of the main element. Position 0 means none (as parent: the document).
//
// A document belongs to one thread at a time: no method is thread-safe; callers that
// share a document serialise their use of it themselves.
class CXmlDoc {
public:
    // Insertion flags.
    static constexpr int XML_CDATA = 0x1;          // write the value as a CDATA section
    static constexpr int XML_NOLINES = 0x2;        // add no line breaks
    static constexpr int XML_SPACEDEMPTY = 0x4;    // empty element written "<name />"
    static constexpr int XML_KEEPREFS = 0x8;       // keep entity references when escaping
    static constexpr int XML_NOEND = 0x10;         // "<name>" without end tag, no value allowed
    static constexpr int XML_ESCAPEQUOTES = 0x100; // also escape ' and "
    static constexpr int XML_START = 0x1000;       // insert at the start of the parent's content
    static constexpr int XML_BEFORE = 0x2000;      // insert before the reference node
    static constexpr int XML_CHILD = 0x4000;       // work on the child level

    // Document flags.
    static constexpr unsigned XML_IGNORECASE = 0x8; // compare tag names without regard to case

    // Empty document. Any one thread at a time.
    CXmlDoc();
    // As SetText(strText). Any one thread at a time.
    explicit CXmlDoc(const std::string& strText);

    // Replaces the text, clears the result text and parses it; resets all positions.
    // True when well-formed (one root element, every element ended, no stray end tag).
    // Any one thread at a time; not thread-safe.
    bool SetText(const std::string& strText);

    // Reads the whole file byte for byte and parses it. False when the file cannot be
    // read (text unchanged, result text = the system's error text) or the text is not
    // well-formed (result text "N bytes, <parse message>"). Any one thread at a time.
    bool LoadFile(const std::string& strPath);
    // Writes the whole text to the file, replacing it whole (in place only where its
    // directory takes no new file). Result text "N bytes", or the system's error text
    // and false. Any one thread at a time.
    bool SaveFile(const std::string& strPath);
    // Writes the whole text through an open file at its current position (nothing is
    // truncated). False when the file is not open or the write fails. Any one thread
    // at a time.
    bool WriteToOpenFile(CFile& file);

    // The document text, exactly as it would be written. Any one thread at a time.
    const std::string& GetText() const { return m_strDoc; }
    // Status of the last load/save and the first parse message ("57 bytes",
    // "0 bytes, Empty document", "Element 'b' at offset 3 not ended"...).
    // Any one thread at a time.
    const std::string& GetResult() const { return m_strResult; }
    // Whether the last parse found a well-formed document. Any one thread at a time.
    bool IsWellFormed() const { return m_bWellFormed; }

    // Document flags (XML_IGNORECASE). Any one thread at a time.
    void SetDocFlags(unsigned nFlags) { m_nDocFlags = nFlags; }
    unsigned GetDocFlags() const { return m_nDocFlags; }

    // Searches the siblings after the main position (from the parent's first child
    // when there is none) for an element named strName ("" = any). On success it
    // becomes the main position and the child position is cleared.
    // Any one thread at a time.
    bool FindSibling(const std::string& strName = std::string());
    // Without a main position, first selects the root (FindSibling of any name); then
    // searches the children of the main element after the child position. On success
    // it becomes the child position. Any one thread at a time.
    bool FindChild(const std::string& strName = std::string());
    // Parent := main, main := child, child := none. False without a main position.
    // Any one thread at a time.
    bool EnterElement();
    // Child := main, main := parent, parent := its parent. False without a parent.
    // Any one thread at a time.
    bool LeaveElement();

    // Inserts "<name/>" or "<name>value</name>" (escaped, or CDATA with XML_CDATA)
    // after the main position; it becomes the main position. Any one thread at a time.
    bool AddSibling(const std::string& strName, const std::string& strValue = std::string(),
                    int nFlags = 0);
    // Inserts a child of the main element after the child position; it becomes the
    // child position. False without a main position. Any one thread at a time.
    bool AddChild(const std::string& strName, const std::string& strValue = std::string(),
                  int nFlags = 0);
    // As AddChild with the value formatted "%d". Any one thread at a time.
    bool AddChild(const std::string& strName, int nValue, int nFlags = 0);
    // Removes the child-position element (and the whitespace after it); the child
    // position moves to its previous sibling, none if it was the first.
    // Any one thread at a time.
    bool RemoveChild();
    // Parses strMarkup as a fragment and inserts it as content of the main element
    // (the program passes XML_CHILD | XML_BEFORE: before the child position, or at the
    // start of the content). Markup with elements: the text from its first element to
    // the end of its last is inserted with line breaks and its elements become
    // children; true only for exactly one well-formed element. Plain text is inserted
    // exactly as passed (no escaping, no line breaks) and gives false. Markup that does
    // not parse cleanly ("a<b", "<a>") is not inserted at all (false).
    // Any one thread at a time.
    bool InsertChildMarkup(const std::string& strMarkup, int nFlags = XML_CHILD | XML_BEFORE);

    // Back to the document level: no parent, main or child position.
    // Any one thread at a time.
    void ResetPos() { m_iPosParent = m_iPos = m_iPosChild = 0; }

    // Positions (0 = none). Any one thread at a time.
    int GetParentPos() const { return m_iPosParent; }
    int GetMainPos() const { return m_iPos; }
    int GetChildPos() const { return m_iPosChild; }

    // Tag name of the element at nPos ("" for none). Any one thread at a time.
    std::string GetTagName(int nPos) const;
    // Raw markup between the start and end tags of the element at nPos (no
    // unescaping), "" when it has no content. Any one thread at a time.
    std::string GetRawContent(int nPos) const;
    std::string GetRawContent() const { return GetRawContent(m_iPos); }
    // Character data of the child element, unescaped, CDATA sections unwrapped;
    // "" when it has child elements or no content. Any one thread at a time.
    std::string GetChildText() const;
    // The element's own markup plus the whitespace after it when that whitespace runs
    // up to a "<" or the end of the text ("<port>5990</port>\r\n").
    // Any one thread at a time.
    std::string GetElementMarkup(int nPos) const;
    std::string GetElementMarkup() const { return GetElementMarkup(m_iPos); }

    // Escapes < & > (and ' " with XML_ESCAPEQUOTES; keeps well-formed references with
    // XML_KEEPREFS). Thread-safe.
    static std::string EscapeText(const std::string& strText, int nFlags = 0);
    // Replaces the five named references and numeric references (as UTF-8); anything
    // else is copied unchanged. Thread-safe.
    static std::string UnescapeText(const char* pText, size_t nLen);
    static std::string UnescapeText(const std::string& strText)
    {
        return UnescapeText(strText.data(), strText.size());
    }

private:
    // Parsing and editing work directly on the text and the records.
    friend class CXmlScanner;
    friend class CXmlEditor;

    // Record flags.
    static constexpr std::uint32_t REC_NOEND = 0x100000;     // no end tag: "<a/>" or not ended
    static constexpr std::uint32_t REC_ILLFORMED = 0x200000; // something ill-formed inside
    static constexpr std::uint32_t REC_NOTWF = 0x800000;     // (document record) not well-formed
    static constexpr std::uint32_t REC_DELETED = 0x20000;    // on the free list

    // The offsets of a record are 32 bits wide.
    static constexpr size_t MAX_DOC = std::numeric_limits<std::uint32_t>::max() - 1;

    // One element; offsets into m_strDoc. Record 0 stands for the document.
    struct ElemRec {
        std::uint32_t nStart = 0;    // offset of "<"
        std::uint32_t nLength = 0;   // start tag to end of end tag
        std::uint32_t nStartTag = 0; // start-tag length
        std::uint32_t nEndTag = 0;   // end-tag length, 0 without end tag
        std::uint32_t nFlags = 0;    // REC_* bits
        std::int32_t iParent = 0;
        std::int32_t iChild = 0;     // first child
        std::int32_t iNext = 0;      // next sibling; next free record when deleted
        std::int32_t iPrev = 0;      // previous sibling; the last one for a first child
    };

    ElemRec& R(int iPos) { return m_vRecs[static_cast<size_t>(iPos)]; }
    const ElemRec& R(int iPos) const { return m_vRecs[static_cast<size_t>(iPos)]; }
    bool x_Valid(int iPos) const;

    void x_Parse(const std::string& strStatus);
    void x_SetResult(const std::string& strStatus, const std::string& strMsg);
    std::string x_Name(int iPos) const;
    bool x_NameMatches(int iPos, const std::string& strName) const;
    bool x_AddElem(const std::string& strName, const std::string& strValue, int nFlags);
    bool x_Insert(const std::string& strMarkup, int nFlags, bool bLines,
                  const std::vector<ElemRec>* pFragRecs, size_t nFragOff, int& iFirstNew,
                  int& iLastNew);

    std::string m_strDoc;
    std::string m_strResult;
    int m_iPosParent = 0;
    int m_iPos = 0;
    int m_iPosChild = 0;
    int m_iFreeHead = 0;
    unsigned m_nDocFlags = 0;
    bool m_bWellFormed = false;
    std::vector<ElemRec> m_vRecs{ElemRec()}; // [0] = the document
};
