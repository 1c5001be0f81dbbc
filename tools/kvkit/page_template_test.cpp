// Reading a channel page and writing its data-bound table out as a static page.
#include <gtest/gtest.h>

#include <map>

#include "tools/kvkit/page_template.h"

namespace {

using kv::kvkit::FindBoundControl;
using kv::kvkit::PageError;
using kv::kvkit::RenderStaticPage;

// Columns A and B (text), H (HTML); cells "<column><row>" unless given.
class FakeTable : public kv::kvkit::TableSource {
public:
    int rows = 2;
    std::map<std::wstring, std::wstring> cells;  // "A1" -> text
    std::vector<std::wstring> reads;  // "A1 html"

    int RowCount() override { return rows; }
    bool HasColumn(std::wstring_view name) override {
        std::wstring n(name);
        for (auto& c : n) c = static_cast<wchar_t>(towupper(c));
        return n == L"A" || n == L"B" || n == L"H" || n == L"ICON";
    }
    std::wstring Cell(int row, std::wstring_view column, Use use) override {
        std::wstring key = std::wstring(column) + std::to_wstring(row);
        reads.push_back(key + (use == Use::kHtml ? L" html" : use == Use::kText ? L" text" : L" attr"));
        auto it = cells.find(key);
        return it != cells.end() ? it->second : key;
    }
};

const wchar_t kControl[] = L"<OBJECT ID=news CLASSID=\"clsid:60FB349E-0CD8-11D1-9D7B-00C0F018612C\">"
                           L"<PARAM NAME=Sort VALUE=\"TITLE\"></OBJECT>";

std::wstring Page(const std::wstring& table) { return std::wstring(L"<P>top</P>") + kControl + table + L"<P>end</P>"; }

std::wstring Render(const std::wstring& page, FakeTable& table, std::vector<std::wstring>* warnings = nullptr) {
    return RenderStaticPage(page, table, warnings);
}

TEST(PageTemplate, TheBodyRepeatsOncePerRecordAndTheHeadOnce) {
    FakeTable table;
    table.rows = 3;
    std::wstring out = Render(Page(L"<TABLE DATASRC=\"#news\" BORDER=1><THEAD><TR><TH>Head</TH></TR></THEAD>"
                                   L"<TBODY><TR><TD><SPAN DATAFLD=\"A\">x</SPAN></TD></TR></TBODY>"
                                   L"<TFOOT><TR><TD>foot</TD></TR></TFOOT></TABLE>"),
                              table);
    EXPECT_EQ(L"<P>top</P><TABLE BORDER=\"1\"><THEAD><TR><TH>Head</TH></TR></THEAD>"
              L"<TBODY><TR><TD><SPAN>A1</SPAN></TD></TR></TBODY>"
              L"<TBODY><TR><TD><SPAN>A2</SPAN></TD></TR></TBODY>"
              L"<TBODY><TR><TD><SPAN>A3</SPAN></TD></TR></TBODY>"
              L"<TFOOT><TR><TD>foot</TD></TR></TFOOT></TABLE><P>end</P>",
              out)
        << "the control's OBJECT is gone, the binding attributes too";

    table.rows = 0;
    EXPECT_EQ(L"<P>top</P><TABLE><THEAD><TR><TH>h</TH></TR></THEAD></TABLE><P>end</P>",
              Render(Page(L"<TABLE DATASRC=#news><THEAD><TR><TH>h</TH></TR></THEAD><TR><TD DATAFLD=A></TD></TR></TABLE>"),
                     table))
        << "no records: only the head";
}

TEST(PageTemplate, FieldsAreFilledAsHtmlOrAsEscapedText) {
    FakeTable table;
    table.rows = 1;
    table.cells = {{L"H1", L"<SPAN CLASS=newstory>Tom &amp; Jerry</SPAN>"}, {L"A1", L"1 < 2 & \"3\""},
                   {L"ICON1", L"res://C:\\kvdc.dll/#17"}, {L"B1", L"http://x/a.htm?b=1&c=\"2\""}};
    std::wstring out = Render(Page(L"<TABLE DATASRC=#news><TR>"
                                   L"<TD><SPAN DATAFLD=H DATAFORMATAS=HTML>old <B>content</B></SPAN></TD>"
                                   L"<TD><DIV DATAFLD=A>old</DIV></TD>"
                                   L"<TD><DIV DATAFLD=H DATAFORMATAS=text>old</DIV></TD>"
                                   L"<TD><IMG DATAFLD=ICON SRC=\"old.gif\" WIDTH=16></TD>"
                                   L"<TD><A DATAFLD=B HREF=old.htm><I>link</I></A></TD>"
                                   L"</TR></TABLE>"),
                              table);
    EXPECT_NE(std::wstring::npos, out.find(L"<SPAN><SPAN CLASS=newstory>Tom &amp; Jerry</SPAN></SPAN>")) << "HTML as HTML";
    EXPECT_NE(std::wstring::npos, out.find(L"<DIV>1 &lt; 2 &amp; &quot;3&quot;</DIV>")) << "text escaped";
    EXPECT_NE(std::wstring::npos, out.find(L"<DIV>&lt;SPAN CLASS=newstory&gt;")) << "only DATAFORMATAS=html inserts HTML";
    EXPECT_NE(std::wstring::npos, out.find(L"<IMG SRC=\"res://C:\\kvdc.dll/#17\" WIDTH=\"16\">")) << "an IMG gets its SRC";
    EXPECT_NE(std::wstring::npos, out.find(L"<A HREF=\"http://x/a.htm?b=1&amp;c=&quot;2&quot;\"><I>link</I></A>"))
        << "an A gets its HREF and keeps its content";
    EXPECT_EQ(std::wstring::npos, out.find(L"old"));
    EXPECT_EQ((std::vector<std::wstring>{L"H1 html", L"A1 text", L"H1 text", L"ICON1 attr", L"B1 attr"}), table.reads);
}

TEST(PageTemplate, AttributesAreReadQuotedUnquotedAndInAnyCase) {
    const wchar_t page[] =
        L"<html><object id='n1' classid=CLSID:60fb349e-0cd8-11d1-9d7b-00c0f018612c>\n"
        L"<param name=\"Sort\" value=\"TITLE > 'x'\"><Param Name=Embellish Value=7>\n"
        L"<PARAM NAME='Filter' VALUE=\"a &amp; b &#65;\"><PARAM NAME=AutoReset VALUE></object>\n"
        L"<table border datasrc = \"#N1\"><tr><td><span datafld='a' dataformatas=Html /></td></tr></table></html>";
    auto control = FindBoundControl(page);
    EXPECT_EQ(L"n1", control.id);
    EXPECT_EQ(1, control.line);
    using P = std::pair<std::wstring, std::wstring>;
    EXPECT_EQ((std::vector<P>{{L"Sort", L"TITLE > 'x'"}, {L"Embellish", L"7"}, {L"Filter", L"a & b A"}, {L"AutoReset", L""}}),
              control.params);
    FakeTable table;
    table.rows = 1;
    std::wstring out = Render(page, table);
    EXPECT_NE(std::wstring::npos, out.find(L"<table border><tr><td><span>a1</span></td></tr></table>")) << out;
    EXPECT_EQ((std::vector<std::wstring>{L"a1 html"}), table.reads);
}

TEST(PageTemplate, ScriptsAndTheControlAreLeftOutAndTheRestIsKept) {
    FakeTable table;
    table.rows = 1;
    std::wstring out = Render(L"<!-- <TABLE DATASRC=#news> in a comment --><SCRIPT FOR=news EVENT=OnFilter(s)>"
                              L"if (a < b && \"</TD>\") x();</SCRIPT><STYLE>.story { color: red }</STYLE>"
                              L"<OBJECT ID=other CLASSID=\"clsid:00000000-0000-0000-0000-000000000001\"></OBJECT>" +
                                  std::wstring(kControl) + L"a < b <TABLE DATASRC=#news><TR><TD DATAFLD=A></TD></TR></TABLE>",
                              table);
    EXPECT_EQ(L"<!-- <TABLE DATASRC=#news> in a comment --><STYLE>.story { color: red }</STYLE>"
              L"<OBJECT ID=other CLASSID=\"clsid:00000000-0000-0000-0000-000000000001\"></OBJECT>"
              L"a < b <TABLE><TR><TD>A1</TD></TR></TABLE>",
              out);
}

TEST(PageTemplate, AFieldNamingNoColumnIsLeftEmptyWithOneWarning) {
    FakeTable table;
    std::vector<std::wstring> warnings;
    std::wstring out = Render(Page(L"<TABLE DATASRC=#news><TR><TD DATAFLD=NOPE>x</TD></TR></TABLE>"), table, &warnings);
    EXPECT_NE(std::wstring::npos, out.find(L"<TR><TD></TD></TR><TR><TD></TD></TR>"));
    ASSERT_EQ(1u, warnings.size());
    EXPECT_NE(std::wstring::npos, warnings[0].find(L"NOPE"));
}

TEST(PageTemplate, BadPagesAreClearErrors) {
    struct Case {
        std::wstring page;
        const char* message;  // a part of the error's text
    } cases[] = {
        {L"<P>nothing bound</P>", "no data-bound table"},
        {Page(L"<TABLE DATASRC=\"#missing\"><TR><TD DATAFLD=A></TD></TR></TABLE>"), "names no OBJECT"},
        {Page(L"<TABLE DATASRC=\"news\"><TR></TR></TABLE>"), "does not name an element"},
        {L"<OBJECT ID=x CLASSID=\"clsid:00000000-0000-0000-0000-000000000001\"></OBJECT>"
         L"<TABLE DATASRC=#x><TR></TR></TABLE>",
         "is not the story control"},
        {Page(L"<TABLE DATASRC=#news><TR><TD DATAFLD=A></TD></TR>"), "has no </TABLE>"},
        {Page(L"<TABLE DATASRC=#news><TR><TD><SPAN DATAFLD=A>x</TD></TR></TABLE>"), "has no </SPAN> inside its table"},
        {Page(L"<TABLE DATASRC=#news><TR><TD DATAFLD=A></TD></TR></TABLE>\n<P CLASS=\"x>"), "line 2: the quoted value of CLASS"},
        {std::wstring(kControl) + L"<TABLE DATASRC=#news><TR><TD DATAFLD=A></TD></TR></TABLE>\n\n<IMG SRC=a.gif",
         "line 3: the tag <IMG> never ends"},
        {Page(L"<TABLE DATASRC=#news><TR><TD DATAFLD=A></TD></TR></TABLE><IMG SRC=a.gif"), "a new tag starts inside it"},
        {Page(L"<TABLE DATASRC=#news\n<TR><TD DATAFLD=A></TD></TR></TABLE>"), "a new tag starts inside it"},
        {Page(L"<!-- open comment <TABLE DATASRC=#news></TABLE>"), "comment that never ends"},
        {Page(L"<SCRIPT>var t = '<TABLE DATASRC=#news></TABLE>';"), "never ends (no </SCRIPT>)"},
        {L"<OBJECT ID=news CLASSID=\"clsid:60FB349E-0CD8-11D1-9D7B-00C0F018612C\"><TABLE DATASRC=#news></TABLE>",
         "has no </OBJECT>"},
        {std::wstring(kControl) + L"<OBJECT ID=two CLASSID=\"clsid:60FB349E-0CD8-11D1-9D7B-00C0F018612C\"></OBJECT>"
                                  L"<TABLE DATASRC=#news></TABLE><TABLE DATASRC=#two></TABLE>",
         "more than one control"},
        {Page(L"<TABLE DATASRC=#news><TR><TD><TABLE DATASRC=#news></TABLE></TD></TR></TABLE>"), "inside another one"},
    };
    for (const auto& c : cases) {
        FakeTable table;
        try {
            Render(c.page, table);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const PageError& e) {
            EXPECT_NE(std::string::npos, std::string(e.what()).find(c.message)) << e.what();
        }
    }
}

}  // namespace
