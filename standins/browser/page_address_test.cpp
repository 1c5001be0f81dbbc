// The page address a control reads from location.href, for the forms a test or the tool gives.
#include <gtest/gtest.h>

#include "platform/hresult_error.h"
#include "standins/browser/filter_condition.h"
#include "standins/browser/page_address.h"

namespace kv::browser {
namespace {

TEST(PageAddress, NormalisedAsABrowserDoes) {
    struct Case {
        const wchar_t* given;
        const wchar_t* href;
    } cases[] = {
        {L"C:\\Channels\\News\\index.htm", L"file:///C:/Channels/News/index.htm"},
        {L"C:/Channels/News/index.htm", L"file:///C:/Channels/News/index.htm"},
        {L"C:\\Channels\\News\\..\\Sport\\.\\index.htm", L"file:///C:/Channels/Sport/index.htm"},
        {L"C:\\..\\..\\index.htm", L"file:///C:/index.htm"},
        {L"C:\\My Channels\\News\\index.htm", L"file:///C:/My%20Channels/News/index.htm"},
        {L"\\\\server\\share\\a\\..\\b.htm", L"file://server/share/b.htm"},
        {L"file:///C:/a/b/../../c.htm", L"file:///C:/c.htm"},
        {L"file://C:\\Channels\\News\\..\\index.htm", L"file://C:/Channels/index.htm"},
        {L"FILE:///C:/News/./Index.HTM", L"FILE:///C:/News/Index.HTM"},
        {L"file:///C:/News/..", L"file:///C:/"},
        {L"file:///C:/News/", L"file:///C:/News/"},
        {L"http://host/a/b/../c.htm?page=../x#top", L"http://host/a/c.htm?page=../x#top"},
        {L"http://host/../../c.htm", L"http://host/c.htm"},
        {L"http://host", L"http://host"},
        {L"about:blank", L"about:blank"},
        {L"", L"about:blank"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.href, NormalizePageAddress(c.given)) << "given " << testing::PrintToString(std::wstring(c.given));
}

TEST(PageAddress, RelativePathIsMadeFullAgainstTheCurrentFolder) {
    std::wstring href = NormalizePageAddress(L"pages\\..\\index.htm");
    EXPECT_EQ(0u, href.find(L"file:///")) << testing::PrintToString(href);
    EXPECT_EQ(href.size() - 10, href.find(L"/index.htm")) << testing::PrintToString(href);
    EXPECT_EQ(std::wstring::npos, href.find(L"..")) << testing::PrintToString(href);
}

TEST(FilterCondition, ParsedAndTested) {
    VARIANT size = {};
    size.vt = VT_I4;
    size.lVal = 1500;
    VARIANT title = {};
    title.vt = VT_BSTR;
    title.bstrVal = SysAllocString(L"World News today");
    VARIANT empty = {};
    struct Case {
        const wchar_t* condition;
        const VARIANT* cell;
        bool satisfied;
    } cases[] = {
        {L"SIZE>1000", &size, true},        {L"SIZE > 1500", &size, false},   {L"SIZE>=1500", &size, true},
        {L"SIZE<=999", &size, false},       {L"SIZE=1500.0", &size, true},    {L"SIZE!=1500", &size, false},
        {L"SIZE<>7", &size, true},          {L"SIZE<9", &size, false},        {L"TITLE~news", &title, true},
        {L"TITLE~sport", &title, false},    {L"TITLE=world news TODAY", &title, true},
        {L"TITLE>World", &title, true},     {L"READ=", &empty, true},         {L"READ==0", &empty, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.satisfied, Satisfies(ParseFilterCondition(c.condition), *c.cell))
            << testing::PrintToString(std::wstring(c.condition));
    VariantClear(&title);

    for (const wchar_t* bad : {L"TITLE", L"=5", L"SIZE!5", L""}) {
        try {
            ParseFilterCondition(bad);
            ADD_FAILURE() << "accepted " << testing::PrintToString(std::wstring(bad));
        } catch (const HResultError& e) {
            EXPECT_EQ(E_INVALIDARG, e.Code());
        }
    }
}

}  // namespace
}  // namespace kv::browser
