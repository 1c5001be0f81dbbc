#include <gtest/gtest.h>

#include "framework/client_boundary.h"

namespace {

TEST(PageAddress, FileAddressesGiveTheirPath) {
    struct Case {
        const wchar_t* address;
        const wchar_t* path;  // null: not a local page
    } cases[] = {
        {L"file:///C:/Channels/News/index.htm", L"C:/Channels/News/index.htm"},
        {L"file://C:/Channels/News/index.htm", L"C:/Channels/News/index.htm"},
        {L"FILE:///c:/x", L"c:/x"},
        {L"file://", L""},
        {L"file:/", nullptr},
        {L"http://server/Channels/News/index.htm", nullptr},
        {L"res://x", nullptr},
        {L"", nullptr},
    };
    for (const auto& c : cases) {
        auto path = kv::PagePathFromAddress(c.address);
        if (c.path)
            EXPECT_EQ(std::wstring(c.path), path.value_or(L"<none>")) << c.address;
        else
            EXPECT_FALSE(path.has_value()) << c.address;
    }
}

TEST(PageAddress, FoldersAreEscapedAsAddressesWriteThem) {
    EXPECT_EQ(L"C:/Program%20Files/Korvane/Channels/My%20News", kv::EscapeFolderForAddress(L"C:\\Program Files\\Korvane\\Channels\\My News"));
    EXPECT_EQ(L"C:/a%9b", kv::EscapeFolderForAddress(L"C:\\a\tb"));
    std::wstring longFolder = L"C:\\" + std::wstring(400, L'x') + L" y";
    EXPECT_EQ(L"C:/" + std::wstring(400, L'x') + L"%20y", kv::EscapeFolderForAddress(longFolder))
        << "folders longer than any fixed buffer are escaped whole";
}

TEST(PageAddress, PageMatchesItsChannelFolderOnly) {
    struct Case {
        const wchar_t* page;
        const wchar_t* folder;
        bool matches;
    } cases[] = {
        {L"C:/Channels/News/index.htm", L"C:/Channels/News", true},
        {L"c:/channels/news/index.htm", L"C:/Channels/News", true},
        {L"C:/Channels/News/sub/deeper/page.htm", L"C:/Channels/News", true},
        {L"C:/Channels/News/index.htm", L"C:/Channels/News/", true},
        {L"C:/Channels/NewsArchive/index.htm", L"C:/Channels/News", false},
        {L"C:/Channels/News.htm", L"C:/Channels/News", false},
        {L"C:/Channels/News/../Secret/index.htm", L"C:/Channels/News", false},
        {L"C:/Channels/News/a..b/index.htm", L"C:/Channels/News", true},
        {L"C:/Channels/My%20News/index.htm", L"C:/Channels/My%20News", true},
        {L"C:/Chan", L"C:/Channels/News", false},
        {L"C:/Channels/News/index.htm", L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.matches, kv::PageIsInFolder(c.page, c.folder)) << std::string(c.page, c.page + wcslen(c.page)) << " in " << std::string(c.folder, c.folder + wcslen(c.folder));
}

}  // namespace
