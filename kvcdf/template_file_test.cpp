#include <gtest/gtest.h>

#include "kvcdf/files_test_util.h"
#include "kvcdf/template_expander.h"
#include "platform/text.h"

namespace {

using kv::cdf::TemplateExpander;
using namespace kv::test;

TemplateExpander Expander() {
    auto v = std::make_shared<kv::cdf::TemplateValues>();
    v->Set(L"TITLE", L"News");
    return TemplateExpander(v);
}

HRESULT ExpandCode(const std::wstring& to, const std::wstring& from) {
    try {
        Expander().Expand(to, from);
        return S_OK;
    } catch (const kv::HResultError& e) {
        return e.Code();
    }
}

TEST(TemplateFiles, ExpandsIntoANewFileOrOntoItself) {
    std::wstring dir = FreshFolder(L"expand");
    WriteFileText(dir + L"t.cdf", "<T>%TITLE%</T>");
    EXPECT_EQ(ExpandCode(dir + L"out.cdf", dir + L"t.cdf"), S_OK);
    EXPECT_EQ(ReadFileText(dir + L"out.cdf"), "<T>News</T>");
    EXPECT_EQ(ReadFileText(dir + L"t.cdf"), "<T>%TITLE%</T>");

    // Onto itself, also named through its short form.
    WCHAR shortPath[MAX_PATH];
    ASSERT_GT(GetShortPathNameW((dir + L"t.cdf").c_str(), shortPath, MAX_PATH), 0u);
    EXPECT_EQ(ExpandCode(dir + L"t.cdf", shortPath), S_OK);
    EXPECT_EQ(ReadFileText(dir + L"t.cdf"), "<T>News</T>");
    EXPECT_FALSE(Exists(kv::cdf::SelfExpansionTempPath(dir + L"t.cdf")));

    WriteFileText(dir + L"empty.cdf", "");
    EXPECT_EQ(ExpandCode(dir + L"empty-out.cdf", dir + L"empty.cdf"), S_OK);
    EXPECT_TRUE(Exists(dir + L"empty-out.cdf"));
    EXPECT_EQ(ReadFileText(dir + L"empty-out.cdf"), "");
}

TEST(TemplateFiles, FailuresAreReportedAndLeaveTheOriginal) {
    std::wstring dir = FreshFolder(L"failures");
    WriteFileText(dir + L"t.cdf", "<T>%TITLE%</T>");
    // The in-place output cannot be written: a folder holds its name.
    CreateDirectoryW(kv::cdf::SelfExpansionTempPath(dir + L"t.cdf").c_str(), nullptr);
    struct Case {
        std::wstring to, from;
        HRESULT hr;
    } cases[] = {
        {dir + L"t.cdf", dir + L"t.cdf", E_INVALIDARG},
        {dir + L"out.cdf", dir + L"missing.cdf", E_INVALIDARG},
        {dir + L"no\\such\\folder\\out.cdf", dir + L"t.cdf", E_INVALIDARG},
    };
    for (const auto& c : cases) EXPECT_EQ(ExpandCode(c.to, c.from), c.hr) << kv::ToAnsi(c.to);
    EXPECT_EQ(ReadFileText(dir + L"t.cdf"), "<T>%TITLE%</T>");
}

TEST(TemplateFiles, ExpandsAFileOf50MegabytesAtLongPaths) {
    std::wstring dir = FreshFolder(L"large") + std::wstring(120, L'd') + L"\\" + std::wstring(120, L'e') + L"\\";
    ASSERT_TRUE(kv::CreateDirectoryTree(dir));
    std::string block(99, 'x');
    block += '\n';
    std::string text;
    text.reserve(50u << 20);
    while (text.size() < (50u << 20)) text += "%title%" + block;
    {
        kv::UniqueHandleObj f(CreateFileW(kv::ExtendedPath(dir + L"big.cdf").c_str(), GENERIC_WRITE, 0, nullptr,
                                          CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(f.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    }
    ASSERT_EQ(ExpandCode(dir + L"big.cdf", dir + L"big.cdf"), S_OK);
    kv::UniqueHandleObj f(CreateFileW(kv::ExtendedPath(dir + L"big.cdf").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    GetFileSizeEx(f.get(), &size);
    size_t placeholders = text.size() / (block.size() + 7);
    EXPECT_EQ(static_cast<size_t>(size.QuadPart), text.size() - placeholders * 3);  // "%title%" is 3 longer than "News"
    std::string head(4 + 100 + 4, '\0');
    DWORD read = 0;
    ReadFile(f.get(), head.data(), static_cast<DWORD>(head.size()), &read, nullptr);
    EXPECT_EQ(head, "News" + block + "News");
}

}  // namespace
