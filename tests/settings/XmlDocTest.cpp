#include "settings/XmlDoc.h"

#include "platform/File.h"

#include "support/Sandbox.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// One line per element, depth first: depth, name, markup as GetElementMarkup gives it.
void Walk(CXmlDoc& doc, int nDepth, std::string& strOut)
{
    while (doc.FindSibling()) {
        const int iPos = doc.GetMainPos();
        strOut += std::to_string(nDepth) + " " + doc.GetTagName(iPos) + " [" +
                  doc.GetElementMarkup(iPos) + "|" + doc.GetRawContent(iPos) + "]\n";
        doc.EnterElement();
        Walk(doc, nDepth + 1, strOut);
        doc.LeaveElement();
    }
}

std::string Tree(CXmlDoc doc)
{
    doc.ResetPos();
    std::string strOut;
    Walk(doc, 0, strOut);
    return strOut;
}

// After an edit the records must describe the text exactly as a fresh parse would.
void ExpectRecordsMatchText(const CXmlDoc& doc)
{
    EXPECT_EQ(Tree(doc), Tree(CXmlDoc(doc.GetText()))) << doc.GetText();
}

const char* const kSettings =
    "<QorConf>\r\n"
    "<port>5990</port>\r\n"
    "<downdir>f:\\mp4download</downdir>\r\n"
    "<IP>127.0.0.1</IP>\r\n"
    "</QorConf>";

} // namespace

TEST(XmlDocTest, AddChildThenInsertTextFillsAnEmptyRootAndFindChildSearchesOnward)
{
    CXmlDoc doc("<QorConf></QorConf>");
    EXPECT_FALSE(doc.FindChild("port")); // selects the root on the way
    ASSERT_TRUE(doc.AddChild("port"));
    EXPECT_EQ(doc.GetText(), "<QorConf>\r\n<port/>\r\n</QorConf>");
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_FALSE(doc.InsertChildMarkup("5990")); // plain text: inserted, but not an element
    EXPECT_EQ(doc.GetText(), "<QorConf>\r\n<port>5990</port>\r\n</QorConf>");
    EXPECT_EQ(doc.GetElementMarkup(), "<port>5990</port>\r\n");
    EXPECT_EQ(doc.GetRawContent(), "5990");
    ASSERT_TRUE(doc.LeaveElement());
    EXPECT_EQ(doc.GetChildText(), "5990");
    ExpectRecordsMatchText(doc);

    // On a fresh document FindChild searches the root's children.
    doc.SetText(kSettings);
    EXPECT_FALSE(doc.FindChild("QorConf"));
    doc.ResetPos();
    ASSERT_TRUE(doc.FindChild("IP"));
    EXPECT_EQ(doc.GetTagName(doc.GetMainPos()), "QorConf");
    EXPECT_EQ(doc.GetChildText(), "127.0.0.1");
    // The search goes on after the current child, never back.
    EXPECT_FALSE(doc.FindChild("port"));
    EXPECT_EQ(doc.GetTagName(doc.GetChildPos()), "IP");
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_EQ(doc.GetElementMarkup(), "<IP>127.0.0.1</IP>\r\n");
    ASSERT_TRUE(doc.LeaveElement());
    EXPECT_FALSE(doc.LeaveElement()); // no parent at the document level
}

TEST(XmlDocTest, ReplacingAChildKeepsItsPlaceUnlessItWasTheFirst)
{
    // Removing the first child: the new one goes last.
    CXmlDoc doc(kSettings);
    ASSERT_TRUE(doc.FindChild("port"));
    ASSERT_TRUE(doc.RemoveChild());
    EXPECT_EQ(doc.GetChildPos(), 0);
    ASSERT_TRUE(doc.AddChild("port", 6000));
    EXPECT_EQ(doc.GetText(), "<QorConf>\r\n<downdir>f:\\mp4download</downdir>\r\n<IP>127.0.0.1</IP>\r\n"
                             "<port>6000</port>\r\n</QorConf>");
    ExpectRecordsMatchText(doc);

    // Removing any other child: the new one takes its place.
    doc.SetText(kSettings);
    ASSERT_TRUE(doc.FindChild("downdir"));
    ASSERT_TRUE(doc.RemoveChild());
    EXPECT_EQ(doc.GetTagName(doc.GetChildPos()), "port");
    ASSERT_TRUE(doc.AddChild("downdir", "/srv/a&b"));
    EXPECT_EQ(doc.GetText(), "<QorConf>\r\n<port>5990</port>\r\n<downdir>/srv/a&amp;b</downdir>\r\n"
                             "<IP>127.0.0.1</IP>\r\n</QorConf>");
    EXPECT_EQ(doc.GetChildText(), "/srv/a&b");
    ExpectRecordsMatchText(doc);

    // Removing the last: the whitespace after it goes with it.
    doc.SetText(kSettings);
    ASSERT_TRUE(doc.FindChild("IP"));
    ASSERT_TRUE(doc.RemoveChild());
    EXPECT_EQ(doc.GetText(), "<QorConf>\r\n<port>5990</port>\r\n<downdir>f:\\mp4download</downdir>\r\n"
                             "</QorConf>");
    ExpectRecordsMatchText(doc);
    doc.ResetPos();
    EXPECT_FALSE(doc.RemoveChild());
}

TEST(XmlDocTest, InsertedMarkupIsNavigableAtOnceAndBrokenMarkupIsRefused)
{
    // Several top-level elements: inserted, but not "exactly one element". (The
    // settings store moves its special configuration in this way; SettingsStoreTest
    // checks the resulting file.)
    CXmlDoc settings("<QorConf>\r\n<port>5990</port>\r\n</QorConf>");
    EXPECT_FALSE(settings.FindChild("AllPrivileges"));
    ASSERT_TRUE(settings.AddChild("AllPrivileges"));
    ASSERT_TRUE(settings.EnterElement());
    EXPECT_FALSE(settings.InsertChildMarkup("\r\n<EnablePrivileges>1</EnablePrivileges>\r\n<Privilege>\r\n"
                                            "<ChanNO>0</ChanNO>\r\n</Privilege>\r\n"));
    ASSERT_TRUE(settings.LeaveElement());
    EXPECT_EQ(settings.GetText(), "<QorConf>\r\n<port>5990</port>\r\n<AllPrivileges>\r\n"
                                  "<EnablePrivileges>1</EnablePrivileges>\r\n<Privilege>\r\n<ChanNO>0</ChanNO>\r\n"
                                  "</Privilege>\r\n</AllPrivileges>\r\n</QorConf>");
    ExpectRecordsMatchText(settings);
    settings.ResetPos();
    ASSERT_TRUE(settings.FindChild("AllPrivileges"));
    ASSERT_TRUE(settings.EnterElement());
    ASSERT_TRUE(settings.FindChild("Privilege"));
    ASSERT_TRUE(settings.EnterElement());
    ASSERT_TRUE(settings.FindChild("ChanNO"));
    EXPECT_EQ(settings.GetChildText(), "0");

    // Broken markup is refused rather than breaking the document.
    CXmlDoc guarded("<r><v/></r>");
    ASSERT_TRUE(guarded.FindChild("v"));
    ASSERT_TRUE(guarded.EnterElement());
    EXPECT_FALSE(guarded.InsertChildMarkup("/srv/a<b"));
    EXPECT_FALSE(guarded.InsertChildMarkup("<open>"));
    EXPECT_FALSE(guarded.InsertChildMarkup("a</r><r>"));
    EXPECT_EQ(guarded.GetText(), "<r><v/></r>");
    EXPECT_FALSE(guarded.InsertChildMarkup("a&b")); // not markup: goes in as it stands
    EXPECT_EQ(guarded.GetText(), "<r><v>a&b</v></r>");

    // One well-formed element gives true.
    CXmlDoc one("<a><b/></a>");
    ASSERT_TRUE(one.FindChild("b"));
    ASSERT_TRUE(one.EnterElement());
    EXPECT_TRUE(one.InsertChildMarkup("<c>1</c>"));
    EXPECT_EQ(one.GetText(), "<a><b>\r\n<c>1</c>\r\n</b></a>");
    ExpectRecordsMatchText(one);
}

TEST(XmlDocTest, InsertionFlagsShapeTheMarkup)
{
    CXmlDoc doc("<r><a/></r>");
    ASSERT_TRUE(doc.FindChild("a"));
    EXPECT_TRUE(doc.AddChild("s", "", CXmlDoc::XML_SPACEDEMPTY | CXmlDoc::XML_NOLINES));
    EXPECT_TRUE(doc.AddChild("f", "", CXmlDoc::XML_START | CXmlDoc::XML_NOLINES));
    EXPECT_TRUE(doc.AddChild("b", "x", CXmlDoc::XML_BEFORE | CXmlDoc::XML_NOLINES));
    EXPECT_FALSE(doc.AddChild("n", "value", CXmlDoc::XML_NOEND));
    EXPECT_TRUE(doc.AddChild("q", "'\"", CXmlDoc::XML_ESCAPEQUOTES | CXmlDoc::XML_NOLINES));
    EXPECT_EQ(doc.GetText(), "<r><b>x</b><q>&apos;&quot;</q><f/><a/><s /></r>");
    EXPECT_FALSE(doc.AddChild("bad name"));
    EXPECT_FALSE(doc.AddChild(""));
    ExpectRecordsMatchText(doc);

    CXmlDoc fresh;
    EXPECT_FALSE(fresh.AddChild("x")); // no main position
    EXPECT_TRUE(fresh.AddSibling("root"));
    EXPECT_EQ(fresh.GetText(), "<root/>\r\n");
}

TEST(XmlDocTest, ParseErrorsGiveTheFirstMessageAndIllFormedDocumentsStayNavigable)
{
    struct Case {
        const char* szText;
        const char* szResult;
    };
    const Case aCases[] = {
        {"<a><b></a>", "End tag 'a' at offset 7 does not match start tag 'b' at offset 3"},
        {"<a><b>", "Element 'b' at offset 3 not ended"},
        {"<a></b></a>", "No start tag for end tag 'b' at offset 3"},
        {"<a>< b/></a>", "Incorrect tag name character at offset 3"},
        {"<a><!x></a>", "Incorrect ! tag at offset 3"},
        {"<a><!-x--></a>", "Incorrect comment tag at offset 3"},
        {"<a><![X[x]]></a>", "Incorrect tag at offset 3"},
        {"<a><!-- x", "Comment at offset 3 unterminated"},
        {"<a><![CDATA[x", "CDATA Section at offset 3 unterminated"},
        {"<a><?pi", "Processing instruction at offset 3 unterminated"},
        {"<!DOCTYPE a [<!ELEMENT a ANY>", "Doctype at offset 0 unterminated"},
        {"<a x='>", "Element tag at offset 0 unterminated"},
        {"<a></a", "Element end tag at offset 3 unterminated"},
        {"<a/><", "tag at offset 4 unterminated"},
        {"just text", "No root element"},
        {"<a/><b/>", "Root element has sibling"},
        {"", "Empty document"},
    };
    for (const Case& c : aCases) {
        CXmlDoc doc;
        EXPECT_FALSE(doc.SetText(c.szText)) << c.szText;
        EXPECT_EQ(doc.GetResult(), c.szResult) << c.szText;
    }
    CXmlDoc good;
    EXPECT_TRUE(good.SetText("<?xml version=\"1.0\"?>\r\n<!DOCTYPE a [<!ELEMENT a ANY>]>\r\n"
                             "<!-- c --><a x=\"1>2\" y='/'><b/><![CDATA[<x>]]></a>\r\n"));
    EXPECT_EQ(good.GetResult(), "");

    // "b" and "c" were never ended: they keep their start tags and their children
    // become following siblings.
    CXmlDoc doc("<a><b><c><d/></a>");
    EXPECT_FALSE(doc.IsWellFormed());
    EXPECT_EQ(Tree(doc), "0 a [<a><b><c><d/></a>|<b><c><d/>]\n"
                         "1 b [<b>|]\n"
                         "1 c [<c>|]\n"
                         "1 d [<d/>|]\n");
    // An element without end tag takes no content; an empty-element tag does.
    ASSERT_TRUE(doc.FindChild("b"));
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_FALSE(doc.AddChild("x"));
    ASSERT_TRUE(doc.LeaveElement());
    ASSERT_TRUE(doc.FindChild("d"));
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_TRUE(doc.AddChild("x", "", CXmlDoc::XML_NOLINES));
    EXPECT_EQ(doc.GetText(), "<a><b><c><d><x/></d></a>");
}

TEST(XmlDocTest, ValuesRoundTripThroughEscaping)
{
    const std::string aValues[] = {"plain", "a<b>&c", "'\"", "&amp; stays text", "]]>", "x]]>y]]>",
                                   "\xe4\xb8\xad\xe6\x96\x87", " lead and trail "};
    for (const std::string& strValue : aValues) {
        for (int nFlags : {0, CXmlDoc::XML_CDATA, CXmlDoc::XML_ESCAPEQUOTES}) {
            CXmlDoc doc("<r></r>");
            ASSERT_TRUE(doc.FindSibling("r"));
            ASSERT_TRUE(doc.AddChild("v", strValue, nFlags));
            CXmlDoc reread(doc.GetText());
            ASSERT_TRUE(reread.IsWellFormed()) << reread.GetText();
            ASSERT_TRUE(reread.FindChild("v"));
            EXPECT_EQ(reread.GetChildText(), strValue) << nFlags << " " << reread.GetText();
        }
    }
    CXmlDoc cdata("<r/>");
    ASSERT_TRUE(cdata.FindSibling());
    ASSERT_TRUE(cdata.AddChild("v", "a]]>b", CXmlDoc::XML_CDATA));
    EXPECT_EQ(cdata.GetText(), "<r>\r\n<v><![CDATA[a]]]]><![CDATA[>b]]></v>\r\n</r>");

    EXPECT_EQ(CXmlDoc::EscapeText("&lt; & &#38; &x-1.y; &;", CXmlDoc::XML_KEEPREFS),
              "&lt; &amp; &#38; &x-1.y; &amp;;");
    EXPECT_EQ(CXmlDoc::UnescapeText("&lt;&gt;&amp;&apos;&quot;&#65;&#x42;&#x4e2d;"), "<>&'\"AB\xe4\xb8\xad");
    // Not characters, too long, unknown or unterminated: copied as they stand.
    EXPECT_EQ(CXmlDoc::UnescapeText("&#0; &#xD800; &#x110000; &#12345678; &nbsp; &lt &"),
              "&#0; &#xD800; &#x110000; &#12345678; &nbsp; &lt &");
}

TEST(XmlDocTest, ChildTextSkipsCommentsAndUnwrapsCDataAndNamesMatchWhole)
{
    CXmlDoc doc("<r><v>a&lt;<!-- no --> <![CDATA[<b>]]><?pi x?>c</v><w><x/></w><e/><s>  </s></r>");
    ASSERT_TRUE(doc.FindChild("v"));
    EXPECT_EQ(doc.GetChildText(), "a<<b>c");
    ASSERT_TRUE(doc.FindChild("w"));
    EXPECT_EQ(doc.GetChildText(), ""); // has child elements
    ASSERT_TRUE(doc.FindChild("e"));
    EXPECT_EQ(doc.GetChildText(), "");
    ASSERT_TRUE(doc.FindChild("s"));
    EXPECT_EQ(doc.GetChildText(), "  ");

    // Names match whole, and without case only when the document says so.
    doc.SetText("<r><portx/><Port/><port a='1'/></r>");
    ASSERT_TRUE(doc.FindChild("port"));
    EXPECT_EQ(doc.GetElementMarkup(doc.GetChildPos()), "<port a='1'/>");
    doc.ResetPos();
    ASSERT_TRUE(doc.FindChild("port[1]")); // a name may be followed by " =/[]"
    EXPECT_EQ(doc.GetElementMarkup(doc.GetChildPos()), "<port a='1'/>");
    doc.ResetPos();
    EXPECT_FALSE(doc.FindChild("por"));

    CXmlDoc nocase;
    nocase.SetDocFlags(CXmlDoc::XML_IGNORECASE);
    nocase.SetText("<R><Port></PORT></r>");
    EXPECT_TRUE(nocase.IsWellFormed()) << nocase.GetResult();
    ASSERT_TRUE(nocase.FindChild("PORT"));
    EXPECT_EQ(nocase.GetElementMarkup(nocase.GetChildPos()), "<Port></PORT>");
}

TEST(XmlDocTest, RandomTextsAndEditsNeverBreakNavigationAndKeepRecordsInStep)
{
    const std::string strAlphabet = "<>/!?-[]CDATA\"'= \r\nab&;#x";
    const char* const aNames[] = {"a", "b", "port", "record"};
    const char* const aMarkup[] = {"5990", "<x/>", "<y>1</y>\r\n<z><w/></z>", "  ", "<q>2</q>"};
    std::mt19937 rng(12345);
    for (int nRound = 0; nRound < 3200; ++nRound) {
        // Mostly random texts; every 16th round a well-formed document that every
        // edit must keep well-formed, with records in step after each one.
        const bool bWellFormed = nRound % 16 == 0;
        std::string strText = bWellFormed ? (nRound % 32 ? kSettings : "<r></r>") : "";
        for (int i = bWellFormed ? 0 : static_cast<int>(rng() % 40); i > 0; --i)
            strText += strAlphabet[rng() % strAlphabet.size()];
        CXmlDoc doc(strText);
        Tree(doc);
        doc.ResetPos();
        for (int nStep = 0; nStep < 40; ++nStep) {
            const std::string strName = aNames[rng() % 4];
            switch (rng() % 9) {
            case 0: doc.FindChild(rng() % 2 ? strName : std::string()); break;
            case 1: doc.EnterElement(); break;
            case 2: doc.LeaveElement(); break;
            case 3: doc.AddChild(strName, rng() % 2 ? "v<" : "", static_cast<int>(rng() % 4) << 12); break;
            case 4: doc.RemoveChild(); break;
            case 5: doc.InsertChildMarkup(aMarkup[rng() % 5], static_cast<int>(rng() % 4) << 12); break;
            case 6: doc.FindSibling(rng() % 2 ? strName : std::string()); break;
            case 7: doc.AddChild(strName, static_cast<int>(rng() % 100), CXmlDoc::XML_NOLINES); break;
            case 8: doc.InsertChildMarkup(strText.substr(0, rng() % (strText.size() + 1))); break;
            }
            doc.GetChildText();
            doc.GetElementMarkup();
            if (bWellFormed) {
                ASSERT_TRUE(CXmlDoc(doc.GetText()).IsWellFormed()) << doc.GetText();
                ASSERT_EQ(Tree(doc), Tree(CXmlDoc(doc.GetText()))) << nRound << "/" << nStep << "\n" << doc.GetText();
            }
        }
        // Records still agree with the text wherever the text itself parses cleanly.
        if (!bWellFormed && CXmlDoc(doc.GetText()).IsWellFormed())
            ExpectRecordsMatchText(doc);
    }
}

class XmlDocFileTest : public Sandbox {};

TEST_F(XmlDocFileTest, LoadAndSaveReportBytesAndKeepTheBytes)
{
    const std::string strText = "<QorConf>\r\n<port>80</port>\r\n<IP>10.0.0.1</IP>\r\n</QorConf>";
    ASSERT_EQ(strText.size(), 57u);
    WriteFile(At("in.xml"), strText);
    CXmlDoc doc;
    ASSERT_TRUE(doc.LoadFile(At("in.xml")));
    EXPECT_EQ(doc.GetResult(), "57 bytes");
    ASSERT_TRUE(doc.FindChild("IP"));
    ASSERT_TRUE(doc.AddChild("x", 1));
    ASSERT_TRUE(doc.SaveFile(At("out.xml")));
    EXPECT_EQ(doc.GetResult(), "67 bytes");
    EXPECT_EQ(ReadFile(At("out.xml")), "<QorConf>\r\n<port>80</port>\r\n<IP>10.0.0.1</IP>\r\n<x>1</x>\r\n</QorConf>");

    WriteFile(At("empty.xml"), "");
    EXPECT_FALSE(doc.LoadFile(At("empty.xml")));
    EXPECT_EQ(doc.GetResult(), "0 bytes, Empty document");

    WriteFile(At("bad.xml"), "<a>\n<b>\n</a>\n");
    EXPECT_FALSE(doc.LoadFile(At("bad.xml")));
    EXPECT_EQ(doc.GetResult(), "13 bytes, End tag 'a' at offset 9 does not match start tag 'b' at offset 4");

    // A missing file leaves the document as it was.
    ASSERT_TRUE(doc.SetText("<keep/>"));
    EXPECT_FALSE(doc.LoadFile(At("missing.xml")));
    EXPECT_EQ(doc.GetResult(), "No such file or directory");
    EXPECT_EQ(doc.GetText(), "<keep/>");
    EXPECT_FALSE(doc.SaveFile(At("no/such/dir.xml")));
    EXPECT_EQ(doc.GetResult(), "No such file or directory");
    EXPECT_FALSE(doc.LoadFile(Dir().string())); // a directory
    EXPECT_EQ(doc.GetText(), "<keep/>");

    // Written through an open descriptor at its position, nothing truncated: the
    // document only ever grows in its file.
    ASSERT_TRUE(doc.SetText("<Data></Data>"));
    CFile file;
    EXPECT_FALSE(doc.WriteToOpenFile(file));
    WriteFile(At("index.xml"), "0123456789abcdefghij");
    ASSERT_EQ(file.Open(At("index.xml"), CFile::Mode::ReadWrite), 0);
    ASSERT_EQ(file.WriteAll("01", 2), 0);  // the position is now 2
    EXPECT_TRUE(doc.WriteToOpenFile(file));
    file.Close();
    EXPECT_EQ(ReadFile(At("index.xml")), "01<Data></Data>fghij");
}
