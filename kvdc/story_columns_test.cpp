#include <gtest/gtest.h>

#include <set>

#include "framework/test_fakes.h"
#include "kvdc/story_columns.h"
#include "kvdc/story_resource_ids.h"
#include "platform/module_path.h"

namespace {

using kv::ComPtr;
using kv::MakeObject;
using kv::Variant;
using kv::testing::FakeChannel;

std::wstring IconAddress(int id) { return L"res://" + kv::ModulePath(kv::ThisModule()) + L"/#" + std::to_wstring(id); }

std::wstring CellText(kv::RecordSet& t, long row, const wchar_t* name) {
    Variant v;
    t.GetCell(row, t.Columns().Find(name) + 1, v.get());
    return v.vt() == VT_BSTR ? std::wstring(v->bstrVal) : L"<not text>";
}

TEST(StoryColumns, TypeAndIconFollowTheStorysCells) {
    struct Case {
        const char* what;
        long channelFlags;
        std::vector<std::pair<std::wstring, std::wstring>> props;
        const wchar_t* type;
        int icon;
    } cases[] = {
        {"story without text or parcel type", 0x1000, {{L"TITLE", L"t"}}, L"Story", 16},
        {"no URL and no text makes a parcel", 0, {{L"TITLE", L"t"}}, L"DataParcel", 23},
        {"text of one character is no text", 0, {{L"TEXT", L"x"}}, L"Story", 16},
        {"text", 0, {{L"TEXT", L"xy"}}, L"Story", 17},
        {"local content", 0x1000, {{L"STORY_LOCAL", L"1"}}, L"Story", 18},
        {"text and local content", 0, {{L"TEXT", L"body"}, {L"STORY_LOCAL", L"true"}}, L"Story", 19},
        {"kept, with text and local content", 0,
         {{L"TEXT", L"body"}, {L"STORY_LOCAL", L"true"}, {L"KEEP", L"1"}}, L"Story", 27},
        {"Flash parcel", 0, {{L"PARCEL_TYPE", L"4"}}, L"Flash", 20},
        {"wallpaper parcel", 0, {{L"PARCEL_TYPE", L"16"}}, L"Wallpaper", 21},
        {"bit 0x04 wins over 0x10", 0, {{L"PARCEL_TYPE", L"20"}}, L"Flash", 20},
        {"audio parcel", 0, {{L"PARCEL_TYPE", L"2"}}, L"Audio", 22},
        {"other parcel", 0, {{L"PARCEL_TYPE", L"1"}}, L"DataParcel", 23},
        {"no parcel type yet counts as 0", 0, {{L"TITLE", L"t"}, {L"KEEP", L"0"}}, L"DataParcel", 23},
        {"kept data parcel", 0, {{L"PARCEL_TYPE", L"0"}, {L"KEEP", L"-1"}}, L"DataParcel", 31},
        {"parcel with a URL is a story", 0, {{L"PARCEL_TYPE", L"4"}, {L"URL", L"http://x/"}}, L"Story", 16},
        {"parcel with text is a story", 0, {{L"PARCEL_TYPE", L"16"}, {L"TEXT", L"ab"}}, L"Story", 17},
        {"local parcel shows no local mark", 0, {{L"PARCEL_TYPE", L"2"}, {L"STORY_LOCAL", L"1"}}, L"Audio", 22},
        {"channel without parcels", 0x1000, {{L"TITLE", L"t"}}, L"Story", 16},
        {"channel without parcels, kept", 0x1000, {{L"KEEP", L"1"}}, L"Story", 16},
    };
    for (const auto& c : cases) {
        auto channel = MakeObject<FakeChannel>();
        channel->flags = c.channelFlags;
        auto t = kv::MakeStoryRecordSet(channel, nullptr);
        // Delivered as the client does: one property at a time, after the table is loaded.
        for (const auto& [name, value] : c.props) t->SetProperty(5, name, *Variant::String(value).get());
        EXPECT_EQ(c.type, CellText(*t.Get(), 1, L"TYPE")) << c.what;
        EXPECT_EQ(IconAddress(c.icon), CellText(*t.Get(), 1, L"ICON")) << c.what;
    }
}

TEST(StoryColumns, ElementTwoOfASnapshotIsNotDerived) {
    auto t = kv::MakeStoryRecordSet(MakeObject<FakeChannel>(), nullptr);
    kv::Variant snap = kv::testing::Snapshot({{1, L"TEXT", L"body"}}, {{2, L"TEXT", L"body"}});
    t->Load(*snap.get(), 0, nullptr);
    EXPECT_EQ(L"Story", CellText(*t.Get(), 1, L"TYPE"));
    EXPECT_EQ(IconAddress(17), CellText(*t.Get(), 1, L"ICON"));
    EXPECT_EQ(2, t->RowAt(2)->Id());
    EXPECT_EQ(L"<not text>", CellText(*t.Get(), 2, L"TYPE"));
    // Its next update derives it.
    t->SetProperty(2, L"KEEP", *Variant::String(L"1").get());
    EXPECT_EQ(IconAddress(25), CellText(*t.Get(), 2, L"ICON"));
}

TEST(StoryColumns, ASnapshotDerivesEachStoryFromAllItsCells) {
    auto t = kv::MakeStoryRecordSet(MakeObject<FakeChannel>(), nullptr);
    // Stories interleaved, and a value that cannot be converted part way through story 3.
    kv::Variant snap = kv::testing::Snapshot({{1, L"TEXT", L"body"}, {2, L"PARCEL_TYPE", L"4"}, {1, L"STORY_LOCAL", L"1"},
                                              {2, L"KEEP", L"1"}, {3, L"TEXT", L"body"}, {3, L"READ", L"perhaps"},
                                              {3, L"KEEP", L"1"}},
                                             {});
    EXPECT_THROW(t->Load(*snap.get(), 0, nullptr), kv::HResultError);
    struct Expected {
        LONG id;
        const wchar_t* type;
        int icon;
    } expected[] = {{1, L"Story", 19}, {2, L"Flash", 28}, {3, L"Story", 17}};
    for (const auto& e : expected) {
        long row = t->FindRow(e.id);
        ASSERT_NE(0, row) << e.id;
        EXPECT_EQ(e.type, CellText(*t.Get(), row, L"TYPE")) << e.id;
        EXPECT_EQ(IconAddress(e.icon), CellText(*t.Get(), row, L"ICON")) << e.id;
    }
}

TEST(StoryResources, TextsAndSixteenDistinctGifImages) {
    const auto& tables = kv::GetStoryTables();
    EXPECT_EQ(L"Story", tables.typeNames[3].str());
    EXPECT_EQ(L"DataParcel", tables.typeNames[7].str());
    std::set<std::string> pictures;
    for (int id = IDR_STORY_ICON_FIRST; id <= IDR_STORY_ICON_LAST; ++id) {
        HRSRC res = FindResourceW(kv::ThisModule(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(23));
        ASSERT_NE(nullptr, res) << id;
        DWORD size = SizeofResource(kv::ThisModule(), res);
        auto data = static_cast<const unsigned char*>(LockResource(LoadResource(kv::ThisModule(), res)));
        ASSERT_GT(size, 13u);
        EXPECT_EQ("GIF89a", std::string(reinterpret_cast<const char*>(data), 6)) << id;
        EXPECT_EQ(21, data[6] | data[7] << 8) << id;
        EXPECT_EQ(15, data[8] | data[9] << 8) << id;
        EXPECT_EQ(0x3B, data[size - 1]) << id;
        pictures.insert(std::string(reinterpret_cast<const char*>(data), size));
    }
    EXPECT_EQ(16u, pictures.size());
}

}  // namespace
