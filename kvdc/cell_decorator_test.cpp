#include <gtest/gtest.h>

#include "framework/data_provider.h"
#include "framework/test_fakes.h"
#include "kvdc/cell_decorator.h"
#include "kvdc/story_columns.h"

namespace {

using kv::ComPtr;
using kv::MakeObject;
using kv::Variant;

TEST(SizeFormat, BytesKilobytesAndMegabytes) {
    const auto& units = kv::GetSizeUnits();
    struct Case {
        LONG n;
        const wchar_t* text;
    } cases[] = {
        {0, L"0 Bytes"},         {2047, L"2047 Bytes"},   {2048, L"2 KB"},        {2000000, L"1953 KB"},
        {1048576, L"1024 KB"},   {2097151, L"2047 KB"},   {2097152, L"2 MB"},     {3000000, L"2 MB"},
        {2147483647, L"2047 MB"}, {-5, L"-5 Bytes"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, kv::FormatSize(c.n, units)) << c.n;
}

// A story table read through the provider in the HTML format, as a page's bound table reads it.
class Decoration : public testing::Test {
protected:
    void SetUp() override {
        table_ = kv::MakeStoryRecordSet(MakeObject<kv::testing::FakeChannel>(), nullptr);
        provider_.SetTable(table_, kv::CreateCellDecorator(table_));
        provider_.ResetReadTracker();
    }
    void Set(const wchar_t* name, const std::wstring& value) {
        table_->SetProperty(1, name, *Variant::String(value).get());
    }
    std::wstring Html(const wchar_t* column, long embellish, OSPFORMAT format = OSPFORMAT_HTML) {
        provider_.SetEmbellish(embellish);
        Variant v;
        HRESULT hr = provider_.getVariant(1, table_->Columns().Find(column) + 1, format, v.put());
        if (FAILED(hr)) return L"error " + std::to_wstring(hr);
        return v.vt() == VT_BSTR ? std::wstring(v->bstrVal) : L"<not text>";
    }

    ComPtr<kv::RecordSet> table_;
    kv::DataProvider provider_;
};

TEST_F(Decoration, TextsAndSpansByEmbellishFlags) {
    Set(L"TITLE", L"Rain <b>today</b>");
    Set(L"ATTACH_SIZE", L"2097152");
    Set(L"HAS_AUDIO", L"1");
    Set(L"PRIORITY_ID", L"12");
    auto newstory = [](const std::wstring& t) { return L"<SPAN CLASS=newstory>" + t + L"</SPAN>"; };
    struct Case {
        const wchar_t* column;
        long embellish;
        std::wstring text;
    } cases[] = {
        {L"TITLE", 0, L"Rain <b>today</b>"},  // the client's markup passes through
        {L"HAS_AUDIO", 0, L"Yes"},
        {L"PRIORITY_ID", 0, L"12"},
        {L"ATTACH_SIZE", 0, L"2097152"},      // sizes only with EMBELLISH_SIZE
        {L"ATTACH_SIZE", 4, L"2 MB"},
        {L"PRIORITY_ID", 4, L"12"},           // "_ID" is no size
        {L"TITLE", 5, newstory(L"Rain <b>today</b>")},
        {L"ATTACH_SIZE", 5, newstory(L"2 MB")},
        {L"HAS_AUDIO", 1, newstory(L"Yes")},
        {L"TITLE", 2, L"Rain <b>today</b>"},  // not alerted
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, Html(c.column, c.embellish)) << c.column << " " << c.embellish;
    // The raw format is never decorated.
    Variant raw;
    provider_.SetEmbellish(7);
    ASSERT_EQ(S_OK, provider_.getVariant(1, table_->Columns().Find(L"ATTACH_SIZE") + 1, OSPFORMAT_RAW, raw.put()));
    EXPECT_EQ(VT_I4, raw.vt());
    EXPECT_EQ(L"2 MB", Html(L"ATTACH_SIZE", 4, OSPFORMAT_FORMATTED));
}

TEST_F(Decoration, ReadAndAlertedStoriesChangeTheirClass) {
    Set(L"TITLE", L"News");
    EXPECT_EQ(L"<SPAN CLASS=newstory>News</SPAN>", Html(L"TITLE", 5));
    Set(L"READ", L"true");
    EXPECT_EQ(L"<SPAN CLASS=story>News</SPAN>", Html(L"TITLE", 5));
    Set(L"READ", L"false");
    Set(L"ALERTED", L"1");
    EXPECT_EQ(L"<SPAN CLASS=alertedstory><SPAN CLASS=newstory>News</SPAN></SPAN>", Html(L"TITLE", 7));
    EXPECT_EQ(L"<SPAN CLASS=alertedstory>News</SPAN>", Html(L"TITLE", 2));
}

TEST_F(Decoration, TheIconAddressIsNeverWrapped) {
    Set(L"TEXT", L"body");
    Variant raw;
    ASSERT_EQ(S_OK, provider_.getVariant(1, 4, OSPFORMAT_RAW, raw.put()));
    for (long embellish : {0L, 1L, 5L, 7L})
        for (OSPFORMAT format : {OSPFORMAT_FORMATTED, OSPFORMAT_HTML}) {
            EXPECT_EQ(std::wstring(raw->bstrVal), Html(L"ICON", embellish, format));
        }
    EXPECT_EQ(0u, std::wstring(raw->bstrVal).find(L"res://"));
}

TEST_F(Decoration, LongAndNonAnsiTextsAreKeptWhole) {
    std::wstring title = L"\u65e5\u672c\u8a9e \u00e9t\u00e9 " + std::wstring(5000, L'x') + L" end";
    Set(L"TITLE", title);
    EXPECT_EQ(L"<SPAN CLASS=newstory>" + title + L"</SPAN>", Html(L"TITLE", 5));
}

TEST_F(Decoration, DatesAndOtherTypesBecomeTextOrFailTheRead) {
    Set(L"POSTED_TIME", L"0");
    std::wstring date = Html(L"POSTED_TIME", 0);
    EXPECT_NE(std::wstring::npos, date.find(L"19")) << date;  // a date of 1969 or 1970 in the user's format
    Set(L"NOTE", L"");
    EXPECT_EQ(L"", Html(L"NOTE", 0));
    // A column the story never had reads as empty text, wrapped like any other.
    table_->SetProperty(2, L"ONLY_TWO", *Variant::String(L"x").get());
    provider_.SetEmbellish(1);
    Variant v;
    ASSERT_EQ(S_OK, provider_.getVariant(2, table_->Columns().Find(L"ONLY_TWO") + 1, OSPFORMAT_HTML, v.put()));
    EXPECT_EQ(L"<SPAN CLASS=newstory></SPAN>", std::wstring(v->bstrVal));
    // Every column of a sorted table reads in the HTML format, the sort order's own included.
    auto order = table_->CreateSortOrder();
    order->Parse(L"ID", false);
    table_->FilterAndSort(nullptr, order.Get());
    provider_.SetEmbellish(0);
    for (long c = 1; c <= table_->ColumnCount(); ++c) {
        ASSERT_EQ(S_OK, provider_.getVariant(1, c, OSPFORMAT_HTML, v.put())) << c;
        EXPECT_EQ(VT_BSTR, v.vt()) << c;
    }
    ASSERT_EQ(S_OK, provider_.getVariant(1, 1, OSPFORMAT_HTML, v.put()));
    EXPECT_EQ(L"", std::wstring(v->bstrVal));
}

}  // namespace
