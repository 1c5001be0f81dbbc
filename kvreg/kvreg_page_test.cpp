// The directory control on the directory channel's page, against the client stand-in: the host
// page check, binding, subscribing through a bound check box, and the directory's notifications
// reaching the page's data binding.
#include <windows.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "kvreg.h"
#include "platform/module_path.h"
#include "platform/text.h"
#include "standins/browser/page_host.h"
#include "tests/client/client_test_util.h"
#include "tests/support/dialog_clicker.h"

namespace {

using kv::ComPtr;
using kv::Variant;
using kv::browser::PageHost;
using kv::browser::TextParam;
using Log = std::vector<std::wstring>;

constexpr LONG kDirectoryChannel = 3;
const wchar_t kPage[] = L"C:\\Channels\\Directory\\index.htm";
const wchar_t kGlobalKey[] = L"Software\\Korvane\\Korvane\\Global";

class DirectoryPage : public ::testing::Test {
protected:
    void SetUp() override {
        app = kv::test::CreateClient();
        ASSERT_EQ(S_OK, app.As(&control));
        control->Clear();
        PutDirectoryChannel(L"C:\\Channels\\Directory", 2, 0);
        Entry(17, L"Sports Daily", L"Sports");
        Entry(18, L"Weather Now", L"Weather");
        control->SetSubscribed(18, 1);
    }
    void TearDown() override {
        page.reset();
        if (control) control->Clear();
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kGlobalKey, L"ChnDirUpdateChannel");
    }

    void PutDirectoryChannel(const wchar_t* folder, LONG mode, LONG security, const std::wstring& name = L"Channel Guide") {
        control->PutChannel(kDirectoryChannel, kv::Bstr(name).get(), kv::Bstr(folder).get(), 0, mode, security,
                            kv::Bstr(L"guide").get());
    }
    void Entry(LONG id, const wchar_t* name, const wchar_t* categories) {
        control->SetEntryField(id, 1, *Variant::String(name).get());
        control->SetEntryField(id, 8, *Variant::String(categories).get());
    }

    PageHost& Open(const wchar_t* address = kPage, kv::browser::ParamList params = {}) {
        page = std::make_unique<PageHost>(address);
        page->Create(L"Korvane.LocalRegistration", params);
        return *page;
    }
    LONG ReadyState() { return page->Get(L"ReadyState")->lVal; }
    bool Valid() { return page->Get(L"Valid")->boolVal != 0; }

    Log ClientCalls(std::vector<LONG>* windows = nullptr) {
        Variant parents, calls;
        control->GetCalls(parents.put(), calls.put());
        Log out;
        for (LONG i = 0; i < kv::test::Length(*calls.get()); ++i) {
            out.push_back(kv::test::Element(*calls.get(), i)->bstrVal);
            if (windows) windows->push_back(kv::test::LongAt(*parents.get(), i));
        }
        control->ClearCalls();
        return out;
    }
    Log BindingCalls(const wchar_t* prefix) {
        Log out;
        for (auto& c : page->Binding()->Calls())
            if (c.starts_with(prefix)) out.push_back(c);
        return out;
    }
    // The binding's row of an entry, by its raw CHANNEL_ID.
    LONG RowOf(LONG id) {
        auto& b = *page->Binding();
        for (LONG r = 1; r <= b.RowCount(); ++r) {
            Variant cell;
            b.Provider()->getVariant(r, 4, OSPFORMAT_RAW, cell.get());
            if (cell.vt() == VT_I4 && cell->lVal == id) return r;
        }
        return 0;
    }
    std::wstring Text(LONG id, const wchar_t* column) {
        LONG row = RowOf(id);
        return row ? page->Binding()->CellText(row, page->Binding()->ColumnOf(column)) : L"<no row>";
    }
    // The binding's mirror holds what a fresh read of the provider gives, cell for cell.
    void ExpectMirrorCurrent(const char* where) {
        auto& b = *page->Binding();
        DBROWCOUNT rows = 0;
        b.Provider()->getRowCount(&rows);
        ASSERT_EQ(rows, b.RowCount()) << where;
        for (LONG r = 1; r <= b.RowCount(); ++r)
            for (LONG c = 2; c <= b.ColumnCount(); ++c) {
                Variant fresh;
                b.Provider()->getVariant(r, c, OSPFORMAT_HTML, fresh.get());
                ASSERT_EQ(PageHost::FormatValue(*fresh.get()), PageHost::FormatValue(*b.Cell(r, c).get()))
                    << where << " " << r << "," << c;
            }
    }
    LONG Sinks(const wchar_t* source) {
        LONG mask = 0, count = -1;
        control->SinkCount(kv::Bstr(source).get(), &mask, &count);
        return count;
    }

    ComPtr<IClientApp2> app;
    ComPtr<IClientControl> control;
    std::unique_ptr<PageHost> page;
};

TEST_F(DirectoryPage, WorksOnlyOnTheDirectoryChannelsLocalPage) {
    struct Case {
        const char* what;
        const wchar_t* folder;
        LONG mode, security;
        const wchar_t* registry;  // ChnDirUpdateChannel, or none
        const wchar_t* page;
        bool binds;
    } cases[] = {
        {"mode 2", L"C:\\Channels\\Directory", 2, 0, nullptr, kPage, true},
        {"three slashes", L"C:\\Channels\\Directory", 2, 0, nullptr, L"file:///c:/channels/directory/x.htm", true},
        {"two slashes", L"C:\\Channels\\Directory", 2, 0, nullptr, L"file://C:/Channels/Directory/x.htm", true},
        {"escaped blank", L"C:\\Program Files\\Guide\\", 2, 0, nullptr, L"file:///c:/program%20files/guide/DIR.HTM",
         true},
        {"secure", L"C:\\Channels\\Directory", 0, 0x2, nullptr, kPage, true},
        {"named, other case", L"C:\\Channels\\Directory", 0, 1, L"CHANNEL guide", kPage, true},
        {"named by another", L"C:\\Channels\\Directory", 0, 1, L"News", kPage, false},
        {"not named", L"C:\\Channels\\Directory", 0, 0, nullptr, kPage, false},
        {"too long a name", L"C:\\Channels\\Directory", 0, 0, L"", kPage, false},
        {"sibling folder", L"C:\\Channels\\Directory", 2, 0, nullptr, L"C:\\Channels\\DirectoryOld\\index.htm", false},
        {"dot dot", L"C:\\Channels\\Directory", 2, 0, nullptr, L"file:///C:/Channels/Directory/../News/x.htm", false},
        {"http", L"C:\\Channels\\Directory", 2, 0, nullptr, L"http://server/Channels/Directory/index.htm", false},
    };
    for (const auto& c : cases) {
        // An empty registry text stands for a name of 300 characters, in the registry and on the channel.
        const std::wstring longName(300, L'x');
        PutDirectoryChannel(c.folder, c.mode, c.security, c.registry && !*c.registry ? longName : L"Channel Guide");
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kGlobalKey, L"ChnDirUpdateChannel");
        if (c.registry) {
            std::wstring value = *c.registry ? c.registry : longName;
            RegSetKeyValueW(HKEY_CURRENT_USER, kGlobalKey, L"ChnDirUpdateChannel", REG_SZ, value.c_str(),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        }
        Open(c.page);
        Variant directory;
        HRESULT hr = page->TryInvoke(L"Directory", DISPATCH_PROPERTYGET, {}, &directory);
        EXPECT_EQ(c.binds ? S_OK : E_FAIL, hr) << c.what;
        if (!c.binds) {
            EXPECT_FALSE(Valid()) << c.what;
            for (const wchar_t* method : {L"Korvane", L"Setup"})
                EXPECT_EQ(E_FAIL, page->TryInvoke(method, DISPATCH_METHOD, {}, nullptr)) << c.what;
            EXPECT_EQ(E_FAIL, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr)) << c.what;
            EXPECT_EQ(E_FAIL, page->TryInvoke(L"Entry", DISPATCH_METHOD, {Variant::I4(1)}, nullptr)) << c.what;
            EXPECT_EQ(E_FAIL, page->TryInvoke(L"Client", DISPATCH_METHOD, {Variant::I4(1)}, nullptr)) << c.what;
            EXPECT_EQ(READYSTATE_COMPLETE, ReadyState()) << c.what;
        }
        page.reset();
    }
}

TEST_F(DirectoryPage, BindsTheWholeDirectory) {
    Open(kPage, {TextParam(L"Sort", L"-NAME")});
    EXPECT_EQ(READYSTATE_INTERACTIVE, ReadyState());
    auto& binding = page->Bind(OSPFORMAT_HTML);
    EXPECT_EQ(READYSTATE_COMPLETE, ReadyState());
    EXPECT_TRUE(Valid());
    EXPECT_EQ(49, binding.ColumnCount());
    ASSERT_EQ(2, binding.RowCount());
    EXPECT_EQ(L"<SPAN CLASS=subscribed>Weather Now</SPAN>", binding.CellText(1, 5)) << "sorted by the PARAM";
    EXPECT_EQ(L"<SPAN CLASS=unsubscribed>Sports Daily</SPAN>", binding.CellText(2, 5));
    page->PumpUntilIdle();
    const auto& events = page->Events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](auto& e) { return e.name == L"OnDirectoryAvailable"; }));
    binding.ClearCalls();
    EXPECT_EQ(S_OK, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr));
    EXPECT_EQ(1u, BindingCalls(L"dataMemberChanged").size()) << "and no second read through msDataSourceObject";
    EXPECT_EQ(2, binding.RowCount());
    EXPECT_EQ(1, Sinks(L"entries"));

    // Closing the page lets go of everything.
    page.reset();
    EXPECT_EQ(0, Sinks(L"entries"));
    EXPECT_EQ(0, Sinks(L"app"));
    EXPECT_EQ(0, Sinks(L"settings"));
    HMODULE dll = GetModuleHandleW(L"KvReg.dll");
    ASSERT_NE(nullptr, dll);
    EXPECT_EQ(S_OK, kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(dll, "DllCanUnloadNow")());
}

TEST_F(DirectoryPage, SubscribesThroughABoundCheckBox) {
    Open();
    auto& binding = page->Bind(OSPFORMAT_HTML);
    page->PumpUntilIdle();
    ClientCalls();
    const LONG row = RowOf(17);
    std::vector<LONG> windows;
    EXPECT_EQ(S_OK, binding.CheckBox(row, 49, true));
    EXPECT_EQ(Log{L"Subscribe 17"}, ClientCalls(&windows));
    EXPECT_EQ(std::vector<LONG>{HandleToLong(GetActiveWindow())}, windows) << "the page's window";
    EXPECT_EQ(S_OK, binding.CheckBox(row, 49, true));
    EXPECT_EQ(Log{}, ClientCalls()) << "already subscribed";

    EXPECT_EQ(S_OK, binding.CheckBox(row, 49, false));
    EXPECT_EQ(Log{L"Unsubscribe 17"}, ClientCalls());
    Variant cell;
    binding.Provider()->getVariant(row, 49, OSPFORMAT_RAW, cell.get());
    EXPECT_EQ(VARIANT_TRUE, cell->boolVal) << "until the client reports the change";

    binding.ClearCalls();
    page->ClearEvents();
    LONG delivered = 0;
    control->FireEntryEvent(17, 4, &delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return !page->Events().empty(); }));
    EXPECT_EQ(L"OnEntryEvent", page->Events()[0].name);
    EXPECT_EQ(row, page->Events()[0].args[0]->lVal);
    auto changed = BindingCalls(L"cellChanged");
    EXPECT_EQ(49u, changed.size()) << "every cell the binding has read, once";
    EXPECT_TRUE(std::all_of(changed.begin(), changed.end(),
                            [&](const std::wstring& c) { return c.starts_with(L"cellChanged(" + std::to_wstring(row) + L","); }));
    EXPECT_TRUE(BindingCalls(L"insertedRows").empty());
    EXPECT_EQ(L"<SPAN CLASS=unsubscribed>Sports Daily</SPAN>", Text(17, L"NAME"));
    ExpectMirrorCurrent("after the entry event");
}

TEST_F(DirectoryPage, KeepsTheBindingCurrentAsEntriesComeAndGo) {
    Open(kPage, {TextParam(L"Sort", L"NAME")});
    auto& binding = page->Bind(OSPFORMAT_HTML);
    page->PumpUntilIdle();
    LONG delivered = 0;

    Entry(19, L"Arts Weekly", L"Arts");
    page->ClearEvents();
    control->FireEntryChanged(19, &delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return !page->Events().empty(); }));
    EXPECT_EQ(L"OnNewEntry", page->Events()[0].name);
    EXPECT_EQ(3, binding.RowCount());
    EXPECT_EQ(L"<SPAN CLASS=unsubscribed>Entertainment</SPAN>", Text(19, L"ENTRY_CATEGORY"));
    ExpectMirrorCurrent("after a new entry");

    control->SetEntryField(18, 1, *Variant::String(L"Weather Later").get());
    binding.ClearCalls();
    page->ClearEvents();
    control->FireEntryChanged(18, &delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return !page->Events().empty(); }));
    EXPECT_EQ(L"OnNewEntry", page->Events()[0].name);
    EXPECT_TRUE(BindingCalls(L"insertedRows").empty()) << "a changed entry is updated in place";
    EXPECT_EQ(3, binding.RowCount());
    ExpectMirrorCurrent("after a changed entry");

    page->ClearEvents();
    control->FireEntryDeleted(17, &delivered);
    control->FireEntryDeleted(4711, &delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return !page->Events().empty(); }));
    page->PumpUntilIdle(300);
    ASSERT_EQ(1u, page->Events().size()) << "an unknown entry fires nothing";
    EXPECT_EQ(L"OnDeletedEntry", page->Events()[0].name);
    EXPECT_EQ(17, page->Events()[0].args[0]->lVal);
    EXPECT_EQ(2, binding.RowCount());
    ExpectMirrorCurrent("after a deleted entry");
}

TEST_F(DirectoryPage, AFailingFirstReadEndsTheTransferAndCanBeRepeated) {
    struct {
        const wchar_t* call;
        HRESULT hr;
    } cases[] = {
        {L"IClientDirectory.Query", E_ACCESSDENIED},
        {L"IClientApp2.GetDirectory", E_ACCESSDENIED},
        {L"IClientChannel.GetLocalFolder", E_FAIL},  // the page check refuses with its own code
        {L"IClientChannel2.GetMode", E_FAIL},
    };
    for (const auto& [call, hr] : cases) {
        // The binding gets an empty, complete table first, and listens when the page reads.
        Open(kPage, {TextParam(L"AutoReset", L"0")});
        auto& binding = page->Bind(OSPFORMAT_RAW);
        binding.ClearCalls();
        control->FailCall(kv::Bstr(call).get(), 1, E_ACCESSDENIED);
        EXPECT_EQ(hr, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr))
            << kv::ToAnsi(call);
        EXPECT_EQ(Log{L"transferComplete(" + std::to_wstring(OSPXFER_ABORT) + L")"}, BindingCalls(L"transferComplete"))
            << kv::ToAnsi(call);
        EXPECT_EQ(READYSTATE_COMPLETE, ReadyState()) << kv::ToAnsi(call);
        EXPECT_EQ(S_OK, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr)) << kv::ToAnsi(call);
        EXPECT_EQ(2, binding.RowCount()) << kv::ToAnsi(call);
        EXPECT_TRUE(Valid()) << kv::ToAnsi(call);
        page.reset();
        control->ClearFailures();
    }
}

TEST_F(DirectoryPage, TheFilterAndEntriesReachThePage) {
    Open();
    page->AnswerFilter(kv::browser::ParseFilterCondition(L"NAME<>Weather Now"));
    auto& binding = page->Bind(OSPFORMAT_RAW);
    ASSERT_EQ(1, binding.RowCount());
    EXPECT_EQ(L"17", binding.CellText(1, 4));
    Variant entry;
    ASSERT_EQ(S_OK, page->TryInvoke(L"Entry", DISPATCH_METHOD, {Variant::I4(1)}, &entry));
    ASSERT_EQ(VT_DISPATCH, entry.vt());
    EXPECT_EQ(E_INVALIDARG, page->TryInvoke(L"Entry", DISPATCH_METHOD, {Variant::I4(2)}, nullptr));
    EXPECT_EQ(E_INVALIDARG, page->TryInvoke(L"Entry", DISPATCH_METHOD, {Variant::I4(0)}, nullptr));

    // A page that changes its mind gets the rejected entry back from a full read.
    page->AnswerFilter(kv::browser::ParseFilterCondition(L"NAME<>nothing"));
    EXPECT_EQ(S_OK, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr));
    EXPECT_EQ(2, binding.RowCount());
    Variant date;
    EXPECT_EQ(E_FAIL, page->TryInvoke(L"FixDate", DISPATCH_METHOD, {Variant::I4(-1)}, &date));
}

// Page script that resets the control from the directory's events: the handlers find their
// rows again, and the binding stays equal to the table.
TEST_F(DirectoryPage, SurvivesPageScriptThatResetsFromItsEvents) {
    Open(kPage, {TextParam(L"Sort", L"NAME")});
    auto& binding = page->Bind(OSPFORMAT_HTML);
    page->PumpUntilIdle();
    auto reset = [](PageHost& p, const kv::browser::EventCall&) { p.Call(L"Reset", {Variant::Bool(true)}); };
    for (const wchar_t* event : {L"OnNewEntry", L"OnEntryEvent", L"OnDeletedEntry"}) page->OnEvent(event, reset);
    LONG delivered = 0;
    Entry(19, L"Arts Weekly", L"Arts");
    control->FireEntryChanged(19, &delivered);
    control->FireEntryEvent(18, 1, &delivered);
    control->FireEntryDeleted(17, &delivered);
    control->FireEntryDeleted(19, &delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return binding.RowCount() == 1; }));
    page->PumpUntilIdle(300);
    EXPECT_EQ(L"<SPAN CLASS=subscribed>Weather Now</SPAN>", Text(18, L"NAME"));
    EXPECT_TRUE(page->HandlerErrors().empty());
    ExpectMirrorCurrent("after events that reset the control");
}

// The row a page shows is the row a check box acts on: a new entry that fails half way is not
// shown, a client field on IS_SUBSCRIBED does not hide the subscription, and page script that
// re-sorts from OnNewEntry leaves no stale row behind.
TEST_F(DirectoryPage, TickingTheRowThatShowsAnEntrySubscribesThatEntry) {
    control->SetEntryField(18, 4096, *Variant::I4(0).get());
    Open(kPage, {TextParam(L"Sort", L"NAME")});
    auto& binding = page->Bind(OSPFORMAT_HTML);
    page->PumpUntilIdle();
    EXPECT_EQ(L"<SPAN CLASS=subscribed>Weather Now</SPAN>", Text(18, L"NAME")) << "the client says subscribed";
    page->OnEvent(L"OnNewEntry", [](PageHost& p, const kv::browser::EventCall&) {
        p.Call(L"Reset", {Variant::Bool(false)});
    });
    LONG delivered = 0;
    control->SetEntryField(16, 1, *Variant::String(L"Broken").get());
    control->SetEntryField(16, 38, *Variant::I4(-5).get());
    control->FireEntryChanged(16, &delivered);
    Entry(19, L"Zulu", L"Sports");
    control->FireEntryChanged(19, &delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return binding.RowCount() == 3; }));
    page->PumpUntilIdle(300);
    ExpectMirrorCurrent("after new entries");
    const LONG nameColumn = binding.ColumnOf(L"NAME");
    for (LONG id : {17, 18, 19}) {
        ClientCalls();
        const LONG row = RowOf(id);
        ASSERT_NE(0, row) << id;
        const std::wstring shown = binding.CellText(row, nameColumn);
        EXPECT_EQ(S_OK, binding.CheckBox(row, 49, id != 18)) << kv::ToAnsi(shown);
        EXPECT_EQ(Log{(id != 18 ? L"Subscribe " : L"Unsubscribe ") + std::to_wstring(id)}, ClientCalls())
            << kv::ToAnsi(shown);
    }
}

// After the client went away and came back, a check box writes to the client of now: the write
// connects again, and its failure is the write's.
TEST_F(DirectoryPage, ACheckBoxTickedAfterTheClientCameBackReachesIt) {
    Open();
    auto& binding = page->Bind(OSPFORMAT_RAW);
    page->PumpUntilIdle();
    LONG delivered = 0;
    control->FireClientShutdown(&delivered);
    page->PumpUntilIdle(300);
    ASSERT_EQ(0, Sinks(L"entries"));
    ClientCalls();
    const LONG row = RowOf(17);
    control->FailCall(kv::Bstr(L"IClientApp2.GetDirectory").get(), 1, E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, binding.CheckBox(row, 49, true));
    EXPECT_EQ(Log{}, ClientCalls()) << "nothing went to the client that left";
    EXPECT_EQ(S_OK, binding.CheckBox(row, 49, true));
    EXPECT_EQ(Log{L"Subscribe 17"}, ClientCalls());
    EXPECT_EQ(1, Sinks(L"entries")) << "connected again";
}

TEST_F(DirectoryPage, LetsGoOfTheClientWhenItShutsDown) {
    Open();
    auto& binding = page->Bind(OSPFORMAT_RAW);
    page->PumpUntilIdle();
    page->ClearEvents();
    LONG delivered = 0;
    control->FireClientShutdown(&delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return !page->Events().empty(); }));
    EXPECT_EQ(L"OnShutdown", page->Events()[0].name);
    page->PumpUntilIdle(300);
    EXPECT_EQ(0, Sinks(L"entries"));
    EXPECT_EQ(0, Sinks(L"app"));
    EXPECT_EQ(2, binding.RowCount()) << "the table stays for the page";
    control->FireEntryDeleted(17, &delivered);
    page->PumpUntilIdle(300);
    EXPECT_EQ(2, binding.RowCount());
    // The next method that needs the client connects again.
    EXPECT_EQ(S_OK, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr));
    EXPECT_EQ(1, Sinks(L"entries"));
}

TEST_F(DirectoryPage, CommandsReachTheClient) {
    Open(kPage, {TextParam(L"AutoReset", L"0")});
    Variant client;
    ASSERT_EQ(S_OK, page->TryInvoke(L"Korvane", DISPATCH_METHOD, {}, &client));
    ASSERT_EQ(VT_DISPATCH, client.vt());
    EXPECT_EQ(S_OK, page->TryInvoke(L"Client", DISPATCH_METHOD, {Variant::I4(3)}, nullptr));
    Variant date;
    ASSERT_EQ(S_OK, page->TryInvoke(L"FixDate", DISPATCH_METHOD, {Variant::I4(0)}, &date));
    EXPECT_NEAR(25569.0, date->date, 1.0);
    EXPECT_EQ(E_FAIL, page->TryInvoke(L"Entry", DISPATCH_METHOD, {Variant::I4(1)}, nullptr)) << "nothing read yet";
    EXPECT_EQ(E_FAIL, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(false)}, nullptr));

    // A notification before the first read changes nothing and stops nothing.
    LONG delivered = 0;
    control->FireEntryChanged(17, &delivered);
    EXPECT_EQ(1, delivered);
    page->PumpUntilIdle(300);

    // The global setup dialog runs on a thread of its own. The client lives in this thread's
    // apartment here, so the dialog shows while this thread pumps.
    control->ClearCalls();
    auto dialogsShown = [&] {
        Variant parents, calls;
        control->GetCalls(parents.put(), calls.put());
        LONG n = 0;
        for (LONG i = 0; i < kv::test::Length(*calls.get()); ++i)
            n += std::wstring(kv::test::Element(*calls.get(), i)->bstrVal) == L"ShowGlobalSetup";
        return n;
    };
    kv::test::DialogClicker ok(L"Korvane Setup", IDOK);
    EXPECT_EQ(S_OK, page->TryInvoke(L"Setup", DISPATCH_METHOD, {}, nullptr));
    EXPECT_TRUE(page->PumpUntil([&] { return dialogsShown() == 1; }, 10000));
    EXPECT_TRUE(ok.Wait());
    page->PumpUntilIdle(300);
}

}  // namespace
