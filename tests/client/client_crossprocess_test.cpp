// The client as the kit meets it on a desktop: a program of its own, started by COM as a local
// server, its objects marshalled between processes, its events calling back into this process,
// its main window answering the shutdown protocol. Runs in a prefix where only the program (no
// in-process server) is registered for "Korvane".
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/module_path.h"
#include "platform/text.h"
#include "tests/client/client_process.h"
#include "tests/client/client_test_util.h"
#include "tests/client/recording_sinks.h"

namespace kv::test {
namespace {

TEST(ClientProcess, ServesItsObjectsEventsAndWindowAcrossProcesses) {
    EventLog log;
    DWORD clientPid = 0;
    {
        auto app = CreateClient();
        EXPECT_EQ(GetModuleHandleW(L"KorvaneClient.dll"), nullptr);  // not served in-process

        ComPtr<IClientControl> control;
        ASSERT_EQ(app.As(&control), S_OK);
        ASSERT_EQ(control->Clear(), S_OK);
        ASSERT_EQ(control->PutChannel(5, Bstr(L"News").get(), Bstr(L"C:\\Channels\\News").get(), 0x400, 0, 0,
                                      Bstr(L"news").get()),
                  S_OK);
        ASSERT_EQ(control->SetStoryProperty(5, 101, Bstr(L"TITLE").get(), Bstr(L"Hello").get(), 1), S_OK);

        // A channel read through the marshalled interfaces.
        ComPtr<IChannelCollection> channels;
        ASSERT_EQ(app->GetChannels(channels.GetAddressOf()), S_OK);
        ComPtr<IClientChannel> channel;
        ASSERT_EQ(channels->Item(*Str(L"n:News").get(), channel.GetAddressOf()), S_OK);
        Bstr folder;
        LONG flags = 0;
        EXPECT_EQ(channel->GetLocalFolder(folder.put()), S_OK);
        EXPECT_EQ(folder.str(), L"C:\\Channels\\News");
        EXPECT_EQ(channel->GetFlags(&flags), S_OK);
        EXPECT_EQ(flags, 0x400);
        ComPtr<IClientChannel2> channel2;
        ASSERT_EQ(channel.As(&channel2), S_OK);
        Variant snapshot;
        ASSERT_EQ(channel2->GetStorySnapshot(1, 1, snapshot.get()), S_OK);
        Variant part = Element(*snapshot.get(), 1);
        EXPECT_EQ(LongAt(*Element(*part.get(), 0).get(), 0), 101);
        EXPECT_EQ(StringAt(*Element(*part.get(), 2).get(), 0), L"Hello");
        ComPtr<IClientChannel> missing;
        EXPECT_EQ(channels->Item(*Variant::I4(6).get(), missing.GetAddressOf()), E_INVALIDARG);

        // An event delivered back into this process, on this thread.
        ComPtr<IStorySource> stories;
        ASSERT_EQ(app->GetStorySource(stories.GetAddressOf()), S_OK);
        LONG storyCookie = 0, appCookie = 0;
        ASSERT_EQ(stories->Advise(0x1FFFFFFF, MakeObject<StorySink>(&log)->Unknown(), &storyCookie), S_OK);
        ASSERT_EQ(app->Advise(-1, MakeObject<AppSink>(&log)->Unknown(), &appCookie), S_OK);
        LONG delivered = 0;
        ASSERT_EQ(control->FireStoriesAdded(5, *Variant::I4(101).get(), &delivered), S_OK);
        EXPECT_EQ(delivered, 1);
        auto events = log.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].name, "added");
        EXPECT_EQ(events[0].args, "5 101");
        EXPECT_EQ(events[0].thread, GetCurrentThreadId());
        EXPECT_EQ(stories->Unadvise(storyCookie), S_OK);
        // The application sink stays advised: the client says goodbye when it closes.
    }

    // The main window, found by title, answers the shutdown protocol.
    HWND window = FindWindowW(nullptr, L"Korvane Agent");
    ASSERT_NE(window, nullptr);
    GetWindowThreadProcessId(window, &clientPid);
    ASSERT_NE(clientPid, GetCurrentProcessId());
    UniqueHandleObj process(OpenProcess(SYNCHRONIZE, FALSE, clientPid));
    ASSERT_TRUE(process);
    DWORD_PTR answer = 99;
    ASSERT_NE(SendMessageTimeoutW(window, RegisterWindowMessageW(L"KVcanCloseUI"), 0, 0, SMTO_NORMAL, 10000, &answer), 0u);
    EXPECT_EQ(answer, 0u);
    ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    EXPECT_TRUE(PumpUntil(process.get(), 20000));  // pumping: the goodbye calls into this thread
    auto events = log.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].name, "shutdown");
    EXPECT_EQ(FindWindowW(nullptr, L"Korvane Agent"), nullptr);
}

}  // namespace
}  // namespace kv::test

namespace kv::test {
namespace {

constexpr wchar_t kExtensionKey[] =
    L"Software\\Korvane\\ClientExtensions\\{435255AA-7077-47D5-9D4E-22477F2AE28F}";
constexpr wchar_t kExtensionLogKey[] = L"Software\\KvKitTests\\ClientExtension";

std::wstring ExtensionLog() {
    wchar_t text[2048] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    RegGetValueW(HKEY_CURRENT_USER, kExtensionLogKey, L"Log", RRF_RT_REG_SZ, nullptr, text, &size);
    return text;
}

// The test extension registered and listed for the client while the object lives.
class ListedExtension {
public:
    ListedExtension() {
        std::wstring self = ModulePath(nullptr);
        dll_.reset(LoadLibraryW((self.substr(0, self.find_last_of(L'\\')) + L"\\KvClientTestExtension.dll").c_str()));
        if (auto reg = GetProc<HRESULT(STDAPICALLTYPE*)()>(dll_.get(), "DllRegisterServer")) registered_ = SUCCEEDED(reg());
        UniqueHkey key;
        listed_ = RegCreateKeyExW(HKEY_CURRENT_USER, kExtensionKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                                  nullptr) == ERROR_SUCCESS;
        RegDeleteTreeW(HKEY_CURRENT_USER, kExtensionLogKey);
    }
    ~ListedExtension() {
        RegDeleteTreeW(HKEY_CURRENT_USER, kExtensionKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kExtensionLogKey);
        if (auto unreg = GetProc<HRESULT(STDAPICALLTYPE*)()>(dll_.get(), "DllUnregisterServer")) unreg();
    }
    bool Ready() const { return registered_ && listed_; }

private:
    UniqueModule dll_;
    bool registered_ = false, listed_ = false;
};

TEST(ClientProcess, LoadsItsExtensionsAndShutsThemDownWhenClosed) {
    ListedExtension extension;
    ASSERT_TRUE(extension.Ready());
    ClientProcess client(L"/data:" + ToWide(KV_CLIENT_DEMO_DIR));
    HWND window = client.MainWindow();
    ASSERT_NE(window, nullptr);
    for (int i = 0; i < 100 && ExtensionLog().empty(); ++i) Sleep(50);
    // The extension reached the program's own client, not an in-process server of its own.
    EXPECT_EQ(ExtensionLog(), L"initialize 1 served-by-program\n");
    ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    ASSERT_TRUE(client.WaitExit(20000));
    EXPECT_EQ(ExtensionLog(), L"initialize 1 served-by-program\nshutdown\n");
}

}  // namespace
}  // namespace kv::test
