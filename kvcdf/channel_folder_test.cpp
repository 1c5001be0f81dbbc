#include "kvcdf/channel_folder.h"

#include <gtest/gtest.h>

#include "kvcdf/files_test_util.h"

namespace {

using kv::cdf::ChannelFolder;
using namespace kv::test;

constexpr UINT kNotice = WM_APP + 3;

// A channels folder holding only what each test puts there.
class ChannelFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        kv::DeleteTree(folder.Folder());
        kv::CreateDirectoryTree(folder.Folder());
        folder.ClearCache();
        ManagerCalls();
    }
    // Messages of the watcher that reach this thread within `ms`.
    int Notices(DWORD ms) {
        int n = 0;
        DWORD start = GetTickCount();
        while (GetTickCount() - start < ms) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, kNotice, kNotice, PM_REMOVE)) {
                EXPECT_EQ(msg.wParam, reinterpret_cast<WPARAM>(&folder));
                ++n;
            }
            Sleep(20);
        }
        return n;
    }
    ChannelFolder folder;
};

TEST_F(ChannelFolderTest, FindsAndRemovesShortcutsByTheirPathBelowTheFolder) {
    folder.Add(L"Business\\Acme", L"file://C:\\Channels\\Acme\\acme.cdf");
    folder.Add(L"Top", L"file://C:\\Channels\\Top\\top.cdf");
    EXPECT_EQ(ManagerCalls(), L"AddChannelShortcut " + std::to_wstring(sizeof(CHANNELSHORTCUTINFO)) +
                                  L" Business\\Acme file://C:\\Channels\\Acme\\acme.cdf\nAddChannelShortcut " +
                                  std::to_wstring(sizeof(CHANNELSHORTCUTINFO)) + L" Top file://C:\\Channels\\Top\\top.cdf\n");
    EXPECT_EQ(folder.LookupPath(L"Acme"), folder.Folder() + L"Business\\Acme");
    EXPECT_EQ(folder.LookupUrl(L"Top"), L"file://C:\\Channels\\Top\\top.cdf");
    EXPECT_FALSE(folder.IsPublished(L"Business"));  // a category folder is no shortcut

    EXPECT_TRUE(folder.Remove(L"Acme"));
    EXPECT_FALSE(Exists(folder.Folder() + L"Business\\Acme"));
    EXPECT_TRUE(Exists(folder.Folder() + L"Top"));
    ManagerCalls();
    EXPECT_TRUE(folder.Remove(L"Nobody"));  // unknown: nothing asked of the manager
    EXPECT_EQ(ManagerCalls(), L"");

    // Re-applied after the manager is asked whether it still names that address.
    auto reapplied = [&] {
        std::wstring calls = ManagerCalls();
        EXPECT_TRUE(calls.starts_with(L"EnumChannels ")) << calls.size();
        return calls.substr(calls.find(L'\n') + 1);
    };
    folder.Reapply(L"Top");
    EXPECT_EQ(reapplied(), L"AddChannelShortcut " + std::to_wstring(sizeof(CHANNELSHORTCUTINFO)) +
                               L" Top file://C:\\Channels\\Top\\top.cdf\n");
    // Pointed elsewhere since the listing (a person's own in its place): left as it is.
    folder.Add(L"Top", L"file://C:\\mine\\top.cdf");
    ManagerCalls();
    folder.Reapply(L"Top");
    EXPECT_EQ(reapplied(), L"");
}

// The kit never deletes what it cannot tell from a shortcut of someone else.
TEST_F(ChannelFolderTest, RemovalLeavesOtherShortcutsAlone) {
    folder.Add(L"Acme Corp.", L"file://C:\\a.cdf");
    EXPECT_TRUE(Exists(folder.Folder() + L"Acme Corp\\desktop.ini")) << "added under the stored name";
    EXPECT_EQ(folder.LookupPath(L"ACME CORP.."), folder.Folder() + L"Acme Corp");
    folder.Add(L"Outer", L"file://C:\\o.cdf");
    folder.Add(L"Outer\\Inner", L"file://C:\\i.cdf");  // someone's shortcut inside another
    folder.Add(L"Twice", L"file://C:\\t1.cdf");
    folder.Add(L"Business\\twice", L"file://C:\\t2.cdf");
    folder.ClearCache();
    EXPECT_EQ(folder.Find(L"TWICE").size(), 2u);
    ManagerCalls();
    EXPECT_TRUE(folder.Remove(L"Outer")) << "only its own files go: it holds another shortcut";
    EXPECT_FALSE(Exists(folder.Folder() + L"Outer\\desktop.ini"));
    EXPECT_FALSE(folder.Remove(L"Twice")) << "two shortcuts carry the title";
    EXPECT_EQ(ManagerCalls().find(L"DeleteChannelShortcut"), std::wstring::npos) << "the manager deletes nothing";
    EXPECT_TRUE(Exists(folder.Folder() + L"Outer\\Inner\\desktop.ini"));
    EXPECT_TRUE(folder.Remove(L"acme corp"));
    EXPECT_FALSE(Exists(folder.Folder() + L"Acme Corp"));

    // The user's file or folder inside a shortcut: only the shortcut's own files go.
    for (const wchar_t* own : {L"my notes.txt", L"Saved\\page.htm"}) {
        folder.Add(L"News", L"file://C:\\n.cdf");
        if (std::wstring_view(own).find(L'\\') != std::wstring_view::npos)
            kv::CreateDirectoryTree(folder.Folder() + L"News\\Saved");
        WriteFileText(folder.Folder() + L"News\\" + own, "keep me");
        WriteFileText(folder.Folder() + L"News\\news.ico", "icon");
        folder.ClearCache();
        ManagerCalls();
        EXPECT_TRUE(folder.Remove(L"News")) << own;
        EXPECT_EQ(ManagerCalls().find(L"DeleteChannelShortcut"), std::wstring::npos) << own;
        EXPECT_TRUE(Exists(folder.Folder() + L"News\\" + own)) << own;
        EXPECT_FALSE(Exists(folder.Folder() + L"News\\desktop.ini")) << own;
        EXPECT_FALSE(Exists(folder.Folder() + L"News\\news.ico")) << own;
        folder.ClearCache();
        EXPECT_FALSE(folder.IsPublished(L"News")) << own;
        kv::DeleteTree(folder.Folder() + L"News");
    }
}

TEST_F(ChannelFolderTest, ManagerFailuresAreThrown) {
    kv::ComPtr<IChannelMgrControl> control;
    CoCreateInstance(kv::kClsidChannelMgr, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IChannelMgrControl),
                     reinterpret_cast<void**>(control.GetAddressOf()));
    folder.Add(L"Top", L"file://C:\\t.cdf");
    control->FailCall(kv::Bstr(L"DeleteChannelShortcut").get(), 1, E_ACCESSDENIED);
    EXPECT_THROW(folder.Remove(L"Top"), kv::HResultError);
    EXPECT_TRUE(folder.IsPublished(L"Top"));
    control->FailCall(kv::Bstr(L"AddChannelShortcut").get(), 1, E_ACCESSDENIED);
    EXPECT_THROW(folder.Add(L"Other", L"file://C:\\o.cdf"), kv::HResultError);
    control->ClearFailures();
    // A ".." component is no way out: it is a title of stand-ins.
    EXPECT_NO_THROW(folder.Add(L"..\\..\\Outside", L"file://C:\\o.cdf"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, kv::PathAttributes(folder.Folder() + L"..\\..\\Outside"));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, kv::PathAttributes(folder.Folder() + L"__\\__\\Outside"));
}

TEST(ChannelFolderPaths, RelativePathOnlyInsideTheFolder) {
    struct Case {
        const wchar_t* path;
        const wchar_t* relative;  // null: refused
    } cases[] = {
        {L"C:\\Fav\\Channels\\Business\\News", L"Business\\News"},
        {L"c:\\fav\\CHANNELS\\News", L"News"},  // the case of the folder's own letters differs
        {L"C:\\Fav\\Channels2\\News", nullptr},
        {L"C:\\Other\\Channels\\News", nullptr},
        {L"C:\\Fav\\Channels\\", nullptr},
        {L"C:\\Fav\\Channels\\..\\..\\Windows", nullptr},
        {L"C:\\Fav\\Channels\\a\\\\b", nullptr},
        {L"C:\\Fav", nullptr},
    };
    for (const auto& c : cases) {
        auto r = ChannelFolder::RelativeTo(L"C:\\Fav\\Channels\\", c.path);
        EXPECT_EQ(r.has_value(), c.relative != nullptr) << c.path;
        if (r && c.relative) {
            EXPECT_EQ(*r, c.relative) << c.path;
        }
    }
}

TEST_F(ChannelFolderTest, WatcherWakesForFoldersNotFilesAndNotWhileSuspended) {
    std::wstring f = folder.Folder();
    CreateDirectoryW((f + L"Existing").c_str(), nullptr);
    kv::UniqueHwnd window(CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
    folder.StartWatch(window.get(), kNotice);
    EXPECT_EQ(folder.LookupPath(L"x"), L"");

    WriteFileText(f + L"file.txt", "x");
    EXPECT_EQ(Notices(700), 0) << "a file";
    CreateDirectoryW((f + L"New").c_str(), nullptr);
    EXPECT_GE(Notices(1500), 1) << "a top-level folder";
    MoveFileW((f + L"New").c_str(), (f + L"Renamed").c_str());
    EXPECT_GE(Notices(1500), 1) << "a rename";
    // Windows reports folders made at any depth: the watch covers the whole tree. Some Wine
    // versions miss folders made inside subfolders that existed before the watch; the Wine 8.0 of
    // this kit's machines reports both kinds once, as Windows does, and so must the watcher.
    CreateDirectoryW((f + L"Existing\\Inner").c_str(), nullptr);
    EXPECT_EQ(Notices(1000), 1) << "inside a subfolder there before the watch";
    CreateDirectoryW((f + L"Renamed\\Inner").c_str(), nullptr);
    EXPECT_EQ(Notices(1000), 1) << "inside a subfolder made after it";
    // A notice empties the caches: the next lookup asks the manager again.
    ManagerCalls();
    folder.LookupPath(L"x");
    EXPECT_EQ(ManagerCalls(), L"EnumChannels 70007\n");

    folder.Suspend();
    CreateDirectoryW((f + L"WhileSuspended").c_str(), nullptr);
    Sleep(500);
    folder.Resume();
    EXPECT_EQ(Notices(1000), 0) << "made while suspended";
    RemoveDirectoryW((f + L"WhileSuspended").c_str());
    EXPECT_GE(Notices(1500), 1) << "after Resume";
    folder.StopWatch();
    folder.StopWatch();
}

TEST(ChannelFolderWatch, StoppingAWatcherThatNeverStartedDoesNothing) {
    ChannelFolder folder;
    folder.StopWatch();
    folder.Suspend();
    folder.Resume();
    folder.Resume();  // more resumes than suspends do not go below zero
}

}  // namespace
