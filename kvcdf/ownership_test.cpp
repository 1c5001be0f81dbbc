// What the extension may touch: only shortcuts it made and recorded, found by the names the file
// system stores; and faults that stay with one channel or one start.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "kvcdf/extension_fixture.h"
#include "platform/text.h"

namespace {

using namespace kv::test;
using kv::Bstr;
using kv::ComPtr;

class OwnershipTest : public ExtensionTest {
protected:
    // A shortcut the user made: a folder holding a desktop.ini that names their own file.
    void UserShortcut(const std::wstring& relative) {
        WriteFileText(folder.Folder() + relative + L"\\desktop.ini",
                      "[.ShellClassInfo]\r\nCDFURL=file://C:\\mine\\" + kv::ToAnsi(relative) + ".cdf\r\n");
        users[relative] = ReadFileText(folder.Folder() + relative + L"\\desktop.ini");
    }
    void ExpectUserShortcutsUnchanged(const std::string& when) {
        for (const auto& [relative, text] : users)
            EXPECT_EQ(ReadFileText(folder.Folder() + relative + L"\\desktop.ini"), text)
                << when << ": " << kv::ToAnsi(relative);
    }
    // A folder made and removed in Favorites\Channels: the extension checks the folder.
    void FolderCheck() {
        std::wstring trigger = folder.Folder() + L"kvcheck";
        CreateDirectoryW(trigger.c_str(), nullptr);
        PumpUntil([] { return false; }, 700);
        RemoveDirectoryW(trigger.c_str());
        PumpUntil([] { return false; }, 700);
    }
    bool ShortcutAt(const std::wstring& relative) { return Exists(folder.Folder() + relative + L"\\desktop.ini"); }
    void Delete(LONG id) {
        LONG delivered = 0;
        client->DeleteChannel(id);
        client->FireChannelDeleted(id, &delivered);
    }
    // Unregisters the extension (which takes its shortcuts down) and registers it again.
    void Reregister() {
        auto call = [](const char* name) {
            auto f = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
                reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"KvCDF.dll"), name)));
            return f ? f() : E_FAIL;
        };
        EXPECT_EQ(S_OK, call("DllUnregisterServer"));
        EXPECT_EQ(S_OK, call("DllRegisterServer"));
    }
    void DeliverParcel(LONG id, const std::wstring& folder) {
        WriteFileText(folder + L"\\parcel.cdf", kTemplate);
        WriteFileText(folder + L"\\parcel.ini", "[presentation]\r\ndata_type=ie/cdf\r\n");
        LONG delivered = 0;
        client->FireParcelDelivered(id, Bstr(folder).get(), Bstr(folder + L"\\parcel.ini").get(), &delivered);
    }
    std::map<std::wstring, std::string> users;
};

TEST_F(OwnershipTest, NamesTheFileSystemAltersAndNamesTakenByOthers) {
    struct Chan {
        LONG id;
        const wchar_t* name;
        const wchar_t* category;
    };
    struct Case {
        const char* what;
        std::vector<std::wstring> user;  // shortcuts the user made first
        std::vector<Chan> channels;      // in the client's order
        std::vector<std::wstring> ours;  // where the extension's shortcuts land
    } cases[] = {
        {"a trailing dot", {}, {{5, L"Acme Corp.", nullptr}}, {L"Acme Corp"}},
        {"a trailing blank", {}, {{5, L"Trailing ", nullptr}}, {L"Trailing"}},
        {"the user's shortcut in another case", {L"news"}, {{5, L"News", nullptr}}, {L"News (2)"}},
        {"the user's shortcut with a dot", {L"Sports"}, {{5, L"sports.", nullptr}}, {L"sports (2)"}},
        {"a channel named like a category",
         {},
         {{5, L"Business", nullptr}, {6, L"Stock Quotes", L"Business/Stock Quotes"}},
         {L"Business", L"Business (2)\\Stock Quotes"}},
        {"a category before the channel named like it",
         {},
         {{6, L"Stock Quotes", L"Business/Stock Quotes"}, {5, L"Business", nullptr}},
         {L"Business\\Stock Quotes", L"Business (2)"}},
        {"two channels differing in case", {}, {{5, L"Radio", nullptr}, {6, L"RADIO", nullptr}}, {L"Radio", L"RADIO (2)"}},
    };
    for (const auto& c : cases) {
        SetUp();
        users.clear();
        for (const auto& u : c.user) UserShortcut(u);
        for (const auto& ch : c.channels) {
            Channel(ch.id, ch.name);
            if (ch.category) client->SetChannelProperty(ch.id, 8, *kv::Variant::String(ch.category).get());
        }
        ASSERT_EQ(S_OK, Start()) << c.what;
        EXPECT_TRUE(PumpUntil([&] {
            for (const auto& o : c.ours)
                if (!ShortcutAt(o)) return false;
            return true;
        })) << c.what;
        FolderCheck();
        EXPECT_EQ(L"", Calls()) << c.what << ": the client is asked for nothing";
        ExpectUserShortcutsUnchanged(c.what);
        for (const auto& o : c.ours) {
            EXPECT_TRUE(ShortcutAt(o)) << c.what << ": " << kv::ToAnsi(o);
            EXPECT_NE(0xFFFFFFFFu, Entry(o.c_str())) << c.what << ": recorded " << kv::ToAnsi(o);
        }
        // The channels go one by one; each takes only its own shortcut.
        for (const auto& ch : c.channels) Delete(ch.id);
        EXPECT_TRUE(PumpUntil([&] {
            for (const auto& o : c.ours)
                if (Exists(folder.Folder() + o)) return false;
            return true;
        })) << c.what << ": nothing of ours is left behind";
        ExpectUserShortcutsUnchanged(c.what);
        EXPECT_EQ(L"", Calls()) << c.what;
        Stop();
    }
}

TEST_F(OwnershipTest, AParcelNamedLikeTheUsersShortcutGetsItsOwn) {
    UserShortcut(L"Weekly Digest");
    Channel(5, L"News");
    StartAndSettle([&] { return ShortcutAt(L"News"); });
    client->SetChannelProperty(5, 1, *kv::Variant::String(L"Weekly Digest").get());
    WriteFileText(L"C:\\Parcels\\1\\parcel.cdf", kTemplate);
    WriteFileText(L"C:\\Parcels\\1\\parcel.ini", "[presentation]\r\ndata_type=ie/cdf\r\n");
    LONG delivered = 0;
    client->FireParcelDelivered(5, Bstr(L"C:\\Parcels\\1").get(), Bstr(L"C:\\Parcels\\1\\parcel.ini").get(), &delivered);
    EXPECT_TRUE(PumpUntil([&] { return ShortcutAt(L"Weekly Digest (2)"); }));
    EXPECT_EQ(5u, Entry(L"Weekly Digest (2)"));
    FolderCheck();
    EXPECT_EQ(L"", Calls());
    ExpectUserShortcutsUnchanged("after the parcel");
    Stop();
    Reregister();
    EXPECT_FALSE(ShortcutAt(L"Weekly Digest (2)"));
    EXPECT_FALSE(ShortcutAt(L"News"));
    ExpectUserShortcutsUnchanged("after unregistration");
}

// A shortcut is ours while it is recorded and still names the channel file we wrote: one a
// person put in its place is theirs (the channel's counts as deleted by hand), and ours moved
// with a renamed category folder is still ours, in its new place.
TEST_F(OwnershipTest, AShortcutIsOursOnlyWhileItNamesTheFileWeWrote) {
    struct Case {
        const char* what;
        std::function<void()> before;  // before the start
        std::function<void()> change;  // a person's change once published
        std::wstring calls;            // what the client is told
        std::vector<std::wstring> ours;
        bool unregister;  // the end: unregistration, else the channels deleted
    } cases[] = {
        {"ours replaced by the person's own", {},
         [&] {
             kv::DeleteTree(folder.Folder() + L"News");
             UserShortcut(L"News");
         },
         L"Drop 5;", {L"News (2)", L"Business\\Stock Quotes"}, true},
        {"its category folder renamed", {},
         [&] { MoveFileW((folder.Folder() + L"Business").c_str(), (folder.Folder() + L"Biz").c_str()); },
         L"", {L"News", L"Biz\\Stock Quotes"}, false},
        {"the folder renamed and the person's own in the old place", {},
         [&] {
             MoveFileW((folder.Folder() + L"Business").c_str(), (folder.Folder() + L"Biz").c_str());
             UserShortcut(L"Business\\Stock Quotes");
         },
         L"", {L"News", L"Biz\\Stock Quotes"}, false},
        {"a parcel's replaced by the person's own",
         {},
         [&] {
             client->SetChannelProperty(5, 1, *kv::Variant::String(L"Weekly Digest").get());
             DeliverParcel(5, L"C:\\Parcels\\1");
             PumpUntil([&] { return ShortcutAt(L"Weekly Digest"); });
             kv::DeleteTree(folder.Folder() + L"Weekly Digest");
             UserShortcut(L"Weekly Digest");
         },
         L"", {L"News", L"Business\\Stock Quotes"}, true},
        {"an older version's entry where the person's own now is",
         [&] {
             UserShortcut(L"News");
             kv::cdf::OpenChannelsList().Set(L"News", 5);
         },
         {}, L"", {L"News (2)", L"Business\\Stock Quotes"}, true},
    };
    for (const auto& c : cases) {
        SetUp();
        users.clear();
        Channel(5, L"News");
        Channel(6, L"Stock Quotes");
        client->SetChannelProperty(6, 8, *kv::Variant::String(L"Business/Stock Quotes").get());
        if (c.before) c.before();
        StartAndSettle([&] { return Entry(L"Business\\Stock Quotes") == 6; });
        if (c.change) c.change();
        FolderCheck();
        EXPECT_EQ(c.calls, Calls()) << c.what;
        // The client adds the channels again: a channel whose shortcut went gets a new one.
        LONG delivered = 0;
        client->ClearCalls();
        for (LONG id : {5, 6}) client->FireChannelAdded(id, &delivered);
        EXPECT_TRUE(PumpUntil([&] {
            for (const auto& o : c.ours)
                if (!ShortcutAt(o) || Entry(o.c_str()) == 0xFFFFFFFF) return false;
            return true;
        })) << c.what;
        std::map<DWORD, int> perChannel;
        kv::cdf::OpenChannelsList().Enumerate([&](const std::wstring&, DWORD id) { return ++perChannel[id], true; });
        EXPECT_EQ((std::map<DWORD, int>{{5, 1}, {6, 1}}), perChannel) << c.what << ": one shortcut each";
        ExpectUserShortcutsUnchanged(c.what);
        if (c.unregister) {
            Stop();
            Reregister();
        } else {
            for (LONG id : {5, 6}) Delete(id);
            PumpUntil([&] { return perChannel.clear(), !ShortcutAt(c.ours[0]) && !ShortcutAt(c.ours[1]); });
            Stop();
        }
        for (const auto& o : c.ours) EXPECT_FALSE(ShortcutAt(o)) << c.what << ": " << kv::ToAnsi(o) << " taken down";
        ExpectUserShortcutsUnchanged(c.what);
        EXPECT_EQ(L"", Calls()) << c.what;
    }
}

// Many recorded channels make a long start-up; an event the client sends meanwhile is handled
// after it.
TEST_F(OwnershipTest, AnEventDuringStartUpIsHandledAfterIt) {
    auto channels = kv::cdf::OpenChannelsList();
    for (LONG id = 1; id <= 300; ++id) {
        std::wstring name = L"Channel " + std::to_wstring(id);
        Channel(id, name.c_str());
        channels.Set(name, static_cast<DWORD>(id));
        folder.Add(name, L"file://C:\\Channels\\" + std::to_wstring(id) + L"\\default.cdf");
    }
    ASSERT_EQ(S_OK, Start());
    LONG delivered = 0;
    client->FireChannelResync(7, 0, &delivered);
    EXPECT_TRUE(PumpUntil([&] { return Exists(L"C:\\Channels\\7\\default.cdf") && Entry(L"Channel 7") == 7; }, 20000))
        << "the resync was handled";
    EXPECT_EQ(1, Sinks(L"channels"));
}

// Faults that stay with one channel or one start: each case is one start of its own.
class FaultTest : public OwnershipTest {
protected:
    void SetUp() override {
        OwnershipTest::SetUp();
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(kv::kClsidChannelMgr, nullptr, CLSCTX_INPROC_SERVER,
                                                  __uuidof(IChannelMgrControl),
                                                  reinterpret_cast<void**>(manager.GetAddressOf())));
    }
    void TearDown() override {
        if (manager) manager->ClearFailures();
        OwnershipTest::TearDown();
    }
    kv::ComPtr<IChannelMgrControl> manager;
    DWORD upgrade = 255;
};

TEST_F(FaultTest, ADirectoryChannelKeyOfAnyLengthIsRead) {
    std::wstring longKey(100, L'K');
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane\\Global", L"ChnDirUpdateChannel", REG_SZ,
                    longKey.c_str(), static_cast<DWORD>((longKey.size() + 1) * sizeof(wchar_t)));
    Channel(5, L"News");
    Channel(6, L"Sports");
    StartAndSettle([&] { return ShortcutAt(L"News") && ShortcutAt(L"Sports"); });
    EXPECT_EQ(1, Sinks(L"channels"));
    Stop();
}

TEST_F(FaultTest, AShortcutThatCannotBeRemovedStopsNoOther) {
    Channel(5, L"News");
    Channel(6, L"Sports");
    StartAndSettle([&] { return ShortcutAt(L"News") && ShortcutAt(L"Sports"); });
    Stop();
    client->DeleteChannel(5);
    client->DeleteChannel(6);
    manager->FailCall(Bstr(L"DeleteChannelShortcut").get(), 1, E_ACCESSDENIED);
    ASSERT_EQ(S_OK, Start());
    // The failed one stays recorded and goes at the next pass (the folder check after start-up).
    EXPECT_TRUE(PumpUntil([&] {
        return !ShortcutAt(L"Sports") && !ShortcutAt(L"News") && Entry(L"News") == 0xFFFFFFFF &&
               Entry(L"Sports") == 0xFFFFFFFF;
    }));
    EXPECT_EQ(1, Sinks(L"channels"));
    EXPECT_EQ(L"", Calls());
    Stop();
}

// One failed call of the channel manager or the client during start-up costs that entry or that
// channel its turn, not the session: the extension stays up and later events are handled.
TEST_F(FaultTest, AFailedCallAtStartUpStopsNoLaterWork) {
    struct Case {
        bool manager;
        const wchar_t* method;
        LONG nth;
    } cases[] = {
        {true, L"EnumChannels", 1},
        {false, L"IClientChannel.GetName", 1},
        {false, L"IClientChannel.GetFlags", 1},
        {false, L"IClientChannel.GetId", 2},
    };
    for (const auto& c : cases) {
        SetUp();
        Channel(5, L"News");
        StartAndSettle([&] { return ShortcutAt(L"News"); });
        Stop();
        if (c.manager)
            manager->FailCall(Bstr(c.method).get(), c.nth, E_FAIL);
        else
            client->FailCall(Bstr(c.method).get(), c.nth, E_FAIL);
        ASSERT_EQ(S_OK, Start());
        PumpUntil([] { return false; }, 500);
        Channel(6, L"Sports");
        LONG delivered = 0;
        client->FireChannelAdded(6, &delivered);
        EXPECT_TRUE(PumpUntil([&] { return ShortcutAt(L"Sports"); })) << kv::ToAnsi(c.method);
        EXPECT_TRUE(ShortcutAt(L"News")) << kv::ToAnsi(c.method);
        EXPECT_EQ(1, Sinks(L"channels")) << kv::ToAnsi(c.method);
        EXPECT_EQ(L"", Calls()) << kv::ToAnsi(c.method);
        Stop();
        manager->ClearFailures();
        client->ClearFailures();
    }
}

// The upgrade copies the template root's files into the client folder, never through a link there.
TEST_F(FaultTest, TheUpgradeWritesNothingThroughALinkInTheClientFolder) {
    ASSERT_EQ("host canary\n", ReadFileText(L"C:\\kvlinks\\file\\default.cdf")) << "the fixture's link";
    WriteFileText(L"C:\\kvlinks\\CDF\\default.cdf", "template bytes");
    WriteFileText(L"C:\\kvlinks\\CDF\\Default\\default.cdf", kTemplate);
    client->SetClientFolder(Bstr(L"C:\\kvlinks\\file").get());
    RegSetKeyValueW(HKEY_CURRENT_USER, kExtensionKey, L"Upgrade", REG_DWORD, &upgrade, 4);
    Channel(5, L"News");
    StartAndSettle([&] { return ShortcutAt(L"News"); });
    EXPECT_EQ("host canary\n", ReadFileText(L"C:\\kvlinks\\file\\default.cdf"));
    EXPECT_EQ(1, Sinks(L"channels"));
    Stop();
    kv::DeleteTree(L"C:\\kvlinks\\CDF");
}

// A hidden channel has no shortcut, and a parcel does not give it one.
TEST_F(FaultTest, AHiddenChannelsParcelMakesNoShortcut) {
    Channel(5, L"News", 0x400);
    Channel(6, L"Sports");
    StartAndSettle([&] { return ShortcutAt(L"Sports"); });
    DeliverParcel(5, L"C:\\Parcels\\1");
    client->SetChannelProperty(6, 1, *kv::Variant::String(L"Weekly Digest").get());
    DeliverParcel(6, L"C:\\Parcels\\2");
    ASSERT_TRUE(PumpUntil([&] { return ShortcutAt(L"Sports") && Entry(L"Weekly Digest") != 0xFFFFFFFF; }));
    EXPECT_FALSE(Exists(folder.Folder() + L"News"));
    EXPECT_EQ(0xFFFFFFFFu, Entry(L"News"));
}

TEST_F(FaultTest, AFailedRepublicationKeepsTheRecordOfAShortcutStillThere) {
    Channel(7, L"Weather");
    StartAndSettle([&] { return ShortcutAt(L"Weather"); });
    Stop();
    RegSetKeyValueW(HKEY_CURRENT_USER, kExtensionKey, L"Upgrade", REG_DWORD, &upgrade, 4);
    kv::DeleteTree(L"C:\\Korvane\\CDF");
    StartAndSettle([] { return true; });
    FolderCheck();
    EXPECT_TRUE(ShortcutAt(L"Weather"));
    EXPECT_EQ(7u, Entry(L"Weather"));
    EXPECT_EQ(L"", Calls());
    Stop();
}

TEST_F(FaultTest, AClientFolderThatNamesNoDriveCopiesNothingToTheRoot) {
    WriteFileText(L"C:\\kvtest\\CDF\\kvcanary.txt", "canary");
    client->SetClientFolder(Bstr(L"").get());
    RegSetKeyValueW(HKEY_CURRENT_USER, kExtensionKey, L"Upgrade", REG_DWORD, &upgrade, 4);
    StartAndSettle([] { return true; });
    EXPECT_FALSE(Exists(L"C:\\kvcanary.txt"));
    Stop();
    kv::DeleteTree(L"C:\\kvtest\\CDF");
    DeleteFileW(L"C:\\kvcanary.txt");
}

// A person deletes a shortcut while a folder check runs, after the check listed the folder for
// its pass or for putting back a privileged, home or directory channel's shortcut: the check
// itself sees it, with no later change of the folder to wake it.
TEST_F(FaultTest, ADeletionAtAnyMomentOfAFolderCheckIsSeenByThatCheck) {
    for (LONG id = 1; id <= 4; ++id) Channel(id, (L"Alpha " + std::to_wstring(id)).c_str());
    Channel(9, L"Korvane Home Channel");
    Channel(10, L"Guide", 0, L"guide");
    Channel(12, L"Radio");
    DWORD neverDropAndPutBack = 3;
    RegSetKeyValueW(HKEY_CURRENT_USER, kv::cdf::kPrivilegedKey, L"Radio", REG_DWORD, &neverDropAndPutBack, 4);
    StartAndSettle([&] { return ShortcutAt(L"Alpha 4") && ShortcutAt(L"Guide") && ShortcutAt(L"Radio"); });
    // A check lists the folder for its pass, then for Radio, the home channel and Guide.
    for (int listing : {4, 3, 2, 1}) {
        SCOPED_TRACE("deleted during listing " + std::to_string(listing));
        PumpUntil([] { return false; }, 1000);
        std::wstring first;  // the pass visits the entries in the list's order
        kv::cdf::OpenChannelsList().Enumerate([&](const std::wstring& name, DWORD) {
            first = name;
            return false;
        });
        ASSERT_EQ(0u, first.rfind(L"Alpha ", 0)) << "first entry: " << kv::ToAnsi(first);
        client->ClearCalls();
        ManagerCalls();
        ASSERT_HRESULT_SUCCEEDED(manager->HoldCall(Bstr(L"EnumChannels").get(), listing, 1500));
        CreateDirectoryW((folder.Folder() + L"kvcheck" + std::to_wstring(listing)).c_str(), nullptr);
        std::wstring calls;
        ASSERT_TRUE(PumpUntil([&] {
            calls += ManagerCalls();
            size_t n = 0;
            for (size_t at = calls.find(L"EnumChannels"); at != calls.npos; at = calls.find(L"EnumChannels", at + 1)) ++n;
            return n >= static_cast<size_t>(listing);
        }));
        ASSERT_TRUE(DeleteByHand(folder.Folder() + first));
        EXPECT_TRUE(PumpUntil([&] { return Entry(first.c_str()) == 0xFFFFFFFF; }, 10000)) << kv::ToAnsi(first);
        EXPECT_EQ(L"Drop " + first.substr(6) + L";", Calls());
    }
    EXPECT_TRUE(ShortcutAt(L"Radio") && ShortcutAt(L"Guide") && ShortcutAt(L"Korvane Home Channel"));
}

TEST_F(FaultTest, AFailedStartUpLetsTheClientShutDownAtOnce) {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane\\Global", L"ChnDirUpdateChannel");
    ASSERT_EQ(S_OK, Start());
    DWORD start = GetTickCount();
    cdf->OnShutdown();
    // Well under the 10 s a stuck worker is waited for, even on a busy machine.
    EXPECT_LT(GetTickCount() - start, 5000u) << "OnShutdown after a failed start-up waited for a worker";
    cdf.Reset();
    EXPECT_TRUE(PumpUntil([] { return CanUnload() == S_OK; }, 10000));
}

}  // namespace
