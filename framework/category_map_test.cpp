#include "framework/category_map.h"

#include <gtest/gtest.h>

namespace {

TEST(CategoryMap, MapsTheLastSegmentsFirstWordToItsFolder) {
    kv::CategoryMap map(GetModuleHandleW(nullptr));
    struct Case {
        const wchar_t* path;
        const wchar_t* folder;
    } cases[] = {
        {L"Business/Stock Quotes", L"Business"},
        {L"News/Local;Computing/Software", L"News and Technology"},
        {L"Dadivov", L""},                       // the unnamed group: top level
        {L"Gardening/Roses", L""},                // not listed: the default
        {L"", L""},
        {L"Sports;", L"Sports"},                  // an empty last segment is passed over
        {L"Arts;;", L"Entertainment"},
        {L"Business", L"Business"},               // listed in group 2 after "Business" is a group
        {L"Science & Technology/Space", L"News and Technology"},
        {L"travel", L""},                         // exact match only
        {L"Sports/Ball;Lifestyle", L"Lifestyle and Travel"},
    };
    for (const auto& c : cases) EXPECT_EQ(map.Lookup(c.path), c.folder) << c.path;
    EXPECT_EQ(map.DefaultFolder(), L"");
}

}  // namespace
