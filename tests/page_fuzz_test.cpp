// A seeded page-script fuzzer of both data controls. The page host binds a control to the
// in-process client; each step the client adds, changes or deletes items (some unknown, some of
// another channel, some that cannot be converted), or the page sets Sort, resets, asks for an
// item, reads cells, ticks a check box, flips its filter or makes the control anew; and page
// script re-enters the control from inside every event. A small model holds what the client has.
//
// After every step, once the page is quiet, the binding's mirror must equal a fresh read of the
// table. At checkpoints the client mends the items it broke and the page rereads: the table must
// then hold exactly the client's items that pass the filter, in the sort's order, and ticking
// the directory row that shows entry X must subscribe exactly X. A failure, a hang or a
// crash names the seed and the step.
//
// The suite runs a few seeds briefly; the tests named Long run 10 seeds x 10,000 steps per
// control behind the CTest label "long" and print their totals.
#include <windows.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "platform/text.h"
#include "standins/browser/page_host.h"
#include "tests/client/client_test_util.h"

namespace {

using kv::ComPtr;
using kv::Variant;
using kv::browser::EventCall;
using kv::browser::PageHost;

constexpr LONG kNews = 5;
constexpr LONG kSports = 6;
constexpr LONG kDirectoryChannel = 3;

// Where a crash says it happened.
volatile uint32_t g_seed = 0;
volatile int g_step = -1;
const char* volatile g_control = "";

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "page fuzz: %s crashed (exception 0x%08lX) at seed %u step %d\n", g_control,
                 info && info->ExceptionRecord ? static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode) : 0ul,
                 static_cast<unsigned>(g_seed), static_cast<int>(g_step));
    std::fflush(stderr);
    return EXCEPTION_CONTINUE_SEARCH;
}

// A step that does not end within a minute is a hang: said with its seed and step, then the
// process ends (the page's thread is the one stuck).
DWORD WINAPI Watchdog(void*) {
    int last = -2;
    for (int quiet = 0;; Sleep(1000)) {
        const int now = g_step;
        quiet = now == last ? quiet + 1 : 0;
        last = now;
        if (quiet >= 60 && now >= 0) {
            std::fprintf(stderr, "page fuzz: %s hung at seed %u step %d\n", g_control, static_cast<unsigned>(g_seed), now);
            std::fflush(stderr);
            ExitProcess(3);
        }
    }
}

// What sets the two controls apart, for the fuzzer.
struct Kind {
    const char* name;
    const wchar_t* progId;
    const wchar_t* page;
    const wchar_t* nameColumn;  // the item's text, which the page's filter looks at
    const wchar_t* idColumn;
    const wchar_t* itemMethod;  // Story or Entry
    std::vector<const wchar_t*> events;
    std::vector<const wchar_t*> checkedSorts;  // expressions whose order the checkpoint checks
    std::vector<const wchar_t*> otherSorts;    // valid ones it does not check, and invalid ones
    bool directory;
};

const Kind kStories = {
    "story control", L"Korvane.Channel", L"C:\\Channels\\News\\index.htm", L"TITLE", L"ID", L"Story",
    {L"OnNewStory", L"OnDeletedStory", L"OnStoryEvent", L"OnChannelAvailable", L"OnChannelEvent"},
    {L"TITLE", L"-TITLE", L"-ID", L"ID", L"TITLE;-ID"},
    {L"READ;-ID", L"-READ;TITLE", L"NOPE", L"-", L";;", L"TITLE;;-X", L""},
    false,
};
const Kind kDirectory = {
    "directory control", L"Korvane.LocalRegistration", L"C:\\Channels\\Directory\\index.htm", L"NAME", L"CHANNEL_ID",
    L"Entry",
    {L"OnNewEntry", L"OnDeletedEntry", L"OnEntryEvent", L"OnDirectoryAvailable"},
    {L"NAME", L"-NAME", L"-CHANNEL_ID", L"CHANNEL_ID", L"NAME;-CHANNEL_ID"},
    {L"IS_SUBSCRIBED;NAME", L"-TIME_ADDED", L"NOPE", L"-", L";;", L"NAME;;-X", L""},
    true,
};

struct Item {
    std::wstring name;
    bool broken = false;  // carries a field the control cannot convert
};

class Fuzzer {
public:
    Fuzzer(const Kind& kind, uint32_t seed) : kind_(kind), seed_(seed), random_(seed) {
        char text[16] = {};
        trace_ = GetEnvironmentVariableA("KV_PAGE_FUZZ_TRACE", text, sizeof text) && std::strtoul(text, nullptr, 10) == seed;
    }

    // Runs `steps` steps with a checkpoint every 500 and at the end. False after the first
    // failure, which is in `failure`.
    bool Run(int steps) {
        g_seed = seed_;
        g_control = kind_.name;
        Setup();
        for (step_ = 0; step_ < steps && failure.empty(); ++step_) {
            g_step = step_;
            Step();
            if (failure.empty()) Quiet();
            if (trace_) Trace();
            if (failure.empty()) CheckMirror();
            if (failure.empty() && (step_ + 1) % 500 == 0) Checkpoint();
        }
        if (failure.empty() && steps % 500 != 0) Checkpoint();
        page_.reset();
        control_->Clear();
        return failure.empty();
    }

    std::string failure;
    long events = 0, reentries = 0, ticks = 0, refusedBinds = 0;

private:
    // --- Random choices ---------------------------------------------------------------------
    int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    bool Chance(int percent) { return Below(100) < percent; }
    std::wstring Word() {
        static const wchar_t* syllables[] = {L"al", L"be", L"co", L"da", L"ex", L"fo", L"gu", L"hi", L"ka", L"lo",
                                             L"mu", L"no", L"pi", L"ra", L"su", L"ti", L"zu", L"we"};
        std::wstring w;
        for (int n = 1 + Below(3); n > 0; --n) w += syllables[Below(18)];
        return w;
    }
    LONG AnyKnownId() {
        auto it = items_.begin();
        std::advance(it, Below(static_cast<int>(items_.size())));
        return it->first;
    }
    // 1 to 3 ids: known items, and now and then one the client does not have.
    std::vector<LONG> SomeIds(bool withUnknown) {
        std::vector<LONG> ids;
        for (int n = 1 + Below(3); n > 0; --n) {
            if (!items_.empty() && !(withUnknown && Chance(15))) ids.push_back(AnyKnownId());
            else ids.push_back(50000 + Below(100));
        }
        return ids;
    }

    // KV_PAGE_FUZZ_TRACE=<seed> prints every step of that seed.
    void Trace() {
        std::string line = "step " + std::to_string(step_) + " " + lastAction_ + ":";
        if (page_ && page_->Binding())
            for (const auto& call : page_->Binding()->Calls()) line += " " + kv::ToAnsi(call);
        line += " |";
        if (page_)
            for (const auto& e : page_->Events())
                line += " " + kv::ToAnsi(e.name) + (e.args.empty() ? "" : "(" + kv::ToAnsi(PageHost::FormatValue(*e.args[0].get())) + ")");
        std::printf("%s\n", line.c_str());
    }

    void Fail(const std::string& what) {
        if (!failure.empty()) return;
        failure = std::string(kind_.name) + ", seed " + std::to_string(seed_) + ", step " + std::to_string(step_) +
                  " (" + lastAction_ + "): " + what;
        // What the step did, for the one who reads the failure.
        if (page_ && page_->Binding()) {
            failure += "\n  the binding heard:";
            for (const auto& call : page_->Binding()->Calls()) failure += " " + kv::ToAnsi(call);
        }
        if (page_) {
            failure += "\n  the page heard:";
            for (const auto& e : page_->Events()) {
                failure += " " + kv::ToAnsi(e.name) + "(";
                for (size_t i = 0; i < e.args.size(); ++i)
                    failure += (i ? "," : "") + kv::ToAnsi(PageHost::FormatValue(*e.args[i].get()));
                failure += ")";
            }
        }
    }

    // --- The client -------------------------------------------------------------------------
    void Setup() {
        app_ = kv::test::CreateClient();
        if (FAILED(app_.As(&control_))) return Fail("no client control");
        control_->Clear();
        if (kind_.directory) {
            control_->PutChannel(kDirectoryChannel, kv::Bstr(L"Channel Guide").get(),
                                 kv::Bstr(L"C:\\Channels\\Directory").get(), 0, 2, 0, kv::Bstr(L"guide").get());
        } else {
            control_->PutChannel(kNews, kv::Bstr(L"News").get(), kv::Bstr(L"C:\\Channels\\News").get(), 0, 0, 0,
                                 kv::Bstr(L"news").get());
            control_->PutChannel(kSports, kv::Bstr(L"Sports").get(), kv::Bstr(L"C:\\Channels\\Sports").get(), 0, 0, 0,
                                 kv::Bstr(L"sports").get());
            for (LONG id = 9000; id < 9005; ++id) StoreStory(kSports, id, Word(), false);
        }
        for (int n = 4 + Below(6); n > 0; --n) Put(nextId_++, Word());
        MakePage();
    }

    void StoreStory(LONG channel, LONG id, const std::wstring& title, bool broken) {
        control_->SetStoryProperty(channel, id, kv::Bstr(L"TITLE").get(), kv::Bstr(title).get(), 1);
        control_->SetStoryProperty(channel, id, kv::Bstr(L"READ").get(),
                                   kv::Bstr(broken ? L"maybe" : Chance(50) ? L"1" : L"0").get(), 1);
    }

    // The item as the client holds it, with a name, and broken or not.
    void Put(LONG id, const std::wstring& name, bool broken = false) {
        items_[id] = {name, broken};
        if (!kind_.directory) {
            StoreStory(kNews, id, name, broken);
            if (Chance(3)) {  // a column the table has not seen yet
                const wchar_t* column = Chance(50) ? L"AUTHOR" : L"MESSAGE_LIFESPAN";
                control_->SetStoryProperty(kNews, id, kv::Bstr(column).get(), kv::Bstr(L"7").get(), 1);
            }
            return;
        }
        control_->SetEntryField(id, 1, *Variant::String(name).get());
        control_->SetEntryField(id, 8, *Variant::String(Chance(50) ? L"Sports" : L"Music/Jazz").get());
        control_->SetEntryField(id, 3, *Variant::I4(Chance(20) ? 0x100 : 0).get());
        control_->SetEntryField(id, 38, *Variant::I4(broken ? -5 : 86400 * Below(1000)).get());
        if (Chance(5)) control_->SetEntryField(id, 4096, *Variant::I4(Below(2)).get());
    }

    void Remove(LONG id) {
        items_.erase(id);
        if (kind_.directory) control_->DeleteEntry(id);
        else control_->DeleteStory(kNews, id);
    }

    LONG FireAdded(const std::vector<LONG>& ids) {
        LONG delivered = 0;
        if (kind_.directory) {
            for (LONG id : ids) control_->FireEntryChanged(id, &delivered);
        } else {
            control_->FireStoriesAdded(kNews, *IdsVariant(ids).get(), &delivered);
        }
        return delivered;
    }
    void FireChanged(const std::vector<LONG>& ids) {
        LONG delivered = 0;
        if (kind_.directory) {
            for (LONG id : ids) {
                if (Chance(50)) control_->FireEntryEvent(id, 1 + Below(8), &delivered);
                else control_->FireEntryChanged(id, &delivered);
            }
        } else {
            control_->FireStoriesChanged(kNews, *IdsVariant(ids).get(), 1 + Below(8), &delivered);
        }
    }
    void FireDeleted(const std::vector<LONG>& ids) {
        LONG delivered = 0;
        if (kind_.directory) {
            for (LONG id : ids) control_->FireEntryDeleted(id, &delivered);
        } else {
            control_->FireStoriesDeleted(kNews, *IdsVariant(ids).get(), &delivered);
        }
    }
    Variant IdsVariant(const std::vector<LONG>& ids) {
        if (ids.size() == 1 && Chance(50)) return Variant::I4(ids[0]);
        auto sa = kv::SafeArray::Vector(VT_I4, static_cast<ULONG>(ids.size()));
        for (LONG i = 0; i < static_cast<LONG>(ids.size()); ++i)
            SafeArrayPutElement(sa.get(), &i, const_cast<LONG*>(&ids[static_cast<size_t>(i)]));
        Variant v;
        v->vt = VT_ARRAY | VT_I4;
        v->parray = sa.Detach();
        return v;
    }

    std::vector<std::wstring> ClientCalls() {
        Variant parents, calls;
        control_->GetCalls(parents.put(), calls.put());
        std::vector<std::wstring> out;
        for (LONG i = 0; i < kv::test::Length(*calls.get()); ++i) out.push_back(kv::test::Element(*calls.get(), i)->bstrVal);
        control_->ClearCalls();
        return out;
    }

    // --- The page ---------------------------------------------------------------------------
    void MakePage() {
        page_.reset();
        page_ = std::make_unique<PageHost>(kind_.page);
        page_->Create(kind_.progId, {kv::browser::TextParam(L"Sort", kind_.checkedSorts[0])});
        page_->OnEvent(L"OnFilter", [this](PageHost& host, const EventCall& e) { OnFilter(host, e); });
        for (const wchar_t* event : kind_.events)
            page_->OnEvent(event, [this](PageHost& host, const EventCall&) { Reenter(host); });
        format_ = Chance(50) ? OSPFORMAT_HTML : OSPFORMAT_RAW;
        try {
            page_->Bind(format_);
        } catch (const kv::browser::PageHostError&) {
            // The first read fails cleanly while the client holds a broken item; once the client
            // has mended it, the page binds.
            ++refusedBinds;
            MendBroken();
            try {
                page_->Bind(format_);
            } catch (const kv::browser::PageHostError& e) {
                Fail(std::string("a new control could not bind: ") + e.what());
            }
        }
    }

    // The client mends what it broke, and says so.
    void MendBroken() {
        std::vector<LONG> broken;
        for (auto& [id, item] : items_)
            if (item.broken) broken.push_back(id);
        for (LONG id : broken) Put(id, items_[id].name);
        if (!broken.empty()) FireChanged(broken);
        Quiet();
    }

    bool Passes(const std::wstring& name) const {
        if (kind_.directory && name.empty()) return false;
        return !onlyWithE_ || name.find(L'e') != std::wstring::npos;
    }

    void OnFilter(PageHost& host, const EventCall& e) {
        // Script runs first: what it does may offer rows to this same handler meanwhile.
        Reenter(host);
        if (e.args.empty() || e.args[0].vt() != VT_DISPATCH || !e.args[0]->pdispVal) return Fail("OnFilter without an item");
        Variant name = Property(e.args[0]->pdispVal, kind_.nameColumn);
        if (!onlyWithE_) {
            if (Chance(30)) host.Put(L"returnValue", Variant::Bool(true));
            return;  // no answer keeps the row
        }
        host.Put(L"returnValue", Variant::Bool(name.vt() == VT_BSTR && Passes(name->bstrVal)));
    }

    static Variant Property(IDispatch* item, const wchar_t* name) {
        DISPID id = 0;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPPARAMS none = {};
        Variant value;
        if (SUCCEEDED(item->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)))
            item->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value.put(), nullptr, nullptr);
        return value;
    }

    // Page script inside an event: now and then it resets, sorts, asks for an item or reads.
    void Reenter(PageHost& host) {
        ++events;
        if (!reentering_ || depth_ > 0 || !Chance(25)) return;
        ++depth_;
        ++reentries;
        PageAction(host);
        --depth_;
    }

    void PageAction(PageHost& host) {
        const int action = Below(4);
        if (trace_) std::printf("  script in an event: %d\n", action);
        switch (action) {
        case 0: host.TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(Chance(50))}, nullptr); break;
        case 1: host.Put(L"Sort", Variant::String(RandomSort())); break;
        case 2: AskForItem(host); break;
        default: ReadCells(host); break;
        }
    }

    const wchar_t* RandomSort() {
        return Chance(60) ? kind_.checkedSorts[static_cast<size_t>(Below(static_cast<int>(kind_.checkedSorts.size())))]
                          : kind_.otherSorts[static_cast<size_t>(Below(static_cast<int>(kind_.otherSorts.size())))];
    }

    // The control's own table, also while the binding is still being made.
    static ComPtr<OLEDBSimpleProvider> TableOf(PageHost& host) {
        ComPtr<OLEDBSimpleProvider> provider;
        if (host.Control())
            host.Control()->QueryInterface(__uuidof(OLEDBSimpleProvider), reinterpret_cast<void**>(provider.GetAddressOf()));
        return provider;
    }
    LONG ProviderRows(PageHost& host) {
        DBROWCOUNT rows = 0;
        if (auto provider = TableOf(host)) provider->getRowCount(&rows);
        return static_cast<LONG>(rows);
    }

    void AskForItem(PageHost& host) {
        const LONG rows = ProviderRows(host);
        const LONG n = Below(static_cast<int>(rows) + 4) - 1;  // -1 to rows + 2
        Variant item;
        HRESULT hr = host.TryInvoke(kind_.itemMethod, DISPATCH_METHOD, {Variant::I4(n)}, &item);
        if (n < 1 || n > rows) {
            if (SUCCEEDED(hr)) Fail(kv::ToAnsi(kind_.itemMethod) + "(" + std::to_string(n) + ") beyond the table succeeded");
            return;
        }
        if (FAILED(hr)) return Fail(kv::ToAnsi(kind_.itemMethod) + "(" + std::to_string(n) + ") failed");
        if (item.vt() != VT_DISPATCH || !item->pdispVal) return Fail("an item that is no object");
        Property(item->pdispVal, kind_.nameColumn);
    }

    void ReadCells(PageHost& host) {
        auto provider = TableOf(host);
        if (!provider) return;
        const LONG rows = ProviderRows(host);
        DB_LORDINAL columns = 0;
        provider->getColumnCount(&columns);
        for (int n = 1 + Below(4); n > 0; --n) {
            Variant cell;
            provider->getVariant(Below(static_cast<int>(rows) + 2), 1 + Below(static_cast<int>(columns) + 1),
                                            Chance(50) ? OSPFORMAT_HTML : OSPFORMAT_RAW, cell.put());
        }
    }

    // --- Steps ------------------------------------------------------------------------------
    void Step() {
        page_->ClearEvents();
        if (auto* b = page_->Binding()) b->ClearCalls();
        reentering_ = true;
        // The client's items stay few (about 10 to 25), so that each step's checks stay cheap.
        int roll = Below(100);
        if (roll < 20 && items_.size() >= 25) roll = 35;
        if (roll < 20) {
            lastAction_ = "client adds";
            std::vector<LONG> ids;
            for (int n = 1 + Below(3); n > 0; --n) {
                Put(nextId_, Chance(3) && kind_.directory ? L"" : Word());
                ids.push_back(nextId_++);
            }
            if (Chance(15)) ids.push_back(50000 + Below(100));
            FireAdded(ids);
            if (!kind_.directory && Chance(10)) {
                LONG delivered = 0;  // another channel's stories
                control_->FireStoriesAdded(kSports, *IdsVariant({9000, 9001}).get(), &delivered);
            }
        } else if (roll < 35) {
            lastAction_ = "client changes";
            std::vector<LONG> ids = SomeIds(true);
            for (LONG id : ids)
                if (items_.count(id)) Put(id, Chance(70) ? Word() : items_[id].name);
            FireChanged(ids);
        } else if (roll < 43) {
            lastAction_ = "client deletes";
            if (items_.size() < 10) return;
            std::vector<LONG> ids = SomeIds(true);
            for (LONG id : ids)
                if (items_.count(id)) Remove(id);
            FireDeleted(ids);
        } else if (roll < 47) {
            lastAction_ = "client breaks an item";
            if (items_.empty()) return;
            LONG id = AnyKnownId();
            Put(id, Word(), true);
            FireChanged({id});
        } else if (roll < 55) {
            lastAction_ = "page sets Sort";
            page_->Put(L"Sort", Variant::String(RandomSort()));
        } else if (roll < 65) {
            lastAction_ = "page resets";
            page_->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(Chance(50))}, nullptr);
        } else if (roll < 72) {
            lastAction_ = "page asks for an item";
            AskForItem(*page_);
        } else if (roll < 82) {
            lastAction_ = "page reads cells";
            ReadCells(*page_);
        } else if (roll < 92) {
            lastAction_ = kind_.directory ? "check box" : "page reads cells";
            if (kind_.directory) Tick(false);
            else ReadCells(*page_);
        } else if (roll < 97) {
            lastAction_ = "filter flips";
            onlyWithE_ = !onlyWithE_;
        } else if (roll < 98) {
            lastAction_ = "control made anew";
            MakePage();
        } else {
            lastAction_ = "nothing";
        }
    }

    void Quiet() {
        if (!page_->PumpUntilIdle(20000)) Fail("hang: the page did not come to rest in 20 s");
    }

    // Ticks or unticks the check box of a row the binding shows: the client hears of that
    // row's entry, and the client then reports the entry changed, as it does.
    void Tick(bool checkpoint) {
        auto& b = *page_->Binding();
        if (b.RowCount() == 0) return;
        const LONG row = 1 + Below(static_cast<int>(b.RowCount()));
        const LONG idColumn = b.ColumnOf(kind_.idColumn), subscribedColumn = b.ColumnOf(L"IS_SUBSCRIBED");
        if (!idColumn || !subscribedColumn) return Fail("the binding has no CHANNEL_ID or IS_SUBSCRIBED");
        const std::wstring shownId = Shown(b.Cell(row, idColumn)), shownState = Shown(b.Cell(row, subscribedColumn));
        const bool subscribed = shownState == L"Yes" || shownState == L"true";
        ClientCalls();
        ++ticks;
        HRESULT hr = b.CheckBox(row, subscribedColumn, !subscribed);
        auto calls = ClientCalls();
        std::vector<std::wstring> expected = {(subscribed ? L"Unsubscribe " : L"Subscribe ") + shownId};
        if (FAILED(hr) || calls != expected)
            return Fail(std::string(checkpoint ? "checkpoint: " : "") + "ticking row " + std::to_string(row) +
                        ", which shows entry " + kv::ToAnsi(shownId) + " " + kv::ToAnsi(shownState) + ", gave hr " +
                        std::to_string(hr) + " and " + (calls.empty() ? std::string("no call") : kv::ToAnsi(calls[0])));
        LONG delivered = 0;
        control_->FireEntryChanged(std::stol(shownId), &delivered);
    }

    // A cell as the page shows it: the text without the decoration's tags.
    static std::wstring Shown(const Variant& cell) {
        std::wstring text = kv::browser::PageHost::FormatValue(*cell.get()), out;
        bool inTag = false;
        for (wchar_t c : text) {
            if (c == L'<') inTag = true;
            else if (c == L'>') inTag = false;
            else if (!inTag && c != L'"') out += c;
        }
        return out;
    }

    // --- Invariants -------------------------------------------------------------------------
    void CheckMirror() {
        auto& b = *page_->Binding();
        if (!b.Errors().empty()) return Fail("the binding was told of rows it does not have: " + kv::ToAnsi(b.Errors()[0]));
        DBROWCOUNT rows = 0;
        DB_LORDINAL columns = 0;
        b.Provider()->getRowCount(&rows);
        b.Provider()->getColumnCount(&columns);
        if (rows != b.RowCount() || columns != b.ColumnCount())
            return Fail("the binding holds " + std::to_string(b.RowCount()) + "x" + std::to_string(b.ColumnCount()) +
                        ", the table is " + std::to_string(rows) + "x" + std::to_string(columns));
        for (LONG r = 0; r <= b.RowCount(); ++r)
            for (LONG c = 2; c <= b.ColumnCount(); ++c) {
                Variant fresh;
                b.Provider()->getVariant(r, c, format_, fresh.put());
                if (PageHost::FormatValue(*fresh.get()) != PageHost::FormatValue(*b.Cell(r, c).get()))
                    return Fail("row " + std::to_string(r) + " column " + std::to_string(c) + ": the binding shows " +
                                kv::ToAnsi(PageHost::FormatValue(*b.Cell(r, c).get())) + ", the table holds " +
                                kv::ToAnsi(PageHost::FormatValue(*fresh.get())));
            }
    }

    Variant Raw(LONG row, LONG column) {
        Variant cell;
        page_->Binding()->Provider()->getVariant(row, column, OSPFORMAT_RAW, cell.put());
        return cell;
    }

    // Whether `a` may come before `b` under the ascending key: strings without regard to case,
    // numbers by value; other pairs are not judged.
    static int Order(const Variant& a, const Variant& b) {
        if (a.vt() == VT_BSTR && b.vt() == VT_BSTR) {
            std::wstring x = kv::AsciiUpper(a->bstrVal ? a->bstrVal : L""), y = kv::AsciiUpper(b->bstrVal ? b->bstrVal : L"");
            return x < y ? -1 : x > y ? 1 : 0;
        }
        if (a.vt() == VT_I4 && b.vt() == VT_I4) return a->lVal < b->lVal ? -1 : a->lVal > b->lVal ? 1 : 0;
        return 0;
    }

    void Checkpoint() {
        lastAction_ = "checkpoint";
        reentering_ = false;
        MendBroken();
        const std::wstring sort = kind_.checkedSorts[static_cast<size_t>(Below(static_cast<int>(kind_.checkedSorts.size())))];
        page_->Put(L"Sort", Variant::String(sort));
        HRESULT hr = page_->TryInvoke(L"Reset", DISPATCH_METHOD, {Variant::Bool(true)}, nullptr);
        if (FAILED(hr)) return Fail("checkpoint: Reset(TRUE) failed with " + std::to_string(hr));
        Quiet();
        CheckMirror();
        if (!failure.empty()) return;

        auto& b = *page_->Binding();
        const LONG idColumn = b.ColumnOf(kind_.idColumn);
        std::set<LONG> shown, expected;
        for (LONG r = 1; r <= b.RowCount(); ++r) {
            Variant id = Raw(r, idColumn);
            if (id.vt() != VT_I4) return Fail("checkpoint: row " + std::to_string(r) + " has no id");
            shown.insert(id->lVal);
        }
        for (auto& [id, item] : items_)
            if (Passes(item.name)) expected.insert(id);
        if (shown != expected || static_cast<size_t>(b.RowCount()) != shown.size()) {
            std::string text;
            for (LONG id : expected)
                if (!shown.count(id)) text += " missing " + std::to_string(id);
            for (LONG id : shown)
                if (!expected.count(id)) text += " extra " + std::to_string(id);
            return Fail("checkpoint: the table's ids are not the client's items that pass the filter:" + text);
        }

        // The order: each key in turn, the first that differs decides.
        std::vector<std::pair<LONG, bool>> keys;  // column, descending
        for (size_t at = 0; at <= sort.size();) {
            size_t end = std::min(sort.find(L';', at), sort.size());
            std::wstring part = sort.substr(at, end - at);
            bool descending = !part.empty() && part[0] == L'-';
            keys.push_back({b.ColumnOf(descending ? part.substr(1) : part), descending});
            at = end + 1;
        }
        for (LONG r = 1; r < b.RowCount(); ++r) {
            for (auto [column, descending] : keys) {
                int o = Order(Raw(r, column), Raw(r + 1, column));
                if (descending) o = -o;
                if (o < 0) break;
                if (o > 0)
                    return Fail("checkpoint: rows " + std::to_string(r) + " and " + std::to_string(r + 1) +
                                " are out of the order " + kv::ToAnsi(sort));
            }
        }

        if (kind_.directory) {
            for (int n = 0; n < 3 && failure.empty(); ++n) {
                Tick(true);
                Quiet();
                CheckMirror();
            }
        }
        reentering_ = true;
    }

    const Kind& kind_;
    uint32_t seed_;
    std::mt19937 random_;
    int step_ = 0;
    std::string lastAction_ = "start";
    ComPtr<IClientApp2> app_;
    ComPtr<IClientControl> control_;
    std::unique_ptr<PageHost> page_;
    OSPFORMAT format_ = OSPFORMAT_RAW;
    std::map<LONG, Item> items_;
    LONG nextId_ = 1000;
    bool onlyWithE_ = false;
    bool reentering_ = true;
    int depth_ = 0;
    bool trace_ = false;
};

// KV_PAGE_FUZZ=<first seed>:<seeds>:<steps> runs those instead, to follow up a failure.
void Fuzz(const Kind& kind, uint32_t firstSeed, int seeds, int steps) {
    char text[64] = {};
    if (GetEnvironmentVariableA("KV_PAGE_FUZZ", text, sizeof text)) {
        unsigned first = 0;
        if (std::sscanf(text, "%u:%d:%d", &first, &seeds, &steps) == 3) firstSeed = first;
    }
    SetUnhandledExceptionFilter(ReportCrash);
    static HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
    (void)watchdog;
    const auto start = std::chrono::steady_clock::now();
    long events = 0, reentries = 0, ticks = 0, refusedBinds = 0;
    int failed = 0;
    for (uint32_t seed = firstSeed; seed < firstSeed + static_cast<uint32_t>(seeds); ++seed) {
        Fuzzer fuzzer(kind, seed);
        const bool passed = fuzzer.Run(steps);
        g_step = -1;  // between runs nothing is stuck
        if (!passed) {
            ++failed;
            ADD_FAILURE() << fuzzer.failure;
        }
        events += fuzzer.events;
        reentries += fuzzer.reentries;
        ticks += fuzzer.ticks;
        refusedBinds += fuzzer.refusedBinds;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("page fuzz, %s: %d seeds x %d steps from seed %u, %d failed; %ld events, %ld re-entries, %ld ticks, "
                "%ld binds refused while the client held a broken item; %.1f s\n",
                kind.name, seeds, steps, static_cast<unsigned>(firstSeed), failed, events, reentries, ticks, refusedBinds,
                seconds);
}

TEST(PageFuzz, StoryControl) { Fuzz(kStories, 1, 3, 1000); }
TEST(PageFuzz, DirectoryControl) { Fuzz(kDirectory, 1, 3, 1000); }

// The long runs, behind the label "long": ctest -L long.
TEST(PageFuzz, DISABLED_LongStoryControl) { Fuzz(kStories, 100, 10, 10000); }
TEST(PageFuzz, DISABLED_LongDirectoryControl) { Fuzz(kDirectory, 100, 10, 10000); }

}  // namespace
