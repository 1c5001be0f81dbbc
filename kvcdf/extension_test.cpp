// KorvaneCDF as the client runs it, against the client and channel manager stand-ins: start-up,
// the client's events, the user's changes in Favorites\Channels, faults, shutdown and
// unregistration.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <random>
#include <thread>

#include "client_control.h"
#include "framework/client_boundary.h"
#include "kvcdf.h"
#include "kvcdf/extension_fixture.h"
#include "kvcdf/registry_value_list.h"
#include "kvcdf/shortcut_name.h"
#include "platform/text.h"
#include "tests/support/child_process.h"

namespace {

using namespace kv::test;
using kv::Bstr;
using kv::ComPtr;

TEST_F(ExtensionTest, StartUpPublishesEveryChannelAndShutdownLeavesNothing) {
    Channel(5, L"News");
    Channel(6, L"Hidden", 0x400);
    Channel(7, L"Sports");
    StartAndSettle([&] { return Published(L"News") && Published(L"Sports"); });
    EXPECT_EQ(5u, Entry(L"News"));
    EXPECT_EQ(7u, Entry(L"Sports"));
    EXPECT_EQ(0xFFFFFFFFu, Entry(L"Hidden"));
    EXPECT_FALSE(Published(L"Hidden"));
    EXPECT_EQ(1, Sinks(L"channels"));
    Stop();
    EXPECT_EQ(0, Sinks(L"app"));
    EXPECT_EQ(0, Sinks(L"channels"));
    EXPECT_EQ(0, Sinks(L"parcels"));
}

// The client program loads the extension from its key; closing its window ends both, cleanly.
TEST_F(ExtensionTest, TheClientProgramRunsItFromStartToClose) {
    WriteFileText(L"C:\\KorvaneExe\\client-state.txt",
                  "[client]\nfolder = C:\\Korvane\\data\n"
                  "[channel 5]\nname = News\nfolder = C:\\Channels\\5\nproperty 1 = News\n"
                  "[channel 6]\nname = Hidden\nfolder = C:\\Channels\\6\nflags = 0x400\n"
                  "[channel 7]\nname = Sports\nfolder = C:\\Channels\\7\nproperty 1 = Sports\n");
    // The program serves the client's class as a local server, as the client does; the in-process
    // client the other cases use is registered again afterwards.
    struct InProcessClientBack {
        ~InProcessClientBack() {
            auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(
                GetProcAddress(GetModuleHandleW(L"KorvaneClient.dll"), "DllRegisterServer")));
            EXPECT_TRUE(reg && reg() == S_OK);
        }
    } back;
    ChildProcess registration("C:\\kvtest\\Korvane.exe /RegServer");
    ASSERT_TRUE(registration.WaitExit(30000));
    ChildProcess program("C:\\kvtest\\Korvane.exe /data:C:\\KorvaneExe");
    ASSERT_TRUE(program.Started());
    EXPECT_TRUE(PumpUntil([&] { return Published(L"News") && Published(L"Sports"); }, 20000));
    EXPECT_EQ(5u, Entry(L"News"));
    EXPECT_EQ(7u, Entry(L"Sports"));
    EXPECT_FALSE(Published(L"Hidden"));
    HWND window = program.WaitForTopWindow(nullptr, "Korvane Agent");
    ASSERT_NE(nullptr, window);
    PostMessageW(window, WM_CLOSE, 0, 0);
    // How long it takes is the benchmark's business; here the worker ends and the client with it.
    ASSERT_TRUE(program.WaitExit(30000)) << "the worker ends and the client with it";
    DWORD code = 99;
    GetExitCodeProcess(program.Handle(), &code);
    EXPECT_EQ(0u, code);
}

TEST_F(ExtensionTest, ClientEventsAndUserDeletionsKeepTheFolderInStep) {
    Channel(5, L"News");
    Channel(7, L"Sports");
    Channel(9, L"Korvane Home Channel");
    Channel(10, L"Guide", 0, L"guide");
    Channel(11, L"Weekly");
    Channel(12, L"Radio");
    DWORD neverDrop = 1, neverDropAndPutBack = 3;
    RegSetKeyValueW(HKEY_CURRENT_USER, kv::cdf::kPrivilegedKey, L"Weekly", REG_DWORD, &neverDrop, 4);
    RegSetKeyValueW(HKEY_CURRENT_USER, kv::cdf::kPrivilegedKey, L"Radio", REG_DWORD, &neverDropAndPutBack, 4);
    StartAndSettle([&] { return Published(L"News") && Published(L"Guide") && Published(L"Radio"); });
    LONG delivered = 0;

    Channel(8, L"Weather");
    client->FireChannelAdded(8, &delivered);
    EXPECT_TRUE(PumpUntil([&] { return Published(L"Weather") && Entry(L"Weather") == 8; })) << "a channel added";

    client->DeleteChannel(5);
    client->FireChannelDeleted(5, &delivered);
    EXPECT_TRUE(PumpUntil([&] { return !Published(L"News") && Entry(L"News") == 0xFFFFFFFF; })) << "deleted";
    EXPECT_TRUE(Published(L"Sports"));


    client->ClearCalls();
    ManagerCalls();
    std::wstring manager;
    for (const wchar_t* title : {L"Sports", L"Korvane Home Channel", L"Guide", L"Weekly"}) {
        PumpUntil([] { return false; }, 300);  // a person takes a moment between two deletions
        DeleteShortcut(title);
        // A deletion made while the extension writes is taken for its own and seen at the
        // folder's next change: the person then changes something else.
        bool seen = false;
        for (int attempt = 0; attempt < 4 && !seen; ++attempt) {
            seen = PumpUntil([&] { return Entry(title) == 0xFFFFFFFF; }, 5000);
            if (!seen) {
                CreateDirectoryW((folder.Folder() + L"kvcheck").c_str(), nullptr);
                RemoveDirectoryW((folder.Folder() + L"kvcheck").c_str());
            }
        }
        EXPECT_TRUE(seen) << "deleted by hand: " << title;
    }
    EXPECT_EQ(L"Drop 7;", Calls()) << "only the unprotected channel is dropped";
    PumpUntil([] { return false; }, 500);
    manager += ManagerCalls();
    EXPECT_NE(std::wstring::npos, manager.find(L" Radio file://")) << "re-applied after a folder change:\n" << manager;
    EXPECT_EQ(std::wstring::npos, manager.find(L" Weekly file://")) << manager;
}

// Names the file system takes for devices, and names that already carry a number: each gets a
// shortcut of its own, and deleting one by hand drops its channel.
TEST_F(ExtensionTest, DeviceNamesAndNumberedNamesGetShortcutsOfTheirOwn) {
    struct Case {
        LONG id;
        const wchar_t* name;
        const wchar_t* shortcut;
    } cases[] = {
        {10, L"LPT1.txt", L"LPT1 (2).txt"},
        {11, L"CON.News", L"CON (2).News"},
        {12, L"con", L"con (2)"},
        {13, L"News (2)", L"News (2)"},
        {14, L"Plain", L"Plain"},
        {15, L"com9.tar.gz", L"com9 (2).tar.gz"},
    };
    for (const auto& c : cases) Channel(c.id, c.name);
    auto allThere = [&] {
        for (const auto& c : cases)
            if (!Published(c.shortcut)) return false;
        return true;
    };
    StartAndSettle(allThere);
    // Found again at the next start as the channel's own: no second shortcut is made.
    Stop();
    StartAndSettle(allThere);
    for (const auto& c : cases) EXPECT_EQ(static_cast<DWORD>(c.id), Entry(c.shortcut)) << c.name;
    for (const wchar_t* second : {L"LPT1 (3).txt", L"CON (3).News", L"con (3)", L"com9 (3).tar.gz"})
        EXPECT_FALSE(Published(second)) << kv::ToAnsi(second);
    EXPECT_EQ(L"", Calls()) << "nothing dropped: every shortcut is its channel's own";

    for (const auto& c : cases) {
        client->ClearCalls();
        DeleteShortcut(c.shortcut);
        EXPECT_TRUE(PumpUntil([&] { return Entry(c.shortcut) == 0xFFFFFFFF; })) << c.name;
        EXPECT_EQ(L"Drop " + std::to_wstring(c.id) + L";", Calls()) << c.name;
    }
    Stop();
}

// The shell's cache of folder names may spell Favorites otherwise than the shell answers: the
// shortcuts are still found where the channel manager puts them, and no channel is dropped.
TEST_F(ExtensionTest, AnotherSpellingOfFavoritesInTheShellsCacheDropsNothing) {
    Channel(5, L"News");
    Channel(6, L"Sports");
    StartAndSettle([&] { return Published(L"News") && Published(L"Sports"); });
    Stop();
    client->ClearCalls();
    const wchar_t* key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    wchar_t original[1024] = {};
    DWORD size = sizeof original;
    RegGetValueW(HKEY_CURRENT_USER, key, L"Favorites", RRF_RT_REG_SZ, nullptr, original, &size);
    std::wstring favorites = folder.Folder().substr(0, folder.Folder().size() - 10);  // without "channels\"
    for (const std::wstring& spelled : {favorites.substr(0, 3) + L"\\" + favorites.substr(3), std::wstring(L"C:\\Elsewhere")}) {
        RegSetKeyValueW(HKEY_CURRENT_USER, key, L"Favorites", REG_SZ, spelled.c_str(),
                        static_cast<DWORD>((spelled.size() + 1) * sizeof(wchar_t)));
        StartAndSettle([&] { return true; });
        PumpUntil([] { return false; }, 700);
        Stop();
        EXPECT_EQ(L"", Calls()) << kv::ToAnsi(spelled);
        EXPECT_EQ(5u, Entry(L"News")) << kv::ToAnsi(spelled);
    }
    RegSetKeyValueW(HKEY_CURRENT_USER, key, L"Favorites", REG_SZ, original,
                    static_cast<DWORD>((wcslen(original) + 1) * sizeof(wchar_t)));
}

TEST_F(ExtensionTest, AResyncPublishesTheChannelAgain) {
    Channel(7, L"Sports");
    StartAndSettle([&] { return Published(L"Sports"); });
    WriteFileText(L"C:\\Channels\\7\\default.cdf", "stale");
    LONG delivered = 0;
    client->FireChannelResync(7, 0, &delivered);
    EXPECT_TRUE(PumpUntil([&] {
        return ReadFileText(L"C:\\Channels\\7\\default.cdf") != "stale" && Published(L"Sports") &&
               Entry(L"Sports") == 7;
    }));
}

// A title may hold what no file name can: each channel still appears, under its title with
// stand-ins, and is found again by every lookup (no drop at the next start, a drop when its
// shortcut is deleted by hand). The category folder stays a folder of its own.
TEST_F(ExtensionTest, TitlesNoFileNameCanHoldAppearWithStandIns) {
    const std::wstring longTitle(300, L'L');
    struct Case {
        LONG id;
        std::wstring name;
        std::wstring entry;
        const wchar_t* category = L"";
    } cases[] = {
        {30, L"AC/DC", L"AC_DC"},     {31, L"What?", L"What_"},        {32, L"a\\b", L"a_b"},
        {33, L"x:y", L"x_y"},         {34, L"<b>", L"_b_"},            {35, L"\"q\"", L"_q_"},
        {36, L"a|c", L"a_c"},         {37, L"*", L"_"},                {38, L"...", L"___"},
        {39, L"  ", L"__"},           {40, longTitle, std::wstring(kv::cdf::kMaxTitle, L'L')},
        {41, L"Up/Down", L"Business\\Up_Down", L"Business/Stock Quotes"},
        // Its first 100 characters are another's: the number takes the place of its end.
        {42, std::wstring(kv::cdf::kMaxTitle, L'L') + L"Q", std::wstring(kv::cdf::kMaxTitle - 4, L'L') + L" (2)"},
    };
    for (const auto& c : cases) {
        Channel(c.id, c.name.c_str());
        client->SetChannelProperty(c.id, 8, *kv::Variant::String(c.category).get());
    }
    auto allThere = [&] {
        for (const auto& c : cases)
            if (Entry(c.entry.c_str()) != static_cast<DWORD>(c.id)) return false;
        return true;
    };
    StartAndSettle(allThere);
    for (const auto& c : cases) EXPECT_TRUE(Published(kv::cdf::TitleOf(c.entry).data())) << kv::ToAnsi(c.entry);
    EXPECT_NE(std::string::npos, ReadFileText(L"C:\\Channels\\30\\default.cdf").find("<TITLE>AC/DC</TITLE>"));
    Stop();
    StartAndSettle(allThere);
    EXPECT_EQ(L"", Calls()) << "every shortcut is found again";
    for (LONG id : {30, 41}) {
        const Case& c = *std::find_if(std::begin(cases), std::end(cases), [&](const Case& k) { return k.id == id; });
        client->ClearCalls();
        DeleteShortcut(std::wstring(kv::cdf::TitleOf(c.entry)).c_str());
        EXPECT_TRUE(PumpUntil([&] { return Entry(c.entry.c_str()) == 0xFFFFFFFF; })) << kv::ToAnsi(c.entry);
        EXPECT_EQ(L"Drop " + std::to_wstring(id) + L";", Calls()) << kv::ToAnsi(c.entry);
    }
}

// Entries in the Channels list that name no place inside the channels folder were never written
// by the extension: they drop no channel and touch nothing, and the channel is published.
TEST_F(ExtensionTest, EntriesThatNameNoPlaceInTheFolderDropNothing) {
    Channel(5, L"victim");
    const wchar_t* strays[] = {L"..\\..\\victim", L"..\\victim", L"C:\\victim", L"\\\\?\\C:\\victim",
                               L"\\victim", L".\\..\\victim", L"victim\\..\\..\\victim", L"C:victim"};
    DWORD five = 5;
    for (const wchar_t* stray : strays)
        RegSetKeyValueW(HKEY_CURRENT_USER, kv::cdf::kChannelsKey, stray, REG_DWORD, &five, sizeof five);
    StartAndSettle([&] { return Published(L"victim"); });
    EXPECT_EQ(5u, Entry(L"victim"));
    EXPECT_EQ(L"", Calls());
}

// A channel whose folder is a link, or lies below one, is not published: nothing is written
// through the link, and the other channels go on. Another name of the same folder (an alias
// drive) leads nowhere else.
TEST_F(ExtensionTest, AChannelFolderThatIsALinkIsNotWrittenThrough) {
    ASSERT_TRUE(Exists(L"C:\\kvlinks\\own\\marker.txt")) << "the fixture's links";
    ASSERT_TRUE(Exists(L"C:\\kvlinks\\above\\channel\\marker.txt"));
    ASSERT_TRUE(Exists(L"C:\\kvlinks\\inside\\marker.txt"));
    ASSERT_EQ("host canary\n", ReadFileText(L"C:\\kvlinks\\file\\default.cdf"));
    ASSERT_TRUE(Exists(L"Y:\\kvlinks"));
    struct Case {
        LONG id;
        const wchar_t* name;
        const wchar_t* local;
        bool published;
    } cases[] = {
        {20, L"Own Link", L"C:\\kvlinks\\own", false},
        {21, L"Link Above", L"C:\\kvlinks\\above\\channel", false},
        {22, L"Link Inside", L"C:\\kvlinks\\inside\\deeper", false},
        {23, L"File Link", L"C:\\kvlinks\\file", false},
        {24, L"Alias Drive", L"Y:\\kvlinks\\alias", true},
        {25, L"Plain", L"C:\\kvlinks\\plain", true},
    };
    for (const auto& c : cases) {
        client->PutChannel(c.id, Bstr(c.name).get(), Bstr(c.local).get(), 0, 0, 0, Bstr(L"").get());
        client->SetChannelProperty(c.id, 1, *kv::Variant::String(c.name).get());
    }
    StartAndSettle([&] { return Published(L"Plain") && Published(L"Alias Drive"); });
    for (const auto& c : cases) {
        EXPECT_EQ(c.published, Published(c.name)) << kv::ToAnsi(c.name);
        EXPECT_EQ(c.published ? static_cast<DWORD>(c.id) : 0xFFFFFFFFu, Entry(c.name)) << kv::ToAnsi(c.name);
        EXPECT_EQ(c.published, Exists(std::wstring(c.local) + L"\\default.cdf") && c.id != 23) << kv::ToAnsi(c.name);
    }
    EXPECT_EQ("host canary\n", ReadFileText(L"C:\\kvlinks\\file\\default.cdf"));
    EXPECT_FALSE(Exists(L"C:\\kvlinks\\real\\deeper"));
    EXPECT_EQ(L"", Calls());
    EXPECT_EQ(1, Sinks(L"channels")) << "the extension stays up";
}

TEST_F(ExtensionTest, ABrokenTemplateOrAStaleEntryStopsNoOtherChannel) {
    Channel(5, L"News");
    Channel(6, L"Broken");
    Channel(7, L"Sports");
    kv::cdf::OpenChannelsList().Set(L"Ghost", 99);
    StartAndSettle([&] { return Published(L"News") && Published(L"Sports"); });
    EXPECT_EQ(0xFFFFFFFFu, Entry(L"Broken")) << "not managed when it cannot be published";
    EXPECT_EQ(0xFFFFFFFFu, Entry(L"Ghost"));
    EXPECT_EQ(L"", Calls());
    EXPECT_EQ(1, Sinks(L"channels")) << "the extension stays up";
}

// A parcel's shortcut carries the parcel's title and is recorded with its channel's id; it
// stays while that channel carries the title, and goes with the title.
TEST_F(ExtensionTest, AParcelEntryStaysWhileItsChannelCarriesItsTitle) {
    Channel(5, L"News");
    client->SetChannelProperty(5, 1, *kv::Variant::String(L"Weekly Digest").get());
    folder.Add(L"Weekly Digest", L"file://C:\\Channels\\5\\digest.cdf");
    kv::cdf::OpenChannelsList().Set(L"Weekly Digest", 5);
    StartAndSettle([&] { return Published(L"News"); });
    EXPECT_TRUE(Published(L"Weekly Digest"));
    EXPECT_EQ(5u, Entry(L"Weekly Digest"));
    Stop();
    client->SetChannelProperty(5, 1, *kv::Variant::String(L"News").get());
    StartAndSettle([&] { return !Published(L"Weekly Digest"); });
    EXPECT_EQ(0xFFFFFFFFu, Entry(L"Weekly Digest"));
}

TEST_F(ExtensionTest, TheFirstStartAfterRegistrationUpgradesOnce) {
    Channel(5, L"News");
    WriteFileText(L"C:\\Korvane\\CDF\\logo.gif", "gif");
    StartAndSettle([&] { return Published(L"News"); });
    Stop();
    DWORD upgrade = 255;
    RegSetKeyValueW(HKEY_CURRENT_USER, kExtensionKey, L"Upgrade", REG_DWORD, &upgrade, 4);
    WriteFileText(L"C:\\Channels\\5\\default.cdf", "stale");
    StartAndSettle([&] { return ReadFileText(L"C:\\Channels\\5\\default.cdf") != "stale"; });
    EXPECT_EQ("gif", ReadFileText(L"C:\\Korvane\\data\\logo.gif"));
    EXPECT_NE(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, kExtensionKey, L"Upgrade", RRF_RT_REG_DWORD, nullptr,
                                          nullptr, nullptr));
    Stop();
    WriteFileText(L"C:\\Channels\\5\\default.cdf", "kept");
    StartAndSettle([&] { return true; });
    EXPECT_EQ("kept", ReadFileText(L"C:\\Channels\\5\\default.cdf")) << "the second start republishes nothing";

    // A shutdown that cuts the republishing short leaves the step for the next start.
    for (LONG id = 100; id < 160; ++id) Channel(id, (L"Extra " + std::to_wstring(id)).c_str());
    Stop();
    ASSERT_EQ(S_OK, Start());
    ASSERT_TRUE(PumpUntil([&] { return Entry(L"Extra 100") == 100 && Entry(L"Extra 159") == 159; }, 60000));
    Stop();
    RegSetKeyValueW(HKEY_CURRENT_USER, kExtensionKey, L"Upgrade", REG_DWORD, &upgrade, 4);
    auto stale = [] {
        int n = 0;
        for (LONG id = 100; id < 160; ++id)
            n += ReadFileText(L"C:\\Channels\\" + std::to_wstring(id) + L"\\default.cdf") == "stale";
        return n;
    };
    for (LONG id = 100; id < 160; ++id) WriteFileText(L"C:\\Channels\\" + std::to_wstring(id) + L"\\default.cdf", "stale");
    ASSERT_EQ(S_OK, Start());
    Stop();
    bool pending = RegGetValueW(HKEY_CURRENT_USER, kExtensionKey, L"Upgrade", RRF_RT_REG_DWORD, nullptr, nullptr,
                                nullptr) == ERROR_SUCCESS;
    EXPECT_TRUE(pending || stale() == 0) << stale() << " channels left stale, and the step is done";
    ASSERT_EQ(S_OK, Start());
    EXPECT_TRUE(PumpUntil([&] { return stale() == 0; }, 60000)) << "the next start republishes them";
}

TEST_F(ExtensionTest, AFailingAdviseLeavesNoSinkAdvised) {
    for (LONG nth : {1, 2, 3}) {
        client->FailCall(Bstr(L"Advise").get(), nth, E_FAIL);
        EXPECT_EQ(E_FAIL, Start()) << nth;
        cdf.Reset();
        client->ClearFailures();
        EXPECT_EQ(0, Sinks(L"app") + Sinks(L"channels") + Sinks(L"parcels")) << nth;
        EXPECT_EQ(S_OK, CanUnload()) << nth;
    }
}

TEST_F(ExtensionTest, ClosingTheWorkerWindowStillUnadvisesTheClient) {
    Channel(5, L"News");
    StartAndSettle([&] { return Published(L"News"); });
    HWND worker = FindWindowExW(HWND_MESSAGE, nullptr, L"KvCdfWorkerWindow", nullptr);
    if (!worker) worker = FindWindowW(L"KvCdfWorkerWindow", nullptr);
    ASSERT_NE(nullptr, worker);
    PostMessageW(worker, WM_CLOSE, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return Sinks(L"channels") == 0 && Sinks(L"app") == 0; }));
}

// A window of the client's thread that fires a channel event for each WM_APP posted to it:
// wParam 1 an addition of channel 5, 0 its resync. One event is outstanding at a time.
struct Firing {
    IClientControl* client;
    std::atomic<bool> pending{false};
};

LRESULT CALLBACK FiringWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_APP) return DefWindowProcW(window, message, wParam, lParam);
    auto* firing = reinterpret_cast<Firing*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    LONG delivered = 0;
    if (wParam) firing->client->FireChannelAdded(5, &delivered);
    else firing->client->FireChannelResync(5, 0, &delivered);
    firing->pending = false;
    return 0;
}

void DrainMessages() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
}

// The client calls its sinks on its own thread, the one that created the extension; another
// thread picks the moments, so events land during start-up, work and shutdown alike.
TEST_F(ExtensionTest, CyclesWithEventsAtRandomMomentsEndCleanly) {
    Channel(5, L"News");
    WNDCLASSW wc = {};
    wc.lpfnWndProc = FiringWindowProc;
    wc.lpszClassName = L"KvTestFiringWindow";
    RegisterClassW(&wc);
    HWND window = CreateWindowW(wc.lpszClassName, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    Firing firing{client.Get()};
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&firing));
    std::atomic<bool> done{false};
    std::thread picker([&] {
        std::mt19937 random(12);
        while (!done) {
            if (!firing.pending.exchange(true)) PostMessageW(window, WM_APP, random() % 2, 0);
            Sleep(random() % 3);
        }
    });
    for (int i = 0; i < 500; ++i) {
        HRESULT started = Start();
        EXPECT_EQ(S_OK, started) << "cycle " << i;
        if (FAILED(started)) break;  // the picker must still be joined
        PumpUntil([] { return false; }, i % 7);
        cdf->OnShutdown();
        DrainMessages();
        cdf.Reset();
        DrainMessages();
    }
    done = true;
    picker.join();
    DrainMessages();
    DestroyWindow(window);
    EXPECT_TRUE(PumpUntil([] { return CanUnload() == S_OK; }, 10000));
}

// A channel named like a shortcut the user made gets a shortcut of its own beside it.
TEST_F(ExtensionTest, UnregistrationRemovesOnlyManagedShortcutsAndKeepsTheExtensionsKey) {
    Channel(5, L"News");
    folder.Add(L"Theirs", L"file://C:\\theirs.cdf");
    Channel(6, L"Theirs");
    StartAndSettle([&] { return Published(L"News") && Entry(L"Theirs (2)") == 6; });
    EXPECT_EQ(0xFFFFFFFFu, Entry(L"Theirs"));
    Stop();
    HMODULE dll = GetModuleHandleW(L"KvCDF.dll");
    ASSERT_NE(nullptr, dll);
    kv::UniqueHkey key;
    auto unreg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));
    auto reg = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
    // The type library is English, and also found for the neutral locale (the marshaller's).
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(dll, module, MAX_PATH);
    const std::wstring typeLib = L"TypeLib\\{B5D1EAE3-286B-11D1-9D7B-00C0F018612C}";
    auto registeredFile = [&](const wchar_t* locale) {
        std::wstring key = typeLib + L"\\1.0\\" + locale + (sizeof(void*) == 8 ? L"\\win64" : L"\\win32");
        wchar_t path[MAX_PATH] = {};
        DWORD size = sizeof path;
        RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path, &size);
        return std::wstring(path);
    };
    for (const wchar_t* locale : {L"409", L"0"}) EXPECT_TRUE(kv::EqualsNoCase(module, registeredFile(locale))) << kv::ToAnsi(locale);
    EXPECT_EQ(S_OK, unreg());
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, typeLib.c_str(), 0, KEY_READ, key.put()))
        << "unregistration removes what registration wrote";
    EXPECT_FALSE(Published(L"News"));
    EXPECT_FALSE(Published(L"Theirs (2)"));
    EXPECT_TRUE(Published(L"Theirs"));
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{B5D1EAF1-286B-11D1-9D7B-00C0F018612C}", 0,
                                           KEY_READ, key.put()));
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kv::cdf::kChannelsKey, 0, KEY_READ, key.put()));
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Korvane\\ClientExtensions", 0, KEY_READ,
                                           key.put()));
    EXPECT_EQ(S_OK, unreg()) << "twice, and without a Channels key";
    ASSERT_EQ(S_OK, reg());
    DWORD upgrade = 0, size = 4;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, kExtensionKey, L"Upgrade", RRF_RT_REG_DWORD, nullptr,
                                          &upgrade, &size));
    EXPECT_EQ(255u, upgrade);
    for (const wchar_t* locale : {L"409", L"0"}) EXPECT_TRUE(kv::EqualsNoCase(module, registeredFile(locale))) << kv::ToAnsi(locale);
    StartAndSettle([&] { return Published(L"News"); });
}

}  // namespace
