// The demo channels' pages rendered and their tables read through the story and directory
// controls, against the client stand-in registered in the prefix.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/text.h"
#include "tests/support/child_process.h"
#include "tests/client/client_test_util.h"
#include "tools/kvkit/channel_page.h"

namespace {

using kv::ComPtr;
using kv::kvkit::ChannelPageCommand;

const std::wstring kDemo = kv::ToWide(KVKIT_DEMO_DIR);
const std::wstring kNewsPage = L"C:\\Channels\\News\\index.htm";

std::wstring TempFile(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + L"kvkit-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(kv::ToAnsi(path), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ChannelPage, TheDemoPageRendersOneRowPerStoryInItsSortOrder) {
    kv::test::TempFolder folder("kvrender");
    std::wstring out = kv::ToWide(folder.Path()) + L"\\news.htm";
    ASSERT_EQ(0, ChannelPageCommand(L"render", {kDemo + L"/Channels/News/index.htm", L"--address", kNewsPage,
                                                L"--data", kDemo, L"--out", out}));
    std::string page = ReadAll(out);

    // Newest first (PARAM Sort "-PUBLISHED_TIME"), each title where the page's SPAN was.
    const char* titles[] = {"Ferry timetable changes on Monday", "Chess club: results of round 4",
                            "Library extends its opening hours", "Storm warning for the coast",
                            "Harbour bridge opens to traffic"};
    size_t at = 0;
    for (const char* title : titles) {
        size_t found = page.find(title, at);
        ASSERT_NE(std::string::npos, found) << title << " in order in:\n" << page;
        at = found;
    }
    EXPECT_EQ(5u, [&] {
        size_t n = 0;
        for (size_t p = page.find("<TBODY>"); p != std::string::npos; p = page.find("<TBODY>", p + 1)) ++n;
        return n;
    }()) << "the body once per story";
    // Embellish 7 from the page's PARAM: unread titles are new stories, the alerted one is wrapped.
    EXPECT_NE(std::string::npos, page.find("<SPAN CLASS=newstory>Ferry timetable changes on Monday</SPAN>"));
    EXPECT_NE(std::string::npos, page.find("<SPAN CLASS=story>Chess club: results of round 4</SPAN>"));
    EXPECT_NE(std::string::npos,
              page.find("<SPAN CLASS=alertedstory><SPAN CLASS=newstory>Storm warning for the coast</SPAN></SPAN>"));
    EXPECT_NE(std::string::npos, page.find("<A HREF=\"http://news.example.com/ferry.htm\">"));
    // Every cell the page shows as HTML is decorated, the publication time too: no tag shows as text.
    EXPECT_EQ(std::string::npos, page.find("&lt;SPAN")) << page;
    // The story icons are files beside the page, which a browser of today shows.
    EXPECT_EQ(std::string::npos, page.find("res:")) << page;
    size_t images = 0;
    for (size_t p = page.find("<IMG "); p != std::string::npos; p = page.find("<IMG ", p + 1), ++images) {
        size_t src = page.find("SRC=\"", p) + 5;
        std::string name = page.substr(src, page.find('"', src) - src);
        EXPECT_EQ(0u, ReadAll(kv::ToWide(folder.Path() + "\\" + name)).rfind("GIF89a", 0)) << name;
    }
    EXPECT_EQ(5u, images);
    EXPECT_EQ(std::string::npos, page.find("DATAFLD"));
    EXPECT_EQ(std::string::npos, page.find("<OBJECT"));
    EXPECT_NE(std::string::npos, page.find(".alertedstory")) << "the style sheet stays";
}

TEST(ChannelPage, CommandsFailCleanlyWhereThereIsNoTable) {
    std::wstring out = TempFile(L"none.htm");
    // A page outside every channel's folder binds to nothing.
    EXPECT_EQ(1, ChannelPageCommand(L"render", {kDemo + L"/Channels/News/index.htm", L"--address",
                                                L"C:\\Elsewhere\\index.htm", L"--data", kDemo, L"--out", out}));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(out.c_str())) << "nothing written";
    EXPECT_EQ(1, ChannelPageCommand(L"render", {kDemo + L"/Channels/News/missing.htm", L"--data", kDemo}));
    // The page is never overwritten by its rendering.
    std::wstring page = TempFile(L"page.htm");
    ASSERT_TRUE(CopyFileW((kDemo + L"/Channels/News/index.htm").c_str(), page.c_str(), FALSE));
    std::string before = ReadAll(page);
    EXPECT_EQ(2, ChannelPageCommand(L"render", {page, L"--address", kNewsPage, L"--data", kDemo, L"--out", page}));
    EXPECT_EQ(before, ReadAll(page));
    DeleteFileW(page.c_str());
    EXPECT_EQ(1, ChannelPageCommand(L"table", {kNewsPage, L"--data", kDemo + L"/no-such-folder"}));
    EXPECT_EQ(2, ChannelPageCommand(L"table", {kNewsPage, L"--format", L"xml"}));
    EXPECT_EQ(2, ChannelPageCommand(L"table", {kNewsPage, L"--sort"}));
}

TEST(ChannelPage, AStoryArrivesAndTheTableShowsIt) {
    EXPECT_EQ(0, ChannelPageCommand(L"table", {kNewsPage, L"--data", kDemo, L"--format", L"html"}));
    EXPECT_EQ(0, ChannelPageCommand(L"story-arrives", {kNewsPage, L"--data", kDemo, L"--title", L"Late news", L"--set",
                                                       L"PUBLISHED_TIME=913032000", L"--columns", L"TITLE,READ"}));
    EXPECT_EQ(2, ChannelPageCommand(L"story-arrives", {kNewsPage, L"--title", L"x", L"--set", L"=1"}));
    EXPECT_EQ(2, ChannelPageCommand(L"story-arrives", {kNewsPage, L"--data", kDemo}));
    EXPECT_EQ(2, ChannelPageCommand(L"table", {kNewsPage, L"--data", kDemo, L"--columns", L"TITLE,NOPE"}));
}

TEST(ChannelPage, TheGuidePageSubscribesThroughItsCheckBox) {
    const std::wstring guide = L"C:\\Channels\\Guide\\index.htm";
    EXPECT_EQ(0, ChannelPageCommand(L"directory", {guide, L"--data", kDemo, L"--format", L"html", L"--subscribe", L"22"}));
    ComPtr<IClientApp2> app = kv::test::CreateClient();
    ComPtr<IClientDirectory> directory;
    ComPtr<IDirectoryEntries> entries;
    ComPtr<IClientPropertySet> entry;
    ASSERT_EQ(S_OK, app->GetDirectory(directory.GetAddressOf()));
    ASSERT_EQ(S_OK, directory->GetEntries(entries.GetAddressOf()));
    ASSERT_EQ(S_OK, entries->Item(*kv::Variant::I4(22).get(), entry.GetAddressOf()));
    LONG subscribed = 0;
    entry->IsSubscribed(&subscribed);
    EXPECT_NE(0, subscribed);

    EXPECT_EQ(1, ChannelPageCommand(L"directory", {guide, L"--data", kDemo, L"--subscribe", L"4711"}));
    EXPECT_EQ(1, ChannelPageCommand(L"directory", {L"C:\\Elsewhere\\index.htm", L"--data", kDemo}));
    EXPECT_EQ(2, ChannelPageCommand(L"directory", {guide, L"--subscribe", L"Jazz"}));
}

}  // namespace
