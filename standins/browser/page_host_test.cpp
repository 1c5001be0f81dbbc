// The page host with a control of the test's own: the address the control reads, its PARAMs,
// its events reaching the page's handlers, frozen events, property changes, the data binding's
// calls and mirror, creation by ProgID and CLSID, and a clean teardown.
#include <gtest/gtest.h>

#include <mshtml.h>

#include <cstring>

#include "platform/class_factory.h"
#include "platform/module_path.h"
#include "standins/browser/page_host.h"
#include "standins/browser/page_test_control.h"

namespace kv::browser {
namespace {

using pagetest::PageTestControl;
using Log = std::vector<std::wstring>;

ControlFactory FactoryFor(ComPtr<PageTestControl> control) {
    return [control](REFIID riid, void** ppv) { return control->QueryInterface(riid, ppv); };
}

std::wstring Text(const Variant& v) {
    Variant copy(v);
    copy.ChangeType(VT_BSTR);
    return copy->bstrVal ? copy->bstrVal : L"";
}

// A page with the test control on it, not yet created.
struct Page {
    explicit Page(std::wstring_view address = L"C:\\Channels\\News\\index.htm") : host(address) {}
    void Create(const ParamList& params = {}) { host.Create(FactoryFor(control), params); }
    ComPtr<PageTestControl> control = kv::MakeObject<PageTestControl>();
    PageHost host;
};

// Two columns and three rows, the table of most binding tests.
void FillTable(PageTestControl& control) {
    control.columns = {L"TITLE", L"SIZE"};
    control.rows.push_back({Variant::String(L"Alpha"), Variant::I4(10)});
    control.rows.push_back({Variant::String(L"Beta"), Variant::I4(200)});
    control.rows.push_back({Variant::String(L"Gamma"), Variant::I4(3000)});
}

// The mirror must equal the control's table, header included.
void ExpectMirrorIsTable(const DataBinding& binding, const PageTestControl& control) {
    ASSERT_EQ(static_cast<LONG>(control.rows.size()), binding.RowCount());
    ASSERT_EQ(static_cast<LONG>(control.columns.size()), binding.ColumnCount());
    for (LONG c = 1; c <= binding.ColumnCount(); ++c) {
        EXPECT_EQ(control.columns[c - 1], binding.CellText(0, c));
        for (LONG r = 1; r <= binding.RowCount(); ++r)
            EXPECT_EQ(Text(control.rows[r - 1][c - 1]), binding.CellText(r, c)) << "row " << r << " column " << c;
    }
}

TEST(PageHost, ControlReadsThePageAddressThroughItsSite) {
    Page page(L"C:\\Channels\\News\\..\\Sport\\index.htm");
    page.Create();
    EXPECT_EQ(L"file:///C:/Channels/Sport/index.htm", page.control->PageAddress());

    // Script's way: document.location.href, late-bound.
    ComPtr<IOleClientSite> site;
    ASSERT_EQ(S_OK, page.control->GetClientSite(site.GetAddressOf()));
    ComPtr<IOleContainer> container;
    ASSERT_EQ(S_OK, site->GetContainer(container.GetAddressOf()));
    ComPtr<IDispatch> document;
    ASSERT_EQ(S_OK, container.As(&document));
    auto get = [](IDispatch* object, const wchar_t* name, Variant* out) {
        DISPID id;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
        DISPPARAMS none = {};
        return FAILED(hr) ? hr : object->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, out->put(), nullptr, nullptr);
    };
    Variant location, href;
    ASSERT_EQ(S_OK, get(document.Get(), L"location", &location));
    ASSERT_EQ(VT_DISPATCH, location.vt());
    ASSERT_EQ(S_OK, get(location->pdispVal, L"href", &href));
    EXPECT_EQ(L"file:///C:/Channels/Sport/index.htm", Text(href));

    // The members of the document a page host has no use for answer E_NOTIMPL, not a crash.
    ComPtr<IHTMLDocument2> html;
    ASSERT_EQ(S_OK, container.As(&html));
    Bstr title;
    EXPECT_EQ(E_NOTIMPL, html->get_title(title.put()));
    VARIANT color;
    color.vt = VT_I4;
    color.lVal = 0;
    EXPECT_EQ(E_NOTIMPL, html->put_bgColor(color));
    ComPtr<IOleContainer> back;
    EXPECT_EQ(S_OK, html.As(&back));  // one object: the document is the container
}

TEST(PageHost, SitesLoadsAndConnectsInTheControlsOrder) {
    Page plain;
    plain.Create();
    EXPECT_EQ((Log{L"InitNew", L"SetClientSite", L"Advise(notify)", L"Advise(events)"}), plain.control->log);
    EXPECT_TRUE(IsEqualIID(DIID__PageTestControlEvents, plain.host.EventSource()));

    Page siteFirst;
    siteFirst.control->siteFirst = true;
    siteFirst.Create({TextParam(L"Caption", L"x")});
    EXPECT_EQ((Log{L"SetClientSite", L"Load", L"Advise(notify)", L"Advise(events)"}), siteFirst.control->log);
}

TEST(PageHost, ParamsLoadIntoPropertiesAndSaveBack) {
    Page page;
    page.Create({TextParam(L"Caption", L"Top stories"), TextParam(L"COUNT", L"12"), TextParam(L"checked", L"true"),
                 TextParam(L"Unknown", L"ignored")});
    EXPECT_EQ(L"Top stories", Text(page.host.Get(L"Caption")));
    EXPECT_EQ(12, page.host.Get(L"Count")->lVal);
    EXPECT_EQ(VARIANT_TRUE, page.host.Get(L"Checked")->boolVal);

    page.host.Put(L"Count", Variant::I4(7));
    page.host.Put(L"Checked", Variant::Bool(false));
    ParamList saved = page.host.SaveParams();
    ASSERT_EQ(3u, saved.size());
    EXPECT_EQ(L"Caption", saved[0].name);
    EXPECT_EQ(L"Top stories", ParamText(saved[0]));
    EXPECT_EQ(L"7", ParamText(saved[1]));
    EXPECT_EQ(L"false", ParamText(saved[2]));

    // What was saved loads into a fresh control on another page.
    Page again;
    again.Create(saved);
    EXPECT_EQ(7, again.host.Get(L"Count")->lVal);
    EXPECT_EQ(VARIANT_FALSE, again.host.Get(L"Checked")->boolVal);
}

TEST(PageHost, ParamThatDoesNotConvertFailsCreationCleanly) {
    Page page;
    try {
        page.Create({TextParam(L"Count", L"many")});
        FAIL() << "created";
    } catch (const PageHostError& e) {
        EXPECT_EQ(DISP_E_TYPEMISMATCH, e.Code());
        EXPECT_NE(nullptr, strstr(e.what(), "PARAMs")) << e.what();
    }
    EXPECT_FALSE(page.host.HasControl());
    EXPECT_EQ((Log{L"Load", L"SetClientSite(null)", L"Close"}), page.control->log);
}

TEST(PageHost, EventsReachHandlersByNameAndByDispid) {
    Page page;
    page.Create();
    std::vector<std::wstring> seen;
    page.host.OnEvent(L"clicked", [&](PageHost&, const EventCall& e) {
        seen.push_back(L"by name " + e.name + L" " + Text(e.args.at(0)) + L" " + Text(e.args.at(1)));
    });
    page.host.OnEvent(1, [&](PageHost&, const EventCall&) { seen.push_back(L"by id"); });
    page.host.OnEvent(1, [&](PageHost&, const EventCall&) { ThrowHr(E_INVALIDARG); });
    page.host.OnEvent(L"Clicked", [&](PageHost&, const EventCall&) { seen.push_back(L"after a failing handler"); });

    EXPECT_THROW(page.host.OnEvent(L"Clickd", [](PageHost&, const EventCall&) {}), PageHostError);

    page.control->Fire(1, {Variant::I4(5), Variant::String(L"left")});
    page.control->Fire(3);  // no handler: recorded only
    EXPECT_EQ((Log{L"by id", L"by name Clicked 5 left", L"after a failing handler"}), seen);
    ASSERT_EQ(2u, page.host.Events().size());
    EXPECT_EQ(L"Ready", page.host.Events()[1].name);
    EXPECT_TRUE(page.host.Events()[1].args.empty());
    EXPECT_EQ((Log{L"Clicked: 0x80070057"}), page.host.HandlerErrors());

    std::vector<std::wstring> printed;
    page.host.PrintEvents([&](const std::wstring& line) { printed.push_back(line); });
    page.control->Fire(1, {Variant::I4(3), Variant::String(L"x")});
    page.control->Fire(3);
    EXPECT_EQ((Log{L"Clicked(3, \"x\")", L"Ready()"}), printed);
}

TEST(PageHost, FrozenEventsArriveInOrderAfterThawing) {
    Page page;
    page.Create();
    ASSERT_EQ(S_OK, page.host.FreezeEvents(true));
    page.control->Fire(1, {Variant::I4(1), Variant::String(L"a")});
    page.control->Fire(3);
    page.host.PumpUntilIdle();
    EXPECT_TRUE(page.host.Events().empty());

    ASSERT_EQ(S_OK, page.host.FreezeEvents(false));
    ASSERT_EQ(2u, page.host.Events().size());
    EXPECT_EQ(L"Clicked", page.host.Events()[0].name);
    EXPECT_EQ(L"Ready", page.host.Events()[1].name);
    EXPECT_FALSE(page.host.Events()[0].frozen);
    EXPECT_EQ(L"FreezeEvents(1)", page.control->log.at(page.control->log.size() - 2));
    EXPECT_EQ(L"FreezeEvents(0)", page.control->log.back());
}

TEST(PageHost, PropertyChangesAreRecorded) {
    Page page;
    page.Create();
    page.control->SetReadyState(READYSTATE_COMPLETE);
    page.control->SetReadyState(READYSTATE_COMPLETE);  // no change, no notification
    page.control->SetReadyState(READYSTATE_LOADED);
    EXPECT_EQ((std::vector<DISPID>{DISPID_READYSTATE, DISPID_READYSTATE}), page.host.PropertyChanges());
}

TEST(PageHost, FilterConditionAnswersThroughReturnValue) {
    Page page;
    FillTable(*page.control.Get());
    page.Create();
    DataBinding& binding = page.host.Bind();
    page.host.AnswerFilter(ParseFilterCondition(L"SIZE>=200"));
    page.control->FilterRows();
    ASSERT_EQ(2u, page.control->rows.size());
    EXPECT_EQ(L"Beta", Text(page.control->rows[0][0]));
    EXPECT_EQ(L"deletedRows(1,1)", binding.Calls().back());
    ExpectMirrorIsTable(binding, *page.control.Get());
}

TEST(PageHost, BindingCallsInOrderAndAMirrorKeptCurrent) {
    Page page;
    FillTable(*page.control.Get());
    page.Create();
    page.control->log.clear();

    DataBinding& binding = page.host.Bind(OSPFORMAT_HTML);
    EXPECT_EQ((Log{L"msDataSourceObject(\"\")", L"addDataSourceListener", L"addOLEDBSimpleProviderListener",
                   L"getRowCount=3 getColumnCount=2"}),
              binding.Calls());
    EXPECT_EQ((Log{L"msDataSourceObject", L"addDataSourceListener", L"addOLEDBSimpleProviderListener"}),
              page.control->log);
    ExpectMirrorIsTable(binding, *page.control.Get());
    EXPECT_EQ(2, binding.ColumnOf(L"size"));

    binding.ClearCalls();
    page.control->InsertRow(1, {Variant::String(L"New"), Variant::I4(1)});
    page.control->ChangeCell(3, 2, Variant::I4(201));
    page.control->DeleteRow(4);
    page.control->CompleteTransfer();
    EXPECT_EQ((Log{L"insertedRows(1,1)", L"cellChanged(3,2)", L"deletedRows(4,1)", L"transferComplete(0)",
                   L"getRowCount=3 getColumnCount=2"}),
              binding.Calls());
    ExpectMirrorIsTable(binding, *page.control.Get());

    // A new column set: the binding asks for the data source again and reads everything.
    binding.ClearCalls();
    page.control->AddColumn(L"READ");
    EXPECT_EQ((Log{L"dataMemberChanged()", L"msDataSourceObject(\"\")", L"addDataSourceListener",
                   L"addOLEDBSimpleProviderListener", L"getRowCount=3 getColumnCount=3"}),
              binding.Calls());
    ExpectMirrorIsTable(binding, *page.control.Get());

    // A bound check box writes the cell; the control's change notice updates the mirror.
    binding.ClearCalls();
    ASSERT_EQ(S_OK, binding.CheckBox(2, 3, true));
    EXPECT_EQ(L"setVariant(2,3,0)", page.control->log.back());
    EXPECT_EQ((Log{L"cellChanged(2,3)", L"setVariant(2,3)=0x00000000"}), binding.Calls());
    EXPECT_EQ(VT_BOOL, binding.Cell(2, 3).vt());
    EXPECT_EQ(VARIANT_TRUE, binding.Cell(2, 3)->boolVal);
    EXPECT_TRUE(binding.Errors().empty());

    page.control->setVariantFailure = E_ACCESSDENIED;
    EXPECT_EQ(E_ACCESSDENIED, binding.CheckBox(2, 3, false));
    EXPECT_EQ(VARIANT_TRUE, binding.Cell(2, 3)->boolVal);
}

TEST(PageHost, NotificationsOutsideTheTableAreReportedNotApplied) {
    Page page;
    FillTable(*page.control.Get());
    page.Create();
    DataBinding& binding = page.host.Bind();
    page.control->Notify("insertedRows", 5, 1);
    page.control->Notify("insertedRows", 0, 1);
    page.control->Notify("insertedRows", 1, 1000000);
    page.control->Notify("deletedRows", 2, 5);
    page.control->Notify("cellChanged", 1, 9);
    page.control->Notify("cellChanged", -1, 1);
    EXPECT_EQ(6u, binding.Errors().size());
    ExpectMirrorIsTable(binding, *page.control.Get());
}

TEST(PageHost, DataSourceFailureIsReportedWithItsCode) {
    Page page;
    page.Create();
    page.control->dataSourceFailure = E_ACCESSDENIED;
    try {
        page.host.Bind();
        FAIL() << "bound";
    } catch (const PageHostError& e) {
        EXPECT_EQ(E_ACCESSDENIED, e.Code());
    }
    ASSERT_NE(nullptr, page.host.Binding());
    EXPECT_EQ(L"msDataSourceObject failed 0x80070005", page.host.Binding()->Calls().back());
    EXPECT_EQ(0, page.host.Binding()->RowCount());
}

HRESULT CreateTestControl(REFIID riid, void** ppv) { return CreateObject<PageTestControl>(riid, ppv); }

TEST(PageHost, CreatesARegisteredControlByProgIdOrClsid) {
    const wchar_t* progId = L"KvKit.PageHostTest.Control";
    const std::wstring key = std::wstring(progId) + L"\\CLSID";
    wchar_t clsidText[40];
    StringFromGUID2(CLSID_PageTestControl, clsidText, 40);
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, clsidText,
                                             static_cast<DWORD>((wcslen(clsidText) + 1) * sizeof(wchar_t))));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, ClassFactory::Create(CreateTestControl, IID_PPV_ARGS(&factory)));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_PageTestControl, factory.Get(), CLSCTX_INPROC_SERVER,
                                          REGCLS_MULTIPLEUSE, &cookie));

    for (const wchar_t* name : {progId, static_cast<const wchar_t*>(clsidText)}) {
        PageHost host(L"C:\\Channels\\News\\index.htm");
        host.Create(name, {TextParam(L"Caption", L"registered")});
        EXPECT_EQ(L"registered", Text(host.Get(L"Caption")));
        EXPECT_TRUE(IsEqualIID(DIID__PageTestControlEvents, host.EventSource()));
    }

    PageHost host(L"C:\\x.htm");
    try {
        host.Create(L"KvKit.PageHostTest.NoSuchControl");
        FAIL() << "created";
    } catch (const PageHostError& e) {
        EXPECT_TRUE(FAILED(e.Code()));
        EXPECT_NE(nullptr, strstr(e.what(), "KvKit.PageHostTest.NoSuchControl")) << e.what();
    }

    CoRevokeClassObject(cookie);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, progId);
}

TEST(PageHost, EventSourceFoundThroughTheRegisteredTypeLibrary) {
    // The control's type library registered as a control's installer would: the library, and the
    // class's TypeLib entry.
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(S_OK, LoadTypeLibEx(ModulePath(nullptr).c_str(), REGKIND_REGISTER, lib.GetAddressOf()));
    wchar_t clsidText[40], libText[40];
    StringFromGUID2(CLSID_PageTestControl, clsidText, 40);
    StringFromGUID2(LIBID_PageTestControlLib, libText, 40);
    const std::wstring key = std::wstring(L"CLSID\\") + clsidText;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CLASSES_ROOT, (key + L"\\TypeLib").c_str(), nullptr, REG_SZ,
                                             libText, static_cast<DWORD>((wcslen(libText) + 1) * sizeof(wchar_t))));

    {
        Page page;
        page.control->noClassInfo = true;
        page.Create();
        EXPECT_TRUE(IsEqualIID(DIID__PageTestControlEvents, page.host.EventSource()));
        page.control->Fire(3);
        ASSERT_EQ(1u, page.host.Events().size());
        EXPECT_EQ(L"Ready", page.host.Events()[0].name);
    }

    RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    UnRegisterTypeLib(LIBID_PageTestControlLib, 1, 0, LOCALE_NEUTRAL, SYS_WIN32);

    // Neither class information nor a registered library: the events arrive, known by number.
    Page page;
    page.control->noClassInfo = true;
    page.Create();
    IID source = DIID__PageTestControlEvents;
    page.host.ConnectEvents(&source);
    page.control->Fire(3);
    ASSERT_EQ(1u, page.host.Events().size());
    EXPECT_EQ(L"#3", page.host.Events()[0].name);
}

TEST(PageHost, ObjectThatIsNoControlIsRefused) {
    PageHost host(L"C:\\x.htm");
    try {
        host.Create([](REFIID riid, void** ppv) { return CreateObject<PropertyBag>(riid, ppv); });
        FAIL() << "created";
    } catch (const PageHostError& e) {
        EXPECT_EQ(E_NOINTERFACE, e.Code());
        EXPECT_NE(nullptr, strstr(e.what(), "IOleObject")) << e.what();
    }
    EXPECT_FALSE(host.HasControl());
    EXPECT_THROW(host.Bind(), PageHostError);
    EXPECT_EQ(E_NOINTERFACE, host.FreezeEvents(true));
}

TEST(PropertyBag, ReadsAsTheControlAsks) {
    auto bag = kv::MakeObject<PropertyBag>(ParamList{TextParam(L"Count", L"12"), TextParam(L"Flag", L"TRUE"),
                                                TextParam(L"Text", L"abc")});
    struct Case {
        const wchar_t* name;
        VARTYPE asked;
        HRESULT hr;
        VARTYPE got;
    } cases[] = {
        {L"count", VT_I4, S_OK, VT_I4},        {L"Count", VT_EMPTY, S_OK, VT_BSTR},
        {L"Flag", VT_BOOL, S_OK, VT_BOOL},     {L"Text", VT_I4, DISP_E_TYPEMISMATCH, VT_I4},
        {L"Missing", VT_BSTR, E_INVALIDARG, VT_BSTR},
    };
    for (const auto& c : cases) {
        Variant value;
        value->vt = c.asked;
        EXPECT_EQ(c.hr, bag->Read(c.name, value.get(), nullptr)) << testing::PrintToString(std::wstring(c.name));
        EXPECT_EQ(c.got, value.vt()) << testing::PrintToString(std::wstring(c.name));
    }
    EXPECT_EQ(E_POINTER, bag->Read(L"Count", nullptr, nullptr));
    EXPECT_EQ(E_POINTER, bag->Read(nullptr, Variant().get(), nullptr));

    Variant seven = Variant::I4(7);
    ASSERT_EQ(S_OK, bag->Write(L"COUNT", seven.get()));
    ASSERT_EQ(3u, bag->Params().size());
    EXPECT_EQ(L"7", ParamText(bag->Params()[0]));
}

TEST(PageHost, CloseUnadvisesTakesTheSiteBackAndReleasesEverything) {
    LONG before = ModuleLockCount();
    {
        Page page;
        FillTable(*page.control.Get());
        page.Create();
        page.host.Bind();
        page.host.OnEvent(L"Clicked", [](PageHost&, const EventCall&) {});
        page.control->Fire(1, {Variant::I4(1), Variant::String(L"a")});
        page.control->log.clear();
        page.host.Close();
        EXPECT_EQ((Log{L"removeOLEDBSimpleProviderListener", L"Unadvise(events)", L"Unadvise(notify)",
                       L"SetClientSite(null)", L"Close"}),
                  page.control->log);
        EXPECT_FALSE(page.host.HasControl());
        page.host.Close();  // twice is harmless
    }
    EXPECT_EQ(before, ModuleLockCount());
    EXPECT_EQ(0, ModuleLockCount()) << "objects of earlier tests are still alive";
}

bool timerFired = false;
void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) { timerFired = true; }

TEST(MessagePump, WaitsForAConditionWithATimeOut) {
    timerFired = false;
    UINT_PTR timer = SetTimer(nullptr, 0, 30, OnTimer);
    EXPECT_TRUE(PumpUntil([] { return timerFired; }, 5000));
    KillTimer(nullptr, timer);

    DWORD start = GetTickCount();
    EXPECT_FALSE(PumpUntil([] { return false; }, 100));
    EXPECT_GE(GetTickCount() - start, 90u);

    for (int i = 0; i < 3; ++i) PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0);
    EXPECT_TRUE(PumpUntilIdle());
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
}

}  // namespace
}  // namespace kv::browser
