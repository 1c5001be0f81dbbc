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

TEST(ShortcutName, TitlesTakeStandInsForWhatNoFileNameHolds) {
    const std::wstring cutAtBlank = std::wstring(kMaxTitle - 1, L'x') + L" yz";
    const std::wstring cutInPair = std::wstring(kMaxTitle - 1, L'a') + L"\U0001F600";
    struct Case {
        std::wstring title, stored;
    } cases[] = {
        {L"AC/DC", L"AC_DC"},
        {L"What?", L"What_"},
        {L"a\\b", L"a_b"},
        {L"x:y", L"x_y"},
        {L"<b>", L"_b_"},
        {L"\"q\"", L"_q_"},
        {L"a|b", L"a_b"},
        {L"*", L"_"},
        {L"tab\there", L"tab_here"},
        {L"...", L"___"},
        {L" . ", L"___"},
        {L"What?. ", L"What_"},
        {std::wstring(300, L'L'), std::wstring(kMaxTitle, L'L')},
        {cutAtBlank, std::wstring(kMaxTitle - 1, L'x')},
        {cutInPair, std::wstring(kMaxTitle - 1, L'a')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StoredTitle(c.title), c.stored) << c.title;
        EXPECT_TRUE(SameStoredName(StoredName(c.stored), StoredTitle(c.title))) << c.title;
    }
    // A path keeps its separators and stores each component: a category stays a folder, and a
    // full path keeps its drive.
    EXPECT_EQ(StoredName(L"Business\\AC/DC."), L"Business\\AC_DC");
    EXPECT_TRUE(SameStoredName(L"business\\ac_dc", L"Business\\AC/DC"));
    EXPECT_EQ(StoredName(L"C:\\Users\\x?"), L"C:\\Users\\x_");
    EXPECT_FALSE(SameStoredName(L"a\\b", L"a_b")) << "a path of two, a title of one";
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
