// The story control on a channel's page, against the client stand-in: binding, the ready-state
// protocol, and the road of a story from the client to the page's data binding.
#include <windows.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "kvdc.h"
#include "platform/module_path.h"
#include "platform/text.h"
#include "standins/browser/page_host.h"
#include "tests/client/client_test_util.h"

namespace {

using kv::ComPtr;
using kv::Variant;
using kv::browser::PageHost;
using kv::browser::TextParam;

constexpr LONG kNews = 5;
constexpr LONG kSports = 6;

class StoryPage : public ::testing::Test {
protected:
    void SetUp() override {
        app = kv::test::CreateClient();
        ASSERT_EQ(S_OK, app.As(&control));
        control->Clear();
        control->PutChannel(kNews, kv::Bstr(L"News").get(), kv::Bstr(L"C:\\Channels\\News").get(), 0, 0, 0,
                            kv::Bstr(L"news").get());
        control->PutChannel(kSports, kv::Bstr(L"Sports").get(), kv::Bstr(L"C:\\Channels\\Sports").get(), 0, 0, 0,
                            kv::Bstr(L"sports").get());
        AddStory(kNews, 101, L"Alpha");
        AddStory(kNews, 102, L"Bravo");
    }
    void TearDown() override {
        page.reset();
        if (control) control->Clear();
    }

    void AddStory(LONG channel, LONG id, const wchar_t* title, const wchar_t* extraName = nullptr,
                  const wchar_t* extraValue = nullptr) {
        control->SetStoryProperty(channel, id, kv::Bstr(L"TITLE").get(), kv::Bstr(title).get(), 1);
        control->SetStoryProperty(channel, id, kv::Bstr(L"READ").get(), kv::Bstr(L"0").get(), 1);
        if (extraName)
            control->SetStoryProperty(channel, id, kv::Bstr(extraName).get(), kv::Bstr(extraValue).get(), 1);
    }

    PageHost& Open(const wchar_t* address, kv::browser::ParamList params = {}) {
        page = std::make_unique<PageHost>(address);
        page->Create(L"Korvane.Channel", params);
        return *page;
    }

    LONG ReadyState() { return page->Get(L"ReadyState")->lVal; }
    bool Valid() { return page->Get(L"Valid")->boolVal != 0; }

    std::vector<std::wstring> Titles() {
        auto& b = *page->Binding();
        LONG col = b.ColumnOf(L"TITLE");
        std::vector<std::wstring> out;
        for (LONG r = 1; r <= b.RowCount(); ++r) out.push_back(b.CellText(r, col));
        return out;
    }

    std::vector<std::wstring> EventNames() {
        std::vector<std::wstring> out;
        for (auto& e : page->Events()) out.push_back(e.name);
        return out;
    }

    std::vector<LONG> NewStoryRows() {
        std::vector<LONG> out;
        for (auto& e : page->Events())
            if (e.name == L"OnNewStory") out.push_back(e.args[0]->lVal);
        return out;
    }

    bool Called(const std::wstring& call) {
        auto& calls = page->Binding()->Calls();
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }

    ComPtr<IClientApp2> app;
    ComPtr<IClientControl> control;
    std::unique_ptr<PageHost> page;
};

TEST_F(StoryPage, BindsToTheChannelWhoseFolderHoldsThePage) {
    struct Case {
        const wchar_t* page;
        bool binds;
    } cases[] = {
        {L"C:\\Channels\\News\\index.htm", true},
        {L"file:///c:/channels/news/index.htm", true},
        {L"file://C:/Channels/News/index.htm", true},
        {L"C:\\Channels\\News\\archive\\old\\page.htm", true},
        {L"C:\\Channels\\NewsArchive\\index.htm", false},
        {L"C:\\Channels\\index.htm", false},
        {L"http://server/Channels/News/index.htm", false},
    };
    for (const auto& c : cases) {
        Open(c.page);
        if (c.binds)
            EXPECT_EQ(2, page->Bind(OSPFORMAT_RAW).RowCount()) << kv::ToAnsi(c.page);
        else
            EXPECT_THROW(page->Bind(OSPFORMAT_RAW), kv::browser::PageHostError) << kv::ToAnsi(c.page);
        EXPECT_EQ(READYSTATE_COMPLETE, ReadyState()) << kv::ToAnsi(c.page);
        EXPECT_EQ(c.binds, Valid()) << kv::ToAnsi(c.page);
        if (c.binds) {
            Variant channel = page->Get(L"Channel");
            ASSERT_EQ(VT_DISPATCH, channel.vt());
            ComPtr<IClientChannel> ch;
            channel->pdispVal->QueryInterface(IID_IClientChannel, reinterpret_cast<void**>(ch.GetAddressOf()));
            LONG id = 0;
            ch->GetId(&id);
            EXPECT_EQ(kNews, id);
        } else {
            EXPECT_EQ(E_FAIL, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr));
        }
        page.reset();
    }
}

TEST_F(StoryPage, ReadyStateAndValidFollowTheReads) {
    Open(L"C:\\Channels\\News\\index.htm");
    EXPECT_EQ(READYSTATE_INTERACTIVE, ReadyState());
    EXPECT_FALSE(Valid());
    page->Bind(OSPFORMAT_RAW);
    EXPECT_EQ(READYSTATE_COMPLETE, ReadyState());
    EXPECT_TRUE(Valid());
    EXPECT_EQ((std::vector<DISPID>{DISPID_READYSTATE, DISPID_VALID, DISPID_READYSTATE}), page->PropertyChanges())
        << "LOADED, then Valid, then COMPLETE";

    // Without AutoReset the binding gets an empty, complete table until the page resets.
    Open(L"C:\\Channels\\News\\index.htm", {TextParam(L"AutoReset", L"0")});
    auto& binding = page->Bind(OSPFORMAT_RAW);
    EXPECT_EQ(READYSTATE_COMPLETE, ReadyState());
    EXPECT_TRUE(Valid());
    EXPECT_EQ(0, binding.RowCount());
    binding.ClearCalls();
    page->Call(L"Reset", {Variant::Bool(true)});
    page->PumpUntilIdle();
    EXPECT_EQ(2, binding.RowCount()) << "dataMemberChanged made the binding read again";
    EXPECT_EQ(1, std::count(binding.Calls().begin(), binding.Calls().end(), L"dataMemberChanged()"))
        << "one dataMemberChanged, no recursion through msDataSourceObject";
}

TEST_F(StoryPage, ResetWithoutATableFailsCleanly) {
    Open(L"C:\\Channels\\News\\index.htm", {TextParam(L"AutoReset", L"0")});
    EXPECT_EQ(E_FAIL, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(false)}, nullptr));
    Variant story;
    EXPECT_EQ(E_FAIL, page->TryInvoke(L"Story", DISPATCH_METHOD, {Variant::I4(1)}, &story));
    EXPECT_EQ(S_OK, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr));
    EXPECT_EQ(E_INVALIDARG, page->TryInvoke(L"Story", DISPATCH_METHOD, {Variant::I4(0)}, &story));
    EXPECT_EQ(E_INVALIDARG, page->TryInvoke(L"Story", DISPATCH_METHOD, {Variant::I4(3)}, &story));
}

TEST_F(StoryPage, ANewStoryTravelsToTheBinding) {
    Open(L"C:\\Channels\\News\\index.htm", {TextParam(L"Sort", L"TITLE")});
    auto& binding = page->Bind(OSPFORMAT_HTML);
    ASSERT_EQ((std::vector<std::wstring>{L"<SPAN CLASS=newstory>Alpha</SPAN>", L"<SPAN CLASS=newstory>Bravo</SPAN>"}),
              Titles());
    binding.ClearCalls();
    page->ClearEvents();

    AddStory(kNews, 103, L"Able");
    LONG delivered = 0;
    control->FireStoriesAdded(kNews, *Variant::I4(103).get(), &delivered);
    EXPECT_EQ(1, delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return binding.RowCount() == 3; }));
    EXPECT_TRUE(Called(L"insertedRows(1,1)")) << "Able sorts first";
    EXPECT_EQ(L"<SPAN CLASS=newstory>Able</SPAN>", Titles()[0]);
    ASSERT_FALSE(page->Events().empty());
    const auto& e = page->Events().back();
    EXPECT_EQ(L"OnNewStory", e.name);
    ASSERT_EQ(1u, e.args.size());
    EXPECT_EQ(1, e.args[0]->lVal);

    // Another channel's stories do not reach this page.
    page->ClearEvents();
    AddStory(kSports, 201, L"Goal");
    control->FireStoriesAdded(kSports, *Variant::I4(201).get(), &delivered);
    page->PumpUntilIdle(300);
    EXPECT_TRUE(page->Events().empty());
    EXPECT_EQ(3, binding.RowCount());
}

TEST_F(StoryPage, ANewColumnMakesTheBindingReadAgain) {
    Open(L"C:\\Channels\\News\\index.htm");
    auto& binding = page->Bind(OSPFORMAT_RAW);
    LONG columns = binding.ColumnCount();
    binding.ClearCalls();
    AddStory(kNews, 104, L"Charlie", L"AUTHOR", L"Ann");
    LONG delivered = 0;
    control->FireStoriesAdded(kNews, *Variant::I4(104).get(), &delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return binding.ColumnCount() == columns + 1; }));
    EXPECT_TRUE(Called(L"dataMemberChanged()"));
    for (auto& call : binding.Calls()) EXPECT_EQ(std::wstring::npos, call.find(L"insertedRows")) << kv::ToAnsi(call);
    EXPECT_EQ(3, binding.RowCount());
}

TEST_F(StoryPage, DeletedAndChangedStories) {
    Open(L"C:\\Channels\\News\\index.htm", {TextParam(L"Sort", L"TITLE")});
    auto& binding = page->Bind(OSPFORMAT_RAW);
    page->PumpUntilIdle();
    binding.ClearCalls();
    page->ClearEvents();
    LONG delivered = 0;

    // Bravo becomes Aardvark and moves from row 2 to row 1.
    control->SetStoryProperty(kNews, 102, kv::Bstr(L"TITLE").get(), kv::Bstr(L"Aardvark").get(), 1);
    control->FireStoriesChanged(kNews, *Variant::I4(102).get(), 9, &delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return !page->Events().empty() && page->Events().back().name == L"OnStoryEvent"; }));
    EXPECT_EQ((std::vector<std::wstring>{L"Aardvark", L"Alpha"}), Titles());
    const auto& changed = page->Events().back();
    EXPECT_EQ(L"OnStoryEvent", changed.name);
    EXPECT_EQ(1, changed.args[0]->lVal);
    EXPECT_EQ(9, changed.args[1]->lVal);
    LONG title = binding.ColumnOf(L"TITLE");
    EXPECT_TRUE(Called(L"cellChanged(1," + std::to_wstring(title) + L")"));
    EXPECT_TRUE(Called(L"cellChanged(2," + std::to_wstring(title) + L")"));

    page->ClearEvents();
    binding.ClearCalls();
    control->FireStoriesDeleted(kNews, *Variant::I4(101).get(), &delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return binding.RowCount() == 1; }));
    EXPECT_TRUE(Called(L"deletedRows(2,1)"));
    ASSERT_EQ(1u, page->Events().size());
    EXPECT_EQ(L"OnDeletedStory", page->Events()[0].name);
    EXPECT_EQ(101, page->Events()[0].args[0]->lVal);

    page->ClearEvents();
    control->FireStoriesDeleted(kNews, *Variant::I4(999).get(), &delivered);
    page->PumpUntilIdle(300);
    EXPECT_TRUE(page->Events().empty()) << "a story not in the table produces nothing";
}

TEST_F(StoryPage, ChannelDeletedEmptiesThePage) {
    Open(L"C:\\Channels\\News\\index.htm");
    auto& binding = page->Bind(OSPFORMAT_RAW);
    LONG delivered = 0;
    control->FireChannelDeleted(kSports, &delivered);
    page->PumpUntilIdle(300);
    EXPECT_EQ(2, binding.RowCount()) << "another channel's deletion is ignored";
    EXPECT_TRUE(Valid());

    control->FireChannelDeleted(kNews, &delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return binding.RowCount() == 0; }));
    EXPECT_TRUE(Called(L"deletedRows(1,2)"));
    EXPECT_FALSE(Valid());
    EXPECT_EQ(L"OnDeletedChannel", EventNames().back());
    EXPECT_EQ(0, page->PropertyChanges().back());
    // The channel is gone for good here; a later read binds again only if a folder matches.
    control->DeleteChannel(kNews);
    EXPECT_EQ(E_FAIL, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr));
}

TEST_F(StoryPage, FrozenEventsArriveInOrderAfterwards) {
    Open(L"C:\\Channels\\News\\index.htm");
    auto& binding = page->Bind(OSPFORMAT_RAW);
    page->PumpUntilIdle();
    page->ClearEvents();
    ASSERT_EQ(S_OK, page->FreezeEvents(true));
    AddStory(kNews, 105, L"Delta");
    AddStory(kNews, 106, L"Echo");
    LONG delivered = 0;
    control->FireStoriesAdded(kNews, *Variant::I4(105).get(), &delivered);
    control->FireStoriesAdded(kNews, *Variant::I4(106).get(), &delivered);
    page->PumpUntilIdle(300);
    EXPECT_TRUE(page->Events().empty());
    EXPECT_EQ(2, binding.RowCount());
    ASSERT_EQ(S_OK, page->FreezeEvents(false));
    ASSERT_TRUE(page->PumpUntil([&] { return NewStoryRows().size() == 2; }));
    EXPECT_EQ(4, binding.RowCount());
    EXPECT_EQ((std::vector<std::wstring>{L"OnFilter", L"OnNewStory", L"OnFilter", L"OnNewStory"}), EventNames())
        << "each notification handled after the previous one";
}

TEST_F(StoryPage, NothingIsLeftAliveWhenThePageCloses) {
    Open(L"C:\\Channels\\News\\index.htm");
    page->Bind(OSPFORMAT_HTML);
    page.reset();
    HMODULE dll = GetModuleHandleW(L"KvDC.dll");
    ASSERT_NE(nullptr, dll);
    auto canUnload = kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(dll, "DllCanUnloadNow");
    EXPECT_EQ(S_OK, canUnload());
    LONG mask = 0, sinks = -1;
    control->SinkCount(kv::Bstr(L"stories").get(), &mask, &sinks);
    EXPECT_EQ(0, sinks) << "the control disconnects from the client";
}

}  // namespace

namespace {

// Every client call the first read makes fails in turn: the page gets that failure, the
// abort completion, and nothing is left behind.
TEST_F(StoryPage, EachFailingClientCallOfTheFirstReadComesBack) {
    const wchar_t* calls[] = {
        L"IClientApp.GetChannels",      L"IChannelCollection.NewEnum", L"IClientChannel.GetLocalFolder",
        L"IClientChannel.GetId",        L"IClientApp.Advise",          L"IClientApp.GetSettings",
        L"IClientSettings.Advise",      L"IChannelCollection.Advise",  L"IClientApp2.GetStorySource",
        L"IStorySource.Advise",         L"IClientApp2.GetPathResolver", L"IClientChannel.GetFlags",
        L"IClientChannel2.GetStorySnapshot",
    };
    const HRESULT injected = static_cast<HRESULT>(0x80040777);
    for (const wchar_t* call : calls) {
        control->ClearFailures();
        control->FailCall(kv::Bstr(call).get(), 1, injected);
        Open(L"C:\\Channels\\News\\index.htm");
        HRESULT hr = S_OK;
        try {
            page->Bind(OSPFORMAT_RAW);
        } catch (const kv::browser::PageHostError& e) {
            hr = e.Code();
        }
        EXPECT_EQ(injected, hr) << kv::ToAnsi(call);
        EXPECT_EQ(READYSTATE_COMPLETE, ReadyState()) << kv::ToAnsi(call);
        EXPECT_FALSE(Valid()) << kv::ToAnsi(call);
        control->ClearFailures();
        // The page can try again once the client answers.
        EXPECT_EQ(S_OK, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr)) << kv::ToAnsi(call);
        EXPECT_TRUE(Valid()) << kv::ToAnsi(call);
        page.reset();
        auto canUnload = kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(GetModuleHandleW(L"KvDC.dll"), "DllCanUnloadNow");
        EXPECT_EQ(S_OK, canUnload()) << kv::ToAnsi(call);
    }
}

// A failing client call inside a notification handler loses that notification only.
TEST_F(StoryPage, AFailingHandlerLosesOnlyItsNotification) {
    Open(L"C:\\Channels\\News\\index.htm");
    auto& binding = page->Bind(OSPFORMAT_RAW);
    page->PumpUntilIdle();
    LONG delivered = 0;
    AddStory(kNews, 107, L"Foxtrot");
    control->FailCall(kv::Bstr(L"IClientChannel2.GetStorySnapshot").get(), 1, E_ACCESSDENIED);
    control->FireStoriesAdded(kNews, *Variant::I4(107).get(), &delivered);
    page->PumpUntilIdle(300);
    EXPECT_EQ(2, binding.RowCount());
    control->FailCall(kv::Bstr(L"IClientChannel.Refresh").get(), 1, E_ACCESSDENIED);
    control->FireChannelChanged(kNews, 4, &delivered);
    page->PumpUntilIdle(300);

    AddStory(kNews, 108, L"Golf");
    control->FireStoriesAdded(kNews, *Variant::I4(108).get(), &delivered);
    ASSERT_TRUE(page->PumpUntil([&] { return binding.RowCount() == 3; })) << "the next notification is handled";
    EXPECT_EQ(1u, NewStoryRows().size());
    page->Call(L"Reset", {Variant::Bool(true)});
    page->PumpUntilIdle();
    EXPECT_EQ(4, binding.RowCount()) << "a full read brings the lost story back";
}

}  // namespace

namespace {

TEST_F(StoryPage, SortPropertiesTakeEffectAtTheNextReset) {
    AddStory(kNews, 103, L"Charlie");
    Open(L"C:\\Channels\\News\\index.htm");
    auto& binding = page->Bind(OSPFORMAT_RAW);
    auto reset = [&](bool read) {
        page->Call(L"Reset", {Variant::Bool(read)});
        page->PumpUntilIdle();
        if (!read) binding.Reload();
    };
    // Unsorted, the client's stories come newest first, as they arrived.
    EXPECT_EQ((std::vector<std::wstring>{L"Charlie", L"Bravo", L"Alpha"}), Titles());

    page->Put(L"SortColumn", Variant::String(L"title"));
    page->Put(L"SortAscending", Variant::Bool(false));
    EXPECT_EQ((std::vector<std::wstring>{L"Charlie", L"Bravo", L"Alpha"}), Titles()) << "nothing before Reset";
    page->Put(L"SortAscending", Variant::Bool(true));
    reset(false);
    EXPECT_EQ((std::vector<std::wstring>{L"Alpha", L"Bravo", L"Charlie"}), Titles());

    page->Put(L"Sort", Variant::String(L"-TITLE"));
    reset(false);
    EXPECT_EQ((std::vector<std::wstring>{L"Charlie", L"Bravo", L"Alpha"}), Titles()) << "Sort wins over SortColumn";

    page->Put(L"Sort", Variant::String(L""));
    page->Put(L"SortColumn", Variant::String(L""));
    reset(false);
    EXPECT_EQ((std::vector<std::wstring>{L"Charlie", L"Bravo", L"Alpha"}), Titles()) << "empty keeps the order";

    // A filter that drops a story forces a full reload; the order survives it.
    page->OnEvent(L"OnFilter", [](PageHost& host, const kv::browser::EventCall&) {
        host.Put(L"returnValue", Variant::Bool(true));
    });
    control->SetStoryProperty(kNews, 104, kv::Bstr(L"TITLE").get(), kv::Bstr(L"Delta").get(), 1);
    reset(true);
    EXPECT_EQ(3, binding.RowCount()) << "a read without a pending rebuild only re-filters the rows it has";
}

}  // namespace

#include "tests/support/dialog_clicker.h"

namespace {

TEST_F(StoryPage, AStoryThePageRejectsIsNeverAnnounced) {
    Open(L"C:\\Channels\\News\\index.htm");
    page->OnEvent(L"OnFilter", [](PageHost& host, const kv::browser::EventCall& e) {
        ComPtr<IDispatch> story;
        if (e.args.empty() || e.args[0].vt() != VT_DISPATCH) return;
        story = e.args[0]->pdispVal;
        DISPID id;
        LPOLESTR name[] = {const_cast<LPOLESTR>(L"title")};
        Variant title;
        DISPPARAMS none = {};
        if (FAILED(story->GetIDsOfNames(IID_NULL, name, 1, 0, &id)) ||
            FAILED(story->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, title.get(), nullptr, nullptr)))
            return;
        host.Put(L"returnValue", Variant::Bool(std::wstring(title->bstrVal) != L"Spam"));
    });
    auto& binding = page->Bind(OSPFORMAT_RAW);
    page->PumpUntilIdle();
    binding.ClearCalls();
    page->ClearEvents();
    AddStory(kNews, 110, L"Spam");
    LONG delivered = 0;
    control->FireStoriesAdded(kNews, *Variant::I4(110).get(), &delivered);
    page->PumpUntilIdle(300);
    EXPECT_EQ(2, binding.RowCount());
    EXPECT_TRUE(NewStoryRows().empty());
    for (auto& call : binding.Calls()) EXPECT_EQ(std::wstring::npos, call.find(L"insertedRows")) << kv::ToAnsi(call);
    EXPECT_EQ((std::vector<std::wstring>{L"OnFilter"}), EventNames()) << "offered to the filter, then nothing";
}

TEST_F(StoryPage, TheBindingAsksBeforeReadingAnExecutableAttachment) {
    AddStory(kNews, 111, L"Update", L"ATTACHMENT", L"C:\\Stories\\setup.exe");
    for (int answer : {IDNO, IDYES}) {
        Open(L"C:\\Channels\\News\\index.htm", {TextParam(L"Sort", L"-TITLE")});
        kv::test::DialogClicker clicker(L"Korvane Security Warning", answer);
        auto& binding = page->Bind(OSPFORMAT_RAW);
        EXPECT_TRUE(clicker.Wait());
        const Variant& cell = binding.Cell(1, binding.ColumnOf(L"ATTACHMENT"));
        if (answer == IDNO) {
            EXPECT_EQ(VT_BOOL, cell.vt());
            EXPECT_EQ(VARIANT_FALSE, cell->boolVal);
        } else {
            ASSERT_EQ(VT_BSTR, cell.vt());
            EXPECT_EQ(L"C:\\Stories\\setup.exe", std::wstring(cell->bstrVal));
        }
        page.reset();
    }
}

}  // namespace

namespace {

// Story IDs as the client sends several at once: an array of integers.
Variant IdList(const std::vector<LONG>& ids) {
    auto sa = kv::SafeArray::Vector(VT_I4, static_cast<ULONG>(ids.size()));
    LONG at = 0;
    for (LONG id : ids) {
        SafeArrayPutElement(sa.get(), &at, &id);
        ++at;
    }
    Variant v;
    v->vt = VT_ARRAY | VT_I4;
    v->parray = sa.Detach();
    return v;
}

std::wstring CellText(const VARIANT& cell) {
    Variant text;
    if (FAILED(VariantChangeType(text.get(), const_cast<VARIANT*>(&cell), 0, VT_BSTR)))
        return L"<vt " + std::to_wstring(cell.vt) + L">";
    return text->bstrVal ? text->bstrVal : L"";
}

// The binding's mirror against the provider's table as it is now.
void ExpectMirrorIsTheTable(kv::browser::DataBinding& binding, const std::string& where) {
    EXPECT_TRUE(binding.Errors().empty()) << where << ": " << kv::ToAnsi(binding.Errors().front());
    DBROWCOUNT rows = 0;
    DB_LORDINAL columns = 0;
    binding.Provider()->getRowCount(&rows);
    binding.Provider()->getColumnCount(&columns);
    ASSERT_EQ(rows, binding.RowCount()) << where;
    ASSERT_EQ(columns, binding.ColumnCount()) << where;
    for (LONG r = 1; r <= rows; ++r)
        for (LONG c = 1; c <= columns; ++c) {
            Variant cell;
            binding.Provider()->getVariant(r, c, OSPFORMAT_RAW, cell.get());
            EXPECT_EQ(CellText(*cell.get()), CellText(*binding.Cell(r, c).get())) << where << " row " << r << " col " << c;
        }
}

// Page script re-enters the control from inside each of its events while further notifications
// queue up: the control survives, and the binding ends up holding the table.
TEST_F(StoryPage, ScriptReenteringTheControlFromAnEventLeavesTheBindingWithTheTable) {
    enum Trigger { kAdded, kDeleted, kChanged };
    const struct {
        const wchar_t* event;
        Trigger trigger;
    } events[] = {{L"OnNewStory", kAdded},  {L"OnFilter", kAdded},     {L"OnDeletedStory", kDeleted},
                  {L"OnStoryEvent", kChanged}, {L"OnFilter", kChanged}};
    enum Action { kReread, kResort, kStory, kSortProperties, kNewSortAndResort };
    const std::vector<std::wstring> expected[] = {{L"Alpha", L"Bravo", L"Charlie", L"Delta", L"Echo"},
                                                  {L"Echo"},
                                                  {L"Aardvark", L"Echo", L"Zulu"}};
    HMODULE dll = GetModuleHandleW(L"KvDC.dll");
    for (const auto& ev : events) {
        for (Action action : {kReread, kResort, kStory, kSortProperties, kNewSortAndResort}) {
            const std::string where = kv::ToAnsi(ev.event) + " action " + std::to_string(action);
            SetUp();
            AddStory(kNews, 109, L"Spam");  // rejected at the first read: a full reload is pending
            Open(L"C:\\Channels\\News\\index.htm", {TextParam(L"Sort", L"TITLE")});
            bool armed = false, done = false;
            std::vector<HRESULT> results;
            auto act = [&](PageHost& host) {
                done = true;
                AddStory(kNews, 105, L"Echo");  // a notification that queues while script runs
                LONG delivered = 0;
                control->FireStoriesAdded(kNews, *Variant::I4(105).get(), &delivered);
                Variant story;
                switch (action) {
                case kReread:
                    results.push_back(host.TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr));
                    break;
                case kResort:
                    results.push_back(host.TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(false)}, nullptr));
                    break;
                case kStory:
                    results.push_back(host.TryInvoke(L"Story", DISPATCH_METHOD, {Variant::I4(1)}, &story));
                    break;
                case kSortProperties:
                    host.Put(L"SortColumn", Variant::String(L"ID"));
                    host.Put(L"Sort", Variant::String(L"-TITLE"));
                    break;
                case kNewSortAndResort:
                    host.Put(L"Sort", Variant::String(L"-TITLE"));
                    results.push_back(host.TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(false)}, nullptr));
                    break;
                }
            };
            page->OnEvent(L"OnFilter", [&](PageHost& host, const kv::browser::EventCall& e) {
                ComPtr<IDispatch> story = e.args.empty() ? nullptr : e.args[0]->pdispVal;
                Variant title;
                DISPID id = 0;
                LPOLESTR name[] = {const_cast<LPOLESTR>(L"TITLE")};
                DISPPARAMS none = {};
                if (story && SUCCEEDED(story->GetIDsOfNames(IID_NULL, name, 1, 0, &id)))
                    story->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, title.get(), nullptr, nullptr);
                host.Put(L"returnValue", Variant::Bool(CellText(*title.get()) != L"Spam"));
                if (armed && !done && std::wstring(ev.event) == L"OnFilter") act(host);
            });
            if (std::wstring(ev.event) != L"OnFilter")
                page->OnEvent(ev.event, [&](PageHost& host, const kv::browser::EventCall&) {
                    if (armed && !done) act(host);
                });
            auto& binding = page->Bind(OSPFORMAT_RAW);
            page->PumpUntilIdle();
            ASSERT_EQ(2, binding.RowCount()) << where;
            armed = true;

            LONG delivered = 0;
            switch (ev.trigger) {
            case kAdded:
                AddStory(kNews, 103, L"Charlie");
                AddStory(kNews, 104, L"Delta");
                control->FireStoriesAdded(kNews, *IdList({103, 104}).get(), &delivered);
                break;
            case kDeleted:
                control->DeleteStory(kNews, 101);
                control->DeleteStory(kNews, 102);
                control->FireStoriesDeleted(kNews, *IdList({101, 102}).get(), &delivered);
                break;
            case kChanged:
                control->SetStoryProperty(kNews, 101, kv::Bstr(L"TITLE").get(), kv::Bstr(L"Zulu").get(), 1);
                control->SetStoryProperty(kNews, 102, kv::Bstr(L"TITLE").get(), kv::Bstr(L"Aardvark").get(), 1);
                control->FireStoriesChanged(kNews, *IdList({101, 102}).get(), 1, &delivered);
                break;
            }
            ASSERT_TRUE(page->PumpUntil([&] {
                auto titles = Titles();
                return std::find(titles.begin(), titles.end(), L"Echo") != titles.end();
            })) << where;
            page->PumpUntilIdle();
            EXPECT_TRUE(done) << where;
            for (HRESULT hr : results) EXPECT_EQ(S_OK, hr) << where;
            auto titles = Titles();
            std::sort(titles.begin(), titles.end());
            EXPECT_EQ(expected[ev.trigger], titles) << where;
            ExpectMirrorIsTheTable(binding, where);
            page.reset();
            EXPECT_EQ(S_OK, kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(dll, "DllCanUnloadNow")()) << where;
        }
    }
}

}  // namespace

namespace {

// A page that dropped Spam through its filter and has since changed its mind.
class ChangedMindPage : public StoryPage {
protected:
    kv::browser::DataBinding& OpenAndDropSpam() {
        AddStory(kNews, 109, L"Spam");
        Open(L"C:\\Channels\\News\\index.htm", {TextParam(L"Sort", L"TITLE")});
        rejectSpam = true;
        page->OnEvent(L"OnFilter", [this](PageHost& host, const kv::browser::EventCall& e) {
            ComPtr<IDispatch> story = e.args[0]->pdispVal;
            DISPID id = 0;
            LPOLESTR name[] = {const_cast<LPOLESTR>(L"TITLE")};
            DISPPARAMS none = {};
            Variant title;
            story->GetIDsOfNames(IID_NULL, name, 1, 0, &id);
            story->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, title.get(), nullptr, nullptr);
            host.Put(L"returnValue", Variant::Bool(!rejectSpam || std::wstring(title->bstrVal) != L"Spam"));
        });
        auto& binding = page->Bind(OSPFORMAT_RAW);
        page->PumpUntilIdle();
        EXPECT_EQ(2, binding.RowCount());
        rejectSpam = false;
        binding.ClearCalls();
        page->ClearEvents();
        return binding;
    }
    bool rejectSpam = false;
};

TEST_F(ChangedMindPage, ANotificationNamingNoStoryChangesNothing) {
    auto& binding = OpenAndDropSpam();
    LONG delivered = 0;
    control->FireStoriesAdded(kNews, *IdList({}).get(), &delivered);
    control->FireStoriesChanged(kNews, *IdList({}).get(), 1, &delivered);
    control->FireStoriesDeleted(kNews, *IdList({}).get(), &delivered);
    page->PumpUntilIdle(300);
    EXPECT_TRUE(page->Events().empty());
    EXPECT_EQ((std::vector<std::wstring>{L"Alpha", L"Bravo"}), Titles());
    ExpectMirrorIsTheTable(binding, "empty lists");
}

TEST_F(ChangedMindPage, AReadThatFailedStillReloadsAtTheNextReset) {
    OpenAndDropSpam();
    control->FailCall(kv::Bstr(L"IClientChannel2.GetStorySnapshot").get(), 1, E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr));
    EXPECT_EQ(S_OK, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr));
    page->PumpUntilIdle();
    EXPECT_EQ((std::vector<std::wstring>{L"Alpha", L"Bravo", L"Spam"}), Titles()) << "the dropped story is back";
}

// A binding applies the notifications one at a time and must end up with the table: several
// new stories in one notification, and changes that the page's filter now decides.
TEST_F(StoryPage, NotificationsAppliedInOrderGiveTheTable) {
    bool onlyWithE = false;
    Open(L"C:\\Channels\\News\\index.htm", {TextParam(L"Sort", L"-ID")});
    page->OnEvent(L"OnFilter", [&](PageHost& host, const kv::browser::EventCall& e) {
        ComPtr<IDispatch> story = e.args[0]->pdispVal;
        DISPID id = 0;
        LPOLESTR name[] = {const_cast<LPOLESTR>(L"TITLE")};
        DISPPARAMS none = {};
        Variant title;
        story->GetIDsOfNames(IID_NULL, name, 1, 0, &id);
        story->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, title.get(), nullptr, nullptr);
        host.Put(L"returnValue", Variant::Bool(!onlyWithE || CellText(*title.get()).find(L'e') != std::wstring::npos));
    });
    auto& binding = page->Bind(OSPFORMAT_RAW);
    page->PumpUntilIdle();
    LONG delivered = 0;
    AddStory(kNews, 3000, L"Charlie");
    AddStory(kNews, 3001, L"Delta");
    page->ClearEvents();
    control->FireStoriesAdded(kNews, *IdList({3000, 3001}).get(), &delivered);
    page->PumpUntilIdle();
    EXPECT_EQ((std::vector<LONG>{1, 2}), NewStoryRows()) << "each where it is when announced";
    ExpectMirrorIsTheTable(binding, "two new stories above the others");

    page->Put(L"Sort", Variant::String(L"TITLE"));
    ASSERT_EQ(S_OK, page->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(false)}, nullptr));
    onlyWithE = true;  // without a Reset: only what changes is offered to the filter again
    struct {
        const char* what;
        std::vector<std::pair<LONG, const wchar_t*>> changes;
        std::vector<std::wstring> titles;
    } steps[] = {
        {"one leaves, one moves", {{101, L"Zulu"}, {3000, L"Apple"}}, {L"Apple", L"Bravo", L"Delta"}},
        {"one comes back", {{101, L"Eve"}}, {L"Apple", L"Bravo", L"Delta", L"Eve"}},
        {"one moves to the end as another leaves", {{102, L"Zed"}, {3000, L"Fig"}}, {L"Delta", L"Eve", L"Zed"}},
    };
    for (const auto& step : steps) {
        std::vector<LONG> ids;
        for (auto [id, title] : step.changes) {
            control->SetStoryProperty(kNews, id, kv::Bstr(L"TITLE").get(), kv::Bstr(title).get(), 1);
            ids.push_back(id);
        }
        control->FireStoriesChanged(kNews, *IdList(ids).get(), 1, &delivered);
        page->PumpUntilIdle();
        EXPECT_EQ(step.titles, Titles()) << step.what;
        ExpectMirrorIsTheTable(binding, step.what);
    }
}

// The binding's find reads cells through the attachment prompt; while the prompt is up the
// channel is deleted. The search ends cleanly instead of reading a table that is gone.
std::function<void()> g_whilePromptIsUp;
void CALLBACK RunWhilePromptIsUp(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    if (auto task = std::exchange(g_whilePromptIsUp, nullptr)) task();
}

TEST_F(StoryPage, FindSurvivesTheChannelGoingWhileThePromptIsUp) {
    AddStory(kNews, 101, L"Alpha", L"ATTACHMENT", L"C:\\Stories\\setup.exe");
    Open(L"C:\\Channels\\News\\index.htm", {TextParam(L"Sort", L"TITLE")});
    Variant source = page->Call(L"msDataSourceObject", {Variant::String(L"")});
    ComPtr<OLEDBSimpleProvider> provider;
    ASSERT_EQ(S_OK, source->punkVal->QueryInterface(__uuidof(OLEDBSimpleProvider),
                                                    reinterpret_cast<void**>(provider.GetAddressOf())));
    page->PumpUntilIdle();
    DB_LORDINAL columns = 0;
    provider->getColumnCount(&columns);
    LONG attachment = 0;
    for (LONG c = 1; c <= columns; ++c) {
        Variant name;
        provider->getVariant(0, c, OSPFORMAT_RAW, name.get());
        if (std::wstring(name->bstrVal) == L"ATTACHMENT") attachment = c;
    }
    ASSERT_NE(0, attachment);
    g_whilePromptIsUp = [&] {
        LONG delivered = 0;
        control->FireChannelDeleted(kNews, &delivered);  // handled in the prompt's message loop
        PostMessageW(kv::test::FindDialog(L"Korvane Security Warning"), WM_COMMAND, IDNO, 0);
    };
    SetTimer(nullptr, 0, 10, RunWhilePromptIsUp);
    DBROWCOUNT found = 0;
    EXPECT_EQ(E_FAIL, provider->find(1, attachment, *Variant::String(L"nothing").get(), OSPFIND_DEFAULT,
                                      OSPCOMP_EQ, &found));
    EXPECT_EQ(nullptr, g_whilePromptIsUp) << "the prompt was up";
    DBROWCOUNT rows = -1;
    provider->getRowCount(&rows);
    EXPECT_EQ(0, rows);
}

}  // namespace
