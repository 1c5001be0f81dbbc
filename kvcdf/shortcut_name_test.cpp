#include "kvcdf/shortcut_name.h"

#include <gtest/gtest.h>

namespace {

using namespace kv::cdf;

TEST(ShortcutName, ComparedAsTheFileSystemStoresIt) {
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        bool same;
    } cases[] = {
        {L"Acme Corp.", L"Acme Corp", true},   {L"Trailing ", L"Trailing", true},  {L"news", L"NEWS", true},
        {L"x. . .", L"X", true},               {L"Cat.\\News ", L"cat\\news", true}, {L".hidden", L"hidden", false},
        {L"News (2)", L"News", false},         {L"a b", L"ab", false},             {L"\u00e9t\u00e9", L"\u00c9T\u00c9", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SameStoredName(c.a, c.b), c.same) << c.a << " | " << c.b;
        EXPECT_FALSE(StoredNameLess{}(c.a, c.b) && StoredNameLess{}(c.b, c.a));
        EXPECT_EQ(!StoredNameLess{}(c.a, c.b) && !StoredNameLess{}(c.b, c.a), c.same) << c.a << " | " << c.b;
    }
}

TEST(ShortcutName, NumberedNamesAndWhatTheyWereMadeFrom) {
    EXPECT_EQ(NumberedName(L"News", 2), L"News (2)");
    struct Case {
        const wchar_t* name;
        const wchar_t* made_from;
    } cases[] = {
        {L"News (2)", L"News"}, {L"News (13)", L"News"}, {L"News (1)", L"News (1)"}, {L"News (02)", L"News (02)"},
        {L"News (x)", L"News (x)"}, {L"(2)", L"(2)"},    {L" (2)", L" (2)"},        {L"News(2)", L"News(2)"},
    };
    for (const auto& c : cases) EXPECT_EQ(UnnumberedName(c.name), c.made_from) << c.name;
}

}  // namespace
