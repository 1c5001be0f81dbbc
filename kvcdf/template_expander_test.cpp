#include "kvcdf/template_expander.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using kv::cdf::TemplateExpander;
using kv::cdf::TemplateValues;

std::shared_ptr<TemplateValues> Values() {
    auto v = std::make_shared<TemplateValues>();
    v->Set(L"TITLE", L"News");
    v->Set(L"ABSTRACT", L"All of it");
    v->Set(L"BASE_URL", kv::cdf::XmlEscape(L"file://C:\\Chan & Co\\"));
    v->Set(L"STORY_LIST", L" HREF=\"file://C:\\N\\Channel.htm\" ");
    v->Set(L"ESCAPED", kv::cdf::XmlEscape(L"News & Weather <\"today\"> 'live'"));
    v->Set(L"title", L"never read: names are read in upper case");
    return v;
}

TEST(TemplateExpander, ReplacesPlaceholdersAndKeepsEverythingElse) {
    struct Case {
        const char* text;
        const char* expanded;
    } cases[] = {
        {"", ""},
        {"<T>%TITLE%</T>", "<T>News</T>"},
        {"%title%|%Title%|%tItLe%", "News|News|News"},     // names are matched in upper case
        {"%TITLE %", "%TITLE %"},                            // white space ends a name: plain text
        {"%TI\tTLE%", "%TI\tTLE%"},
        {"%TITLE %|%", "%TITLE "},                           // ... and the next "%" opens one ("|")
        {"% TITLE%", "% TITLE%"},
        {"100%% sure", "100%% sure"},                        // empty name: plain text
        {"%%TITLE%", "%News"},                               // the second sign starts a name
        {"[%UNKNOWN%]", "[]"},                               // no value: nothing
        {"a %TITLE", "a %TITLE"},                            // no closing sign before the end
        {"%TITLE%,%ABSTRACT%", "News,All of it"},            // one byte between two placeholders
        {"%TITLE%%ABSTRACT%!", "NewsAll of it!"},
        {"%", "%"},
        {"x%TITLE%\n%y", "xNews\n%y"},
        {"<A%STORY_LIST%>", "<A HREF=\"file://C:\\N\\Channel.htm\" >"},  // markup kept as it is
        {"<B>%BASE_URL%</B>", "<B>file://C:\\Chan &amp; Co\\</B>"},
        {"%ESCAPED%", "News &amp; Weather &lt;&quot;today&quot;&gt; &apos;live&apos;"},
    };
    TemplateExpander expander(Values());
    for (const auto& c : cases) {
        EXPECT_EQ(expander.ExpandText(c.text), c.expanded) << c.text;
        // Expanding again with the values already cached gives the same text.
        EXPECT_EQ(expander.ExpandText(c.text), c.expanded) << c.text;
    }
}

TEST(TemplateExpander, PieceByPieceOutputIsTheWholeText) {
    TemplateExpander expander(Values());
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "<i n=\"" + std::to_string(i) + "\">%TITLE%</i>%unknown% %";
    std::string pieces;
    int calls = 0;
    expander.ExpandText(text, [&](std::string_view piece) {
        EXPECT_FALSE(piece.empty());
        pieces.append(piece);
        ++calls;
    });
    EXPECT_EQ(pieces, expander.ExpandText(text));
    EXPECT_EQ(std::count(pieces.begin(), pieces.end(), '%'), 1000);  // only the plain signs remain
    EXPECT_GE(calls, 2000);
}

TEST(TemplateExpander, EscapingKeepsTheChannelFileWellFormed) {
    struct Case {
        std::wstring text, escaped;
    } cases[] = {
        {L"a\x01" L"b\x1F" L"c\x7F", L"ab" L"c\x7F"},          // C0 controls go, DEL may stay
        {L"tab\tlf\ncr\r", L"tab\tlf\ncr\r"},                   // the three allowed ones stay
        {L"x\xFFFE" L"y\xFFFF" L"z", L"xyz"},
        {L"\xD83D\xDE00!", L"\xD83D\xDE00!"},                     // a whole surrogate pair stays
        {L"\xD83D!\xDE00", L"!"},                                  // halves alone go
        {std::wstring(L"nul\0in", 6), L"nulin"},
    };
    for (const auto& c : cases) EXPECT_EQ(kv::cdf::XmlEscape(c.text), c.escaped);
}

}  // namespace
