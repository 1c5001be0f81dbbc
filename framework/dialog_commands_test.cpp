// The control's client commands against the in-process client, which lives in an apartment of
// its own (as the real client lives in its own process): its setup dialogs stay open on that
// apartment's thread while this thread, the page's, goes on calling and pumping messages.
#include <windows.h>
#include <ole2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "framework/dialog_commands.h"
#include "platform/com_object.h"
#include "platform/raii.h"
#include "tests/client/client_test_util.h"

namespace kv::test {
namespace {

std::atomic<int> g_destroyed{0};
std::atomic<DWORD> g_destroyedOn{0};

// Stands in for the story control: owns a launcher and counts its destruction.
class CountingControl : public ComObject<CountingControl, IPersist> {
public:
    CountingControl() : dialogs_(Unknown()) {}
    ~CountingControl() override {
        g_destroyedOn = GetCurrentThreadId();
        ++g_destroyed;
    }
    STDMETHODIMP GetClassID(CLSID* clsid) override {
        *clsid = CLSID_NULL;
        return S_OK;
    }
    SetupDialogLauncher& Dialogs() { return dialogs_; }

private:
    SetupDialogLauncher dialogs_;
};

// A channel that cannot be marshalled: every step of its custom marshalling fails.
constexpr HRESULT kMarshalFailure = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x7A01);

class UnmarshallableChannel : public ComObject<UnmarshallableChannel, IClientChannel, IMarshal> {
public:
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetName(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetId(long*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDirectoryKey(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFlags(long*) override { return E_NOTIMPL; }
    STDMETHODIMP GetLocalFolder(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP Refresh() override { return E_NOTIMPL; }
    STDMETHODIMP Drop() override { return E_NOTIMPL; }
    STDMETHODIMP ShowSetup(long) override { return E_NOTIMPL; }

    STDMETHODIMP GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID*) override { return kMarshalFailure; }
    STDMETHODIMP GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD*) override { return kMarshalFailure; }
    STDMETHODIMP MarshalInterface(IStream*, REFIID, void*, DWORD, void*, DWORD) override { return kMarshalFailure; }
    STDMETHODIMP UnmarshalInterface(IStream*, REFIID, void**) override { return kMarshalFailure; }
    STDMETHODIMP ReleaseMarshalData(IStream*) override { return kMarshalFailure; }
    STDMETHODIMP DisconnectObject(DWORD) override { return kMarshalFailure; }
};

// Pumps this thread's messages until `done` holds (true) or the time is up (false).
bool PumpWhile(const std::function<bool()>& done, DWORD timeoutMs = 10000) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

// The client, created in an apartment thread of its own that does nothing but serve it.
class ClientApartment {
public:
    ClientApartment() {
        UniqueHandleObj ready(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        IStream* stream = nullptr;
        HRESULT created = E_FAIL;
        thread_ = std::thread([&] {
            CoInitScope com(COINIT_APARTMENTTHREADED);
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
            threadId_ = GetCurrentThreadId();
            ComPtr<IClientApp2> app;
            try {
                app = CreateClient();
                created = CoMarshalInterThreadInterfaceInStream(IID_IClientApp2, app.Get(), &stream);
            } catch (...) {
                created = CaughtHResult();
            }
            SetEvent(ready.get());
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        });
        WaitForSingleObject(ready.get(), INFINITE);
        ThrowIfFailed(created);
        ThrowIfFailed(CoGetInterfaceAndReleaseStream(stream, IID_PPV_ARGS(app_.GetAddressOf())));
    }
    ~ClientApartment() {
        app_.Reset();
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    IClientApp2* App() const { return app_.Get(); }

private:
    std::thread thread_;
    DWORD threadId_ = 0;
    ComPtr<IClientApp2> app_;
};

class DialogCommands : public testing::Test {
protected:
    void SetUp() override {
        client_ = std::make_unique<ClientApartment>();
        app_ = client_->App();
        ASSERT_EQ(app_.As(&control_), S_OK);
        ASSERT_EQ(control_->Clear(), S_OK);
        Put(5, L"News", 0, 1);
        Put(6, L"Privileged", 2, 0);
        Put(7, L"Secure", 0, 2);
        Put(8, L"Both", 2, 3);
        Put(9, L"Other mode", 1, 5);
        ASSERT_EQ(app_->GetChannels(channels_.GetAddressOf()), S_OK);
    }
    void TearDown() override {
        if (control_) {
            control_->CloseDialogs();
            control_->Clear();
        }
        control_.Reset();
        channels_.Reset();
        app_.Reset();
        client_.reset();
    }

    void Put(LONG id, const wchar_t* name, LONG mode, LONG security) {
        ASSERT_EQ(control_->PutChannel(id, Bstr(name).get(), Bstr(L"C:\\Channels\\" + std::wstring(name)).get(), 0,
                                       mode, security, Bstr(L"key").get()),
                  S_OK);
    }
    ComPtr<IClientChannel2> Channel(LONG id) {
        ComPtr<IClientChannel> channel;
        ThrowIfFailed(channels_->Item(*Variant::I4(id).get(), channel.GetAddressOf()));
        ComPtr<IClientChannel2> channel2;
        ThrowIfFailed(channel.As(&channel2));
        return channel2;
    }
    LONG OpenDialogs() {
        LONG open = -1;
        EXPECT_EQ(control_->OpenDialogCount(&open), S_OK);
        return open;
    }
    bool WaitForOpenDialogs(LONG count) {
        return PumpWhile([&] { return OpenDialogs() == count; });
    }
    std::vector<std::wstring> Calls(std::vector<LONG>* windows = nullptr) {
        Variant texts, parents;
        ThrowIfFailed(control_->GetCalls(parents.get(), texts.get()));
        std::vector<std::wstring> out;
        for (LONG i = 0; i < Length(*texts.get()); ++i) {
            out.push_back(Element(*texts.get(), i)->bstrVal);
            if (windows) windows->push_back(LongAt(*parents.get(), i));
        }
        return out;
    }

    std::unique_ptr<ClientApartment> client_;
    ComPtr<IClientApp2> app_;
    ComPtr<IClientControl> control_;
    ComPtr<IChannelCollection> channels_;
};

TEST_F(DialogCommands, OneDialogAtATimeOfEitherKind) {
    auto page = MakeObject<CountingControl>();
    auto& dialogs = page->Dialogs();
    auto channel = Channel(5);

    ASSERT_EQ(dialogs.Setup(channel.Get()), S_OK);
    EXPECT_EQ(dialogs.Setup(channel.Get()), S_FALSE);
    EXPECT_EQ(dialogs.GlobalSetup(app_.Get()), S_FALSE);
    ASSERT_TRUE(WaitForOpenDialogs(1));
    EXPECT_TRUE(dialogs.DialogOpen());
    EXPECT_EQ(dialogs.GlobalSetup(app_.Get()), S_FALSE);
    EXPECT_EQ(dialogs.Setup(channel.Get()), S_FALSE);
    EXPECT_EQ(OpenDialogs(), 1);

    ASSERT_EQ(control_->CloseDialogs(), S_OK);
    ASSERT_TRUE(PumpWhile([&] { return !dialogs.DialogOpen(); }));

    // The next dialog, of the other kind, may start once the first has closed.
    ASSERT_EQ(dialogs.GlobalSetup(app_.Get()), S_OK);
    EXPECT_EQ(dialogs.Setup(channel.Get()), S_FALSE);
    ASSERT_TRUE(WaitForOpenDialogs(1));
    ASSERT_EQ(control_->CloseDialogs(), S_OK);
    ASSERT_TRUE(PumpWhile([&] { return !dialogs.DialogOpen(); }));

    EXPECT_EQ(Calls(), (std::vector<std::wstring>{L"ShowSetup 5", L"ShowGlobalSetup"}));
}

TEST_F(DialogCommands, DialogIsOwnedByTheActiveWindow) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KvDialogCommandsTestPage";
    RegisterClassW(&wc);
    UniqueHwnd page(CreateWindowExW(0, wc.lpszClassName, L"Dialog commands test page", WS_OVERLAPPEDWINDOW, 0, 0,
                                    200, 100, nullptr, nullptr, wc.hInstance, nullptr));
    ASSERT_TRUE(page.get());
    ShowWindow(page.get(), SW_SHOW);
    SetActiveWindow(page.get());
    ASSERT_EQ(GetActiveWindow(), page.get());

    auto control = MakeObject<CountingControl>();
    ASSERT_EQ(control->Dialogs().Setup(Channel(5).Get()), S_OK);
    ASSERT_TRUE(WaitForOpenDialogs(1));
    control_->CloseDialogs();
    ASSERT_TRUE(PumpWhile([&] { return !control->Dialogs().DialogOpen(); }));
    ASSERT_EQ(control->Dialogs().GlobalSetup(app_.Get()), S_OK);
    ASSERT_TRUE(WaitForOpenDialogs(1));
    control_->CloseDialogs();
    ASSERT_TRUE(PumpWhile([&] { return !control->Dialogs().DialogOpen(); }));

    std::vector<LONG> parents;
    Calls(&parents);
    LONG expected = HandleToLong(page.get());
    EXPECT_EQ(parents, (std::vector<LONG>{expected, expected}));
}

TEST_F(DialogCommands, ControlLetGoOfDuringItsDialogIsDestroyedWhenTheDialogCloses) {
    auto channel = Channel(5);
    const int before = g_destroyed;
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds; ++round) {
        {
            auto control = MakeObject<CountingControl>();
            ASSERT_EQ(control->Dialogs().Setup(channel.Get()), S_OK) << round;
        }  // the page lets go at once, maybe before the dialog thread has even started
        ASSERT_TRUE(WaitForOpenDialogs(1)) << round;
        EXPECT_EQ(g_destroyed, before + round) << round;
        ASSERT_EQ(control_->CloseDialogs(), S_OK);
        ASSERT_TRUE(PumpWhile([&] { return g_destroyed == before + round + 1; })) << round;
        // Destroyed in its own apartment, not on the dialog thread.
        EXPECT_EQ(g_destroyedOn, GetCurrentThreadId());
    }
    EXPECT_EQ(Calls().size(), static_cast<size_t>(kRounds));
    EXPECT_EQ(ModuleLockCount(), 0);
}

TEST_F(DialogCommands, FailuresOnTheDialogThreadStillFreeTheSlotAndTheControl) {
    struct Case {
        const wchar_t* failing;
        bool channelSetup;
    };
    const Case cases[] = {
        {L"IClientChannel.ShowSetup", true},
        {L"IClientApp.GetSettings", false},
        {L"IClientSettings.ShowGlobalSetup", false},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(control_->FailCall(Bstr(c.failing).get(), 1, E_ACCESSDENIED), S_OK);
        const int before = g_destroyed;
        {
            auto control = MakeObject<CountingControl>();
            auto& dialogs = control->Dialogs();
            ASSERT_EQ(c.channelSetup ? dialogs.Setup(Channel(5).Get()) : dialogs.GlobalSetup(app_.Get()), S_OK)
                << c.failing;
            ASSERT_TRUE(PumpWhile([&] { return !dialogs.DialogOpen(); })) << c.failing;
        }
        EXPECT_TRUE(PumpWhile([&] { return g_destroyed == before + 1; })) << c.failing;
        EXPECT_EQ(OpenDialogs(), 0) << c.failing;
        control_->ClearFailures();
    }
    EXPECT_EQ(ModuleLockCount(), 0);
}

// Points this program's import `name` from `dll` at `replacement` and returns what it pointed
// at, as a tool that intercepts a system call would; the dialog code is linked into this program.
void* ReplaceImport(const char* dll, const char* name, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; ++imp) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + imp->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<char*>(byName->Name), name) != 0) continue;
            DWORD protect = 0;
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &protect);
            void* previous = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protect, &protect);
            return previous;
        }
    }
    return nullptr;
}

HRESULT WINAPI CoInitializeOutOfMemory(LPVOID) { return E_OUTOFMEMORY; }

TEST_F(DialogCommands, ADialogThreadWithoutItsApartmentStillLetsTheControlGo) {
    const int before = g_destroyed;
    {
        auto control = MakeObject<CountingControl>();
        auto& dialogs = control->Dialogs();
        auto channel = Channel(5);
        void* original = ReplaceImport("ole32.dll", "CoInitialize", reinterpret_cast<void*>(CoInitializeOutOfMemory));
        ASSERT_NE(nullptr, original);
        HRESULT started = dialogs.Setup(channel.Get());
        bool ended = PumpWhile([&] { return !dialogs.DialogOpen(); });
        ReplaceImport("ole32.dll", "CoInitialize", original);
        ASSERT_EQ(S_OK, started);
        ASSERT_TRUE(ended);
    }
    EXPECT_TRUE(PumpWhile([&] { return g_destroyed == before + 1; })) << "the control is destroyed";
    EXPECT_EQ(g_destroyedOn, GetCurrentThreadId()) << "in its own apartment";
    EXPECT_EQ(OpenDialogs(), 0);
    EXPECT_EQ(ModuleLockCount(), 0);
    EXPECT_TRUE(Calls().empty()) << "no dialog";
}

TEST_F(DialogCommands, MarshallingFailureIsReturnedAndStartsNothing) {
    const int before = g_destroyed;
    {
        auto control = MakeObject<CountingControl>();
        auto unmarshallable = MakeObject<UnmarshallableChannel>();
        EXPECT_EQ(control->Dialogs().Setup(unmarshallable.Get()), kMarshalFailure);
        EXPECT_FALSE(control->Dialogs().DialogOpen());
        EXPECT_EQ(control->Dialogs().Setup(nullptr), E_POINTER);
        EXPECT_EQ(control->Dialogs().GlobalSetup(nullptr), E_POINTER);
    }
    EXPECT_EQ(g_destroyed, before + 1);  // nothing kept a reference to the control
    EXPECT_EQ(OpenDialogs(), 0);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(DialogCommands, ClientObjectOnlyForPrivilegedOrSecureChannels) {
    struct Case {
        LONG channel;
        bool handedOut;
    };
    const Case cases[] = {{5, false}, {6, true}, {7, true}, {8, true}, {9, false}};
    ComPtr<IUnknown> appIdentity;
    ASSERT_EQ(app_.As(&appIdentity), S_OK);
    for (const Case& c : cases) {
        ComPtr<IDispatch> client;
        ASSERT_EQ(ClientObjectForPage(Channel(c.channel).Get(), app_.Get(), client.GetAddressOf()), S_OK)
            << c.channel;
        ASSERT_EQ(client != nullptr, c.handedOut) << c.channel;
        if (client) {
            ComPtr<IUnknown> identity;
            ASSERT_EQ(client.As(&identity), S_OK);
            EXPECT_EQ(identity.Get(), appIdentity.Get()) << c.channel;
        }
    }

    // A failing client call comes back as it failed, with nothing handed out.
    ASSERT_EQ(control_->FailCall(Bstr(L"GetSecurityFlags").get(), 1, E_ACCESSDENIED), S_OK);
    IDispatch* none = nullptr;
    EXPECT_EQ(ClientObjectForPage(Channel(7).Get(), app_.Get(), &none), E_ACCESSDENIED);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(ClientObjectForPage(Channel(7).Get(), app_.Get(), nullptr), E_POINTER);
}

TEST_F(DialogCommands, ClientViewOpensTheClientWindow) {
    EXPECT_EQ(OpenClientView(app_.Get(), 3), S_OK);
    ASSERT_EQ(control_->FailCall(Bstr(L"OpenClientWindow").get(), 1, E_ACCESSDENIED), S_OK);
    EXPECT_EQ(OpenClientView(app_.Get(), 4), E_ACCESSDENIED);
    EXPECT_EQ(Calls(), (std::vector<std::wstring>{L"OpenClientWindow 3"}));
}

TEST(ClientTime, ScriptDateIsTheLocalTimeOfTheMoment) {
    SYSTEMTIME epoch{1970, 1, 4, 1, 0, 0, 0, 0}, local{};
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &epoch, &local));
    DATE expected = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&local, &expected));

    DATE date = -1;
    ASSERT_EQ(ScriptDateFromClientTime(0, &date), S_OK);
    EXPECT_NEAR(date, expected, 1e-9);
    EXPECT_EQ(ScriptDateFromClientTime(-1, &date), E_FAIL);
    EXPECT_EQ(ScriptDateFromClientTime(0x7FFFFFFF, &date), S_OK);  // early 2038
    EXPECT_GT(date, 50000.0);
    EXPECT_EQ(ScriptDateFromClientTime(0, nullptr), E_POINTER);
}

}  // namespace
}  // namespace kv::test
