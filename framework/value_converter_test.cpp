#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "framework/test_fakes.h"
#include "framework/value_converter.h"

namespace {

using kv::Conversion;
using kv::MakeObject;
using kv::Variant;
using kv::testing::FakeResolver;

HRESULT ConvertHr(const kv::ValueConverter& c, const wchar_t* name, const VARIANT& value, Variant* out = nullptr) {
    try {
        Variant v = c.Convert(name, value);
        if (out) *out = std::move(v);
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }
}

TEST(ConversionRule, ChosenByNameFirstMatchWins) {
    struct Case {
        const wchar_t* name;
        Conversion rule;
    } cases[] = {
        {L"MESSAGE_LIFESPAN", Conversion::Integer}, {L"READ", Conversion::Boolean},
        {L"KEEP", Conversion::Boolean},             {L"STORY_LOCAL", Conversion::Boolean},
        {L"ID", Conversion::Unchanged},             {L"ED", Conversion::Unchanged},
        {L"URL", Conversion::Url},                  {L"XED", Conversion::Unchanged},
        {L"A_ID", Conversion::Integer},             {L"SEED", Conversion::Boolean},
        {L"MYURL", Conversion::Url},                {L"TEXT", Conversion::Unchanged},
        {L"TITLE", Conversion::Unchanged},          {L"FILE_SIZE", Conversion::Integer},
        {L"PARCEL_TYPE", Conversion::Integer},      {L"EXPIRY_TIME", Conversion::Date},
        {L"HAS_AUDIO", Conversion::Boolean},        {L"PARENT_ID", Conversion::Integer},
        {L"ALERTED", Conversion::Boolean},          {L"LINK_URL_TEXT", Conversion::Url},
        {L"HAS_SIZE", Conversion::Integer},         // _SIZE is tried before HAS_
        {L"CREATED_TIME", Conversion::Date},        // _TIME before ...ED
        {L"ABSTRACT", Conversion::Unchanged},       {L"URL_ID", Conversion::Integer},
        {L"_SIZE", Conversion::Unchanged},          // five characters: the short rules apply
    };
    for (const auto& c : cases) EXPECT_EQ(c.rule, kv::ConversionFor(c.name)) << testing::PrintToString(std::wstring(c.name));
}

TEST(ValueConverter, ConvertsOrFailsWithTheConversionsError) {
    auto conv = MakeObject<kv::ValueConverter>(nullptr);
    struct Case {
        const wchar_t* name;
        const wchar_t* value;
        HRESULT hr;
        VARTYPE vt;
    } cases[] = {
        {L"FILE_SIZE", L"2048", S_OK, VT_I4},
        {L"FILE_SIZE", L"big", DISP_E_TYPEMISMATCH, VT_EMPTY},
        {L"FILE_SIZE", L"99999999999", DISP_E_OVERFLOW, VT_EMPTY},
        {L"MESSAGE_LIFESPAN", L"", DISP_E_TYPEMISMATCH, VT_EMPTY},
        {L"READ", L"True", S_OK, VT_BOOL},
        {L"READ", L"0", S_OK, VT_BOOL},
        {L"READ", L"perhaps", DISP_E_TYPEMISMATCH, VT_EMPTY},
        {L"POSTED_TIME", L"-1", E_FAIL, VT_EMPTY},
        {L"POSTED_TIME", L"4294967296", DISP_E_OVERFLOW, VT_EMPTY},
        {L"POSTED_TIME", L"soon", DISP_E_TYPEMISMATCH, VT_EMPTY},
        {L"POSTED_TIME", L"0", S_OK, VT_DATE},
        {L"TITLE", L"anything at all", S_OK, VT_BSTR},
    };
    for (const auto& c : cases) {
        Variant out;
        Variant in = Variant::String(c.value);
        EXPECT_EQ(c.hr, ConvertHr(*conv.Get(), c.name, *in.get(), &out)) << testing::PrintToString(std::wstring(c.name)) << " " << testing::PrintToString(std::wstring(c.value));
        if (c.hr == S_OK) { EXPECT_EQ(c.vt, out.vt()); }
    }
    Variant out;
    Variant in = Variant::String(L"2048");
    ASSERT_EQ(S_OK, ConvertHr(*conv.Get(), L"FILE_SIZE", *in.get(), &out));
    EXPECT_EQ(2048, out->lVal);
    in = Variant::String(L"True");
    ASSERT_EQ(S_OK, ConvertHr(*conv.Get(), L"READ", *in.get(), &out));
    EXPECT_EQ(VARIANT_TRUE, out->boolVal);
}

// The same instant as the system converts it to local time and to an automation date.
double SystemLocalDate(LONG seconds) {
    ULONGLONG ticks = (static_cast<ULONGLONG>(seconds) + 11644473600ULL) * 10000000ULL;
    FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc, local;
    FileTimeToSystemTime(&ft, &utc);
    SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    double date = 0;
    SystemTimeToVariantTime(&local, &date);
    return date;
}

TEST(ValueConverter, DatesAreTheLocalTimeOfTheInstant) {
    // Winter and summer instants, 29 February of a leap year, and the last second a 32-bit
    // count can name (2038-01-19 03:14:07 UTC).
    for (LONG seconds : {0L, 962409600L, 951825600L, 1700000000L, 2147483647L})
        EXPECT_NEAR(SystemLocalDate(seconds), kv::LocalDateFromUnixSeconds(seconds), 1e-6) << seconds;
    // Under a zone five hours west, 1970-01-01 00:00 UTC is 19:00 on the last day of 1969.
    _putenv("TZ=EST5");
    _tzset();
    EXPECT_NEAR(25568.0 + 19.0 / 24.0, kv::LocalDateFromUnixSeconds(0), 1e-9);
    EXPECT_NEAR(36585.0 + 7.0 / 24.0, kv::LocalDateFromUnixSeconds(951825600), 1e-9);
    _putenv("TZ=");
    _tzset();
}

class UrlRule : public testing::Test {
protected:
    void SetUp() override {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        existing_ = std::string(dir) + "kv_urlrule_story.htm";
        std::ofstream(existing_) << "x";
        resolver_ = MakeObject<FakeResolver>();
        conv_ = MakeObject<kv::ValueConverter>(resolver_);
    }
    void TearDown() override { DeleteFileA(existing_.c_str()); }

    std::wstring Existing() const { return std::wstring(existing_.begin(), existing_.end()); }
    HRESULT Convert(const wchar_t* text, Variant* out) {
        Variant in = Variant::String(text);
        return ConvertHr(*conv_.Get(), L"URL", *in.get(), out);
    }

    std::string existing_;
    kv::ComPtr<FakeResolver> resolver_;
    kv::ComPtr<kv::ValueConverter> conv_;
};

TEST_F(UrlRule, MappedExistingFileBecomesFileAddressOtherwiseTextIsKept) {
    resolver_->paths[L"news/a.htm"] = Existing();
    resolver_->paths[L"news/gone.htm"] = L"C:\\no\\such\\folder\\gone.htm";
    struct Case {
        const wchar_t* value;
        VARTYPE vt;
        std::wstring text;
    } cases[] = {
        {L"\"news/a.htm\"", VT_BSTR, L"file://" + Existing()},
        {L"news/a.htm", VT_BSTR, L"file://" + Existing()},
        {L"\"news/gone.htm\"", VT_BSTR, L"news/gone.htm"},
        {L"http://www.example.com/", VT_BSTR, L"http://www.example.com/"},
        {L"\"", VT_EMPTY, L""},
        {L"\"\"", VT_EMPTY, L""},
        {L"", VT_EMPTY, L""},
        {L"\"half", VT_BSTR, L"half"},
    };
    for (const auto& c : cases) {
        Variant out;
        ASSERT_EQ(S_OK, Convert(c.value, &out)) << testing::PrintToString(std::wstring(c.value));
        EXPECT_EQ(c.vt, out.vt()) << testing::PrintToString(std::wstring(c.value));
        if (c.vt == VT_BSTR) { EXPECT_EQ(c.text, std::wstring(out->bstrVal)) << testing::PrintToString(std::wstring(c.value)); }
    }
    // Empty texts are never sent to the client.
    for (const auto& asked : resolver_->asked) EXPECT_FALSE(asked.empty());
}

TEST_F(UrlRule, AnAddressTheClientCannotMapKeepsItsTextAndNonStringValuesFail) {
    Variant out;
    resolver_->failure = RPC_E_DISCONNECTED;
    ASSERT_EQ(S_OK, Convert(L"\"news/a.htm\"", &out));
    ASSERT_EQ(VT_BSTR, out.vt());
    EXPECT_EQ(L"news/a.htm", std::wstring(out->bstrVal));
    Variant number = Variant::I4(3);
    EXPECT_EQ(E_INVALIDARG, ConvertHr(*conv_.Get(), L"URL", *number.get(), &out));
}

TEST_F(UrlRule, LongMappedPathsAreHandledWhole) {
    std::wstring longPath = L"C:\\" + std::wstring(5000, L'x') + L".htm";
    resolver_->paths[L"long"] = longPath;
    Variant out;
    ASSERT_EQ(S_OK, Convert(L"long", &out));
    EXPECT_EQ(L"long", std::wstring(out->bstrVal));
}

}  // namespace
