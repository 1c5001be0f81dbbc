#include <gtest/gtest.h>

#include "client_control.h"
#include "framework/client_boundary.h"
#include "kvcdf/channel_properties.h"
#include "kvcdf/client_channel_source.h"
#include "kvcdf/publisher.h"

namespace {

using kv::Variant;
using kv::cdf::ChannelProperties;

// GetValues' answer: [ids, values] with the given ids and values (as texts).
Variant Answer(std::vector<LONG> ids, std::vector<std::wstring> values) {
    auto idArray = kv::SafeArray::Vector(VT_I4, static_cast<ULONG>(ids.size()));
    for (LONG i = 0; i < static_cast<LONG>(ids.size()); ++i) SafeArrayPutElement(idArray.get(), &i, &ids[i]);
    auto valueArray = kv::SafeArray::Vector(VT_VARIANT, static_cast<ULONG>(values.size()));
    for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i)
        SafeArrayPutElement(valueArray.get(), &i, Variant::String(values[i]).get());
    auto pair = kv::SafeArray::Vector(VT_VARIANT, 2);
    Variant first, second;
    first->vt = VT_ARRAY | VT_I4;
    first->parray = idArray.Detach();
    second->vt = VT_ARRAY | VT_VARIANT;
    second->parray = valueArray.Detach();
    LONG i = 0;
    SafeArrayPutElement(pair.get(), &i, first.get());
    i = 1;
    SafeArrayPutElement(pair.get(), &i, second.get());
    Variant answer;
    answer->vt = VT_ARRAY | VT_VARIANT;
    answer->parray = pair.Detach();
    return answer;
}

TEST(ChannelProperties, ReadsNoMoreEntriesThanTheArraysHold) {
    struct Case {
        LONG count;
        std::vector<LONG> ids;
        std::vector<std::wstring> values;
        std::wstring title, abstract;
    } cases[] = {
        {2, {1, 7}, {L"News", L"Daily"}, L"News", L"Daily"},
        {9, {1, 7}, {L"News", L"Daily"}, L"News", L"Daily"},  // count beyond both arrays
        {2, {1, 7}, {L"News"}, L"News", L""},                 // fewer values than ids
        {1, {1, 7}, {L"News", L"Daily"}, L"News", L""},       // the count limits too
        {-3, {1}, {L"News"}, L"", L""},
    };
    for (const auto& c : cases) {
        ChannelProperties p(c.count, *Answer(c.ids, c.values).get());
        EXPECT_EQ(p.Text(1), c.title) << c.count;
        EXPECT_EQ(p.Text(7), c.abstract) << c.count;
        EXPECT_EQ(p.Get(42).vt(), VT_EMPTY);
    }
    EXPECT_THROW(ChannelProperties(1, *Variant::String(L"not an array").get()), kv::HResultError);
}

TEST(ChannelProperties, FlagAndTextConvertTheClientsValues) {
    ChannelProperties p(3, *Answer({3, 7, 8}, {L"1", L"12", L"Business/Stock Quotes"}).get());
    EXPECT_TRUE(p.Flag(3));
    EXPECT_FALSE(p.Flag(4));
    EXPECT_EQ(p.Text(8), L"Business/Stock Quotes");
}

// The client stand-in (in-process, registered in the test prefix) with two channels.
class ClientSource : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(kv::CreateClientObject(L"Korvane", IID_IClientApp, reinterpret_cast<void**>(app.GetAddressOf())));
        ASSERT_HRESULT_SUCCEEDED(app.As(&control));
        control->Clear();
        control->SetClientFolder(kv::Bstr(L"C:\\Program Files\\Korvane\\Korvane\\data\\").get());
        control->PutChannel(5, kv::Bstr(L"News").get(), kv::Bstr(L"C:\\Channels\\News").get(), 0, 0, 0, kv::Bstr(L"news").get());
        control->PutChannel(6, kv::Bstr(L"Hidden").get(), kv::Bstr(L"C:\\Channels\\Hidden").get(), 0x400, 0, 0, nullptr);
        control->PutChannel(7, kv::Bstr(L"Sports").get(), kv::Bstr(L"C:\\Channels\\Sports").get(), 0x1000, 0, 0, nullptr);
    }
    void TearDown() override {
        if (control) control->Clear();
    }
    kv::ComPtr<IClientApp> app;
    kv::ComPtr<IClientControl> control;
};

TEST_F(ClientSource, SeesTheClientsChannelsWithoutHiddenOnes) {
    kv::cdf::ClientChannelSource source(GetModuleHandleW(nullptr), app.Get());
    EXPECT_EQ(source.ClientFolder(), L"C:\\Program Files\\Korvane\\Korvane\\data\\");
    EXPECT_EQ(source.CdfRoot(), L"C:\\Program Files\\Korvane\\Korvane\\CDF\\");

    struct Case {
        const wchar_t* name;
        bool has;
    } cases[] = {{L"News", true}, {L"news", true}, {L"Hidden", false}, {L"Nobody", false}, {L"", false}};
    for (const auto& c : cases) EXPECT_EQ(source.HasChannel(c.name), c.has) << c.name;
    EXPECT_THROW(source.GetChannel(L"Nobody"), kv::HResultError);

    std::vector<std::wstring> names;
    EXPECT_TRUE(source.Enumerate([&](IClientChannel2* channel) {
        kv::Bstr name;
        channel->GetName(name.put());
        names.push_back(name.str());
        return true;
    }));
    EXPECT_EQ(names, (std::vector<std::wstring>{L"News", L"Sports"}));
    EXPECT_FALSE(source.Enumerate([](IClientChannel2*) { return false; }));
}

TEST(CdfRoot, ReplacesTheLastFolderOfTheClientFolder) {
    struct Case {
        const wchar_t* client;
        const wchar_t* root;
    } cases[] = {
        {L"C:\\K\\data", L"C:\\K\\CDF\\"},
        {L"C:\\K\\data\\\\", L"C:\\K\\CDF\\"},
        {L"C:\\data", L"C:\\CDF\\"},
        {L"data", L"CDF\\"},  // not absolute: the publisher refuses it
    };
    for (const auto& c : cases) EXPECT_EQ(kv::cdf::CdfRootFor(c.client, L"CDF"), c.root) << c.client;
}

}  // namespace

namespace {

TEST(PublisherPaths, FoldersTitlesAndFileUrls) {
    struct Case {
        const wchar_t* text;
        bool absoluteFolder, plainTitle;
    } cases[] = {
        {L"C:\\Channels\\News", true, false},
        {L"\\\\server\\share\\News", true, false},
        {L"\\", false, false},
        {L"", false, false},
        {L"Channels\\News", false, true},
        {L"News & Weather", false, true},
        {L"..\\x", false, false},
        {L"Business\\..", false, false},
        {L"a\\\\b", false, false},
        {L"x:y", false, false},
        {L"\\\\?\\C:\\x", false, false},
        {L"CON", false, false},
        {L"Business\\lpt1.txt", false, false},
        {L"CON .News", false, false},
        {L"COM0", false, true},
        {L"CONSOLE.News", false, true},
        {L"News.CON", false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kv::cdf::IsAbsoluteFolder(c.text), c.absoluteFolder) << c.text;
        EXPECT_EQ(kv::cdf::IsPlainTitle(c.text), c.plainTitle) << c.text;
    }
    // Distinct names, and which titles they stand for.
    struct Numbered {
        const wchar_t* name;
        const wchar_t* second;
        const wchar_t* notItsName;
    } numbered[] = {
        {L"News", L"News (2)", L"News (2) (2)"},
        {L"News (2)", L"News (2) (2)", L"News"},
        {L"CON.News", L"CON (2).News", L"CON.News (2)"},
        {L"aux", L"aux (2)", L"aux (1)"},
    };
    for (const auto& c : numbered) {
        EXPECT_EQ(kv::cdf::NumberedComponent(c.name, 2), c.second) << c.name;
        EXPECT_TRUE(kv::cdf::IsPublishableComponent(c.name)) << c.name;
        EXPECT_TRUE(kv::cdf::IsNameOf(c.name, c.name)) << c.name;
        EXPECT_TRUE(kv::cdf::IsNameOf(kv::cdf::NumberedComponent(c.name, 7), c.name)) << c.name;
        EXPECT_FALSE(kv::cdf::IsNameOf(c.notItsName, c.name)) << c.name;
    }
    // What a file name cannot hold takes a stand-in; only an empty name has no title at all.
    EXPECT_TRUE(kv::cdf::IsPublishableComponent(L"a/b"));
    EXPECT_TRUE(kv::cdf::IsNameOf(L"a_b", L"a/b"));

    // A path the short-name call cannot answer keeps its whole length: it is never cut.
    std::wstring longPath = L"C:\\no such folder\\" + std::wstring(300, L'n') + L"\\";
    EXPECT_EQ(kv::cdf::FileUrl(longPath), L"file://" + longPath);
}

}  // namespace
