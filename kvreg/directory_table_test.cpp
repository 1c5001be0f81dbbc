// The directory table without the control: its columns, how entries load, how cells read for
// the binding, the binding's writes of IS_SUBSCRIBED and the entry object, against the
// in-process client where the client is needed.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "framework/data_provider.h"
#include "kvreg/directory_cell_decorator.h"
#include "kvreg/directory_entry.h"
#include "kvreg/directory_record_set.h"
#include "platform/text.h"
#include "tests/client/client_test_util.h"

namespace {

using kv::ComPtr;
using kv::Variant;

using Fields = std::vector<std::pair<LONG, Variant>>;

// One entry's data as the client delivers it: [field ids, values].
Variant EntryData(const Fields& fields, VARTYPE idType = VT_I4) {
    SAFEARRAY* ids = SafeArrayCreateVector(idType, 0, static_cast<ULONG>(fields.size()));
    SAFEARRAY* values = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(fields.size()));
    for (LONG i = 0; i < static_cast<LONG>(fields.size()); ++i) {
        Variant id = Variant::I4(fields[static_cast<size_t>(i)].first);
        SafeArrayPutElement(ids, &i, idType == VT_I4 ? static_cast<void*>(&id->lVal) : id.get());
        SafeArrayPutElement(values, &i, const_cast<VARIANT*>(fields[static_cast<size_t>(i)].second.get()));
    }
    SAFEARRAY* pair = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    Variant a, b;
    a->vt = VT_ARRAY | idType;
    a->parray = ids;
    b->vt = VT_ARRAY | VT_VARIANT;
    b->parray = values;
    LONG i0 = 0, i1 = 1;
    SafeArrayPutElement(pair, &i0, a.get());
    SafeArrayPutElement(pair, &i1, b.get());
    Variant out;
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = pair;
    return out;
}

Variant Array(const std::vector<Variant>& items) {
    SAFEARRAY* sa = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size()));
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i)
        SafeArrayPutElement(sa, &i, const_cast<VARIANT*>(items[static_cast<size_t>(i)].get()));
    Variant out;
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = sa;
    return out;
}

Variant Ids(const std::vector<LONG>& ids) {
    SAFEARRAY* sa = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(ids.size()));
    for (LONG i = 0; i < static_cast<LONG>(ids.size()); ++i)
        SafeArrayPutElement(sa, &i, const_cast<LONG*>(&ids[static_cast<size_t>(i)]));
    Variant out;
    out->vt = VT_ARRAY | VT_I4;
    out->parray = sa;
    return out;
}

Variant S(const wchar_t* text) { return Variant::String(text); }
Variant I(LONG value) { return Variant::I4(value); }

HRESULT Hr(const std::function<void()>& f) {
    try {
        f();
        return S_OK;
    } catch (const kv::HResultError& e) {
        return e.Code();
    }
}

class DirectoryTable : public ::testing::Test {
protected:
    void SetUp() override {
        columns = std::make_shared<const kv::DirectoryColumnTable>(kv::ThisModule());
        categories = std::make_shared<const kv::CategoryMap>(kv::ThisModule());
        table = kv::MakeObject<kv::DirectoryRecordSet>(columns, categories, nullptr);
    }
    // The binding's column number of a column name.
    long Col(const wchar_t* name) const { return columns->Find(name) + 1; }
    Variant Cell(LONG id, const wchar_t* name) {
        long row = table->FindRow(id);
        Variant v;
        if (row) table->GetCell(row, Col(name), v.get());
        return v;
    }

    std::shared_ptr<const kv::DirectoryColumnTable> columns;
    std::shared_ptr<const kv::CategoryMap> categories;
    ComPtr<kv::DirectoryRecordSet> table;
};

TEST_F(DirectoryTable, HasTheFixedColumnsAndFieldIds) {
    struct {
        long column;
        const wchar_t* name;
    } names[] = {{1, L"INTERNAL_SORT"}, {2, L"INTERNAL_STATE"}, {3, L"ENTRY_CATEGORY"}, {4, L"CHANNEL_ID"},
                 {5, L"NAME"},          {42, L"TIME_ADDED"},    {48, L"AGENT_PAK_ID"},  {49, L"IS_SUBSCRIBED"}};
    EXPECT_EQ(49, table->ColumnCount());
    for (const auto& c : names) {
        Variant header;
        table->GetCell(0, c.column, header.get());
        EXPECT_EQ(std::wstring(c.name), header->bstrVal) << c.column;
    }
    struct {
        LONG field;
        long index;
    } fields[] = {{0, 3}, {1, 4}, {38, 41}, {44, 47}, {45, -1}, {-1, -1}, {4095, -1}, {4096, 48}, {4097, -1}};
    for (const auto& f : fields) EXPECT_EQ(f.index, columns->IndexOf(f.field)) << f.field;
    for (long i = 0; i < 49; ++i) EXPECT_EQ(i == 48, columns->IsWritable(i)) << i;
}

TEST_F(DirectoryTable, LoadsEntriesAndSkipsWhatDoesNotFit) {
    Variant entries = Array({
        EntryData({{0, I(17)}, {1, S(L"Sports Daily")}, {8, S(L"Sports")}, {38, I(0)}}),
        EntryData({{0, I(18)}, {1, S(L"Jazz")}, {45, S(L"no column")}, {4097, S(L"none")}, {-3, S(L"none")}}),
        EntryData({{0, I(17)}, {1, S(L"Sports Weekly")}}),  // delivered twice: one row, NAME replaced
        EntryData({{0, I(19)}, {1, S(L"")}}),               // no name: gone at the filter step
    });
    table->Load(*entries.get(), *Ids({18}).get());
    ASSERT_EQ(3, table->RowCount());
    EXPECT_EQ(1, table->FindRow(19)) << "new entries go to the top";
    EXPECT_EQ(std::wstring(L"Sports Weekly"), Cell(17, L"NAME")->bstrVal);
    EXPECT_EQ(std::wstring(L"Sports"), Cell(17, L"ENTRY_CATEGORY")->bstrVal) << "kept from the first delivery";
    Variant added = Cell(17, L"TIME_ADDED");
    ASSERT_EQ(VT_DATE, added.vt());
    EXPECT_NEAR(25569.0, added->date, 1.0) << "1970-01-01 in local time";
    EXPECT_EQ(VARIANT_FALSE, Cell(17, L"IS_SUBSCRIBED")->boolVal);
    EXPECT_EQ(VARIANT_TRUE, Cell(18, L"IS_SUBSCRIBED")->boolVal);
    EXPECT_EQ(0, Cell(18, L"INTERNAL_STATE")->lVal);

    table->FilterAndSort(nullptr, nullptr);
    EXPECT_EQ(2, table->RowCount());
    EXPECT_EQ(0, table->FindRow(19));
    EXPECT_EQ(1, Cell(18, L"INTERNAL_STATE")->lVal);

    // The subscribed-id set lasts one load only.
    table->SetEntry(*EntryData({{0, I(20)}, {1, S(L"Later")}}).get(), 0, false);
    EXPECT_EQ(VARIANT_FALSE, Cell(20, L"IS_SUBSCRIBED")->boolVal);
}

TEST_F(DirectoryTable, RejectsBrokenEntriesAndTrustsNoCount) {
    struct Case {
        const char* what;
        Variant data;
        long count;
        HRESULT hr;
        int cells;  // fields applied to entry 30 beyond its id
    } cases[] = {
        {"no fields", EntryData({}), 0, E_INVALIDARG, -1},
        {"bad TIME_ADDED", EntryData({{0, I(30)}, {1, S(L"A")}, {38, S(L"yesterday")}}), 0, E_FAIL, -1},
        {"negative TIME_ADDED", EntryData({{0, I(30)}, {1, S(L"A")}, {38, I(-5)}}), 0, E_FAIL, -1},
        {"CATEGORIES not text", EntryData({{0, I(30)}, {1, S(L"A")}, {8, Ids({1})}}), 0, DISP_E_TYPEMISMATCH, -1},
        {"count beyond the arrays", EntryData({{0, I(30)}, {1, S(L"A")}}), 1000, S_OK, 1},
        {"count below the arrays", EntryData({{0, I(30)}, {1, S(L"A")}, {2, S(L"v2")}}), 2, S_OK, 1},
        {"ids as VARIANTs", EntryData({{0, I(30)}, {1, S(L"A")}}, VT_VARIANT), 0, S_OK, 1},
        {"not an array", S(L"entry"), 0, E_INVALIDARG, -1},
    };
    for (auto& c : cases) {
        SetUp();
        EXPECT_EQ(c.hr, Hr([&] { table->SetEntry(*c.data.get(), c.count, false); })) << c.what;
        if (c.cells < 0) {
            EXPECT_EQ(0, table->RowCount()) << c.what;
            continue;
        }
        EXPECT_EQ(c.cells == 1, Cell(30, L"NAME").vt() == VT_BSTR) << c.what;
        EXPECT_EQ(VT_EMPTY, Cell(30, L"VERSION").vt()) << c.what;
    }
    // A failing entry leaves the entries before it in place, is not in the table itself, and the
    // id set is emptied.
    SetUp();
    Variant entries = Array({EntryData({{0, I(1)}, {1, S(L"A")}}), EntryData({{0, I(2)}, {38, S(L"x")}}),
                             EntryData({{0, I(3)}, {1, S(L"C")}})});
    EXPECT_EQ(E_FAIL, Hr([&] { table->Load(*entries.get(), *Ids({1, 2, 3}).get()); }));
    EXPECT_EQ(1, table->RowCount());
    table->SetEntry(*EntryData({{0, I(3)}, {1, S(L"C")}}).get(), 0, false);
    EXPECT_EQ(VARIANT_FALSE, Cell(3, L"IS_SUBSCRIBED")->boolVal);
}

// An entry the client delivers broken leaves a known row as it was; a client field on a
// computed column and subscribed ids that are no array change nothing either.
TEST_F(DirectoryTable, AFailedRefreshKeepsTheRowAndComputedColumnsStayComputed) {
    Variant entries = Array({EntryData({{0, I(30)}, {1, S(L"Old")}, {8, S(L"Music")}, {38, I(0)}})});
    table->Load(*entries.get(), *Ids({30}).get());
    table->FilterAndSort(nullptr, nullptr);
    for (auto& broken : {EntryData({{0, I(30)}, {1, S(L"New")}, {8, S(L"Sports")}, {38, I(-5)}}),
                         EntryData({{0, I(30)}, {1, S(L"New")}, {8, Ids({1})}})}) {
        EXPECT_NE(S_OK, Hr([&] { table->SetEntry(*broken.get(), 0, false); }));
        EXPECT_EQ(std::wstring(L"Old"), Cell(30, L"NAME")->bstrVal);
        EXPECT_EQ(std::wstring(L"Entertainment"), Cell(30, L"ENTRY_CATEGORY")->bstrVal);
        EXPECT_EQ(VARIANT_TRUE, Cell(30, L"IS_SUBSCRIBED")->boolVal);
        EXPECT_EQ(1, Cell(30, L"INTERNAL_STATE")->lVal) << "not sent through the filter again";
    }

    struct {
        const char* what;
        Variant subscribedIds;
        bool subscribed;
    } cases[] = {
        {"ids as an array", Ids({31}), true},
        {"one id, not an array", I(31), false},
        {"text", S(L"31"), false},
    };
    for (auto& c : cases) {
        SetUp();
        Variant entry = Array({EntryData({{0, I(31)}, {1, S(L"A")}, {4096, Variant::Bool(!c.subscribed)}})});
        EXPECT_EQ(S_OK, Hr([&] { table->Load(*entry.get(), *c.subscribedIds.get()); })) << c.what;
        Variant cell = Cell(31, L"IS_SUBSCRIBED");
        EXPECT_EQ(VT_BOOL, cell.vt()) << c.what;
        EXPECT_EQ(c.subscribed, cell->boolVal != VARIANT_FALSE) << c.what << ": the client's answer, not field 4096";
    }
}

TEST_F(DirectoryTable, GroupsCategories) {
    struct {
        Variant categories;
        const wchar_t* group;
    } cases[] = {
        {S(L"Weather"), L"News and Technology"},
        {S(L"Sports;Computing"), L"News and Technology"},
        {S(L"Weather;"), L"News and Technology"},
        {S(L"Music/Jazz"), L"Entertainment"},
        {S(L"Business/Stock Quotes"), L"Business"},
        {S(L"News/Local;Computing/Software"), L"News and Technology"},
        {S(L"Dadivov"), L""},
        {S(L"Nowhere"), L""},
        {S(L""), L""},
        {I(5), L""},
        {Variant(), L""},
    };
    LONG id = 100;
    for (auto& c : cases) {
        Fields fields = {{0, I(++id)}, {1, S(L"x")}};
        if (c.categories.vt() != VT_EMPTY) fields.push_back({8, c.categories});
        table->SetEntry(*EntryData(fields).get(), 0, false);
        EXPECT_EQ(std::wstring(c.group), Cell(id, L"ENTRY_CATEGORY")->bstrVal) << id;
    }
}

TEST_F(DirectoryTable, DecoratesCellsForTheBinding) {
    std::wstring longName(5000, L'n');
    Variant entries = Array({
        EntryData({{0, I(1)}, {1, S(L"Ch")}, {3, I(0x101)}, {4, I(1)}, {5, I(1)}, {6, I(42)}, {7, Variant()}}),
        EntryData({{0, I(2)}, {1, Variant::String(longName)}, {3, I(0x100)}, {4, I(0)}, {5, I(0)}}),
    });
    table->Load(*entries.get(), *Ids({1}).get());
    Variant nullCell;
    nullCell->vt = VT_NULL;
    table->SetEntry(*EntryData({{0, I(1)}, {7, nullCell}}).get(), 0, true);
    kv::DataProvider provider;
    provider.SetTable(table, kv::MakeObject<kv::DirectoryCellDecorator>(kv::ThisModule(), table));
    table->FilterAndSort(nullptr, table->CreateSortOrder().Get());  // INTERNAL_SORT holds an object now
    auto read = [&](LONG id, const wchar_t* column, long embellish, OSPFORMAT format = OSPFORMAT_HTML) {
        provider.SetEmbellish(embellish);
        Variant v;
        EXPECT_EQ(S_OK, provider.getVariant(table->FindRow(id), Col(column), format, v.get()));
        return v.vt() == VT_BSTR ? std::wstring(v->bstrVal, SysStringLen(v->bstrVal)) : L"<not text>";
    };
    struct {
        LONG id;
        const wchar_t* column;
        long embellish;
        std::wstring text;
    } cases[] = {
        {1, L"NAME", 0, L"Ch"},
        {1, L"NAME", 1, L"<SPAN CLASS=subscribed>Ch</SPAN>"},
        {1, L"NAME", 2, L"<SPAN CLASS=newchannel>Ch</SPAN>"},
        {1, L"NAME", 3, L"<SPAN CLASS=newchannel><SPAN CLASS=subscribed>Ch</SPAN></SPAN>"},
        {2, L"NAME", 1, L"<SPAN CLASS=unsubscribed>" + longName + L"</SPAN>"},
        {2, L"NAME", 2, longName},
        {1, L"TYPE_FLAGS", 0, L"Super"},
        {2, L"TYPE_FLAGS", 0, L"Agent"},
        {1, L"STATE_FLAGS", 0, L"Inactive"},
        {2, L"STATE_FLAGS", 0, L"Active"},
        {1, L"ATTRIBUTE_FLAGS", 0, L"New"},
        {2, L"ATTRIBUTE_FLAGS", 0, L""},
        {1, L"GENERAL_FLAGS", 0, L"42"},
        {1, L"IS_SUBSCRIBED", 0, L"Yes"},
        {2, L"IS_SUBSCRIBED", 0, L"No"},
        {1, L"INTERNAL_SORT", 0, L""},
        {1, L"DESCRIPTION", 0, L""},
        {1, L"KEYWORDS", 1, L"<SPAN CLASS=subscribed></SPAN>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.text, read(c.id, c.column, c.embellish)) << c.id << " " << kv::ToAnsi(c.column) << " " << c.embellish;
    EXPECT_EQ(L"Ch", read(1, L"NAME", 3, OSPFORMAT_RAW));
}

TEST_F(DirectoryTable, OnlyTheSubscriptionColumnIsWritable) {
    table->SetEntry(*EntryData({{0, I(1)}, {1, S(L"A")}}).get(), 0, false);
    kv::DataProvider provider;
    provider.SetTable(table, nullptr);
    struct {
        DBROWCOUNT row;
        DB_LORDINAL column;
        OSPRW status;
        HRESULT write;
    } cases[] = {
        {1, 49, OSPRW_READWRITE, E_POINTER},  // writable; this table has no client to write to
        {-1, 49, OSPRW_READWRITE, E_INVALIDARG},
        {0, 49, OSPRW_READONLY, E_INVALIDARG},
        {1, 48, OSPRW_READONLY, E_INVALIDARG},
        {1, 5, OSPRW_READONLY, E_INVALIDARG},
        {2, 49, OSPRW_READONLY, E_INVALIDARG},
        {1, 50, OSPRW_READONLY, E_INVALIDARG},
    };
    for (const auto& c : cases) {
        OSPRW status = OSPRW_DEFAULT;
        EXPECT_EQ(S_OK, provider.getRWStatus(c.row, c.column, &status));
        EXPECT_EQ(c.status, status) << c.row << "," << c.column;
        EXPECT_EQ(c.write, provider.setVariant(c.row, c.column, OSPFORMAT_RAW, *Variant::Bool(true).get()))
            << c.row << "," << c.column;
    }
}

// Against the in-process client: subscribing through the binding and the entry object.
class DirectoryClient : public DirectoryTable {
protected:
    void SetUp() override {
        DirectoryTable::SetUp();
        app = kv::test::CreateClient();
        ASSERT_EQ(S_OK, app.As(&control));
        control->Clear();
        control->SetEntryField(17, 1, *S(L"Sports Daily").get());
        control->SetEntryField(18, 1, *S(L"Agent Channel").get());
        control->SetEntryField(18, 3, *I(0x100).get());
        ASSERT_EQ(S_OK, app->GetDirectory(directory.GetAddressOf()));
        table = kv::MakeObject<kv::DirectoryRecordSet>(columns, categories, directory);
        Variant subscribed, entries;
        ASSERT_EQ(S_OK, directory->Query(1, 2, subscribed.put()));
        ASSERT_EQ(S_OK, directory->Query(3, 1, entries.put()));
        table->Load(*entries.get(), *subscribed.get());
        provider.SetTable(table, nullptr);
        control->ClearCalls();
    }
    void TearDown() override {
        if (control) control->Clear();
    }
    std::vector<std::wstring> Calls() {
        Variant windows, calls;
        control->GetCalls(windows.put(), calls.put());
        std::vector<std::wstring> out;
        for (LONG i = 0; i < kv::test::Length(*calls.get()); ++i) out.push_back(kv::test::Element(*calls.get(), i)->bstrVal);
        control->ClearCalls();
        return out;
    }
    HRESULT Write(LONG id, const Variant& value) {
        return provider.setVariant(table->FindRow(id), 49, OSPFORMAT_RAW, *value.get());
    }
    using Log = std::vector<std::wstring>;

    ComPtr<IClientApp2> app;
    ComPtr<IClientControl> control;
    ComPtr<IClientDirectory> directory;
    kv::DataProvider provider;
};

TEST_F(DirectoryClient, WritingTheCheckBoxSubscribesOnce) {
    EXPECT_EQ(S_OK, Write(17, Variant::Bool(true)));
    EXPECT_EQ(Log{L"Subscribe 17"}, Calls());
    EXPECT_EQ(VARIANT_TRUE, Cell(17, L"IS_SUBSCRIBED")->boolVal) << "an ordinary entry shows it at once";
    for (const Variant& again : {Variant::Bool(true), I(1), S(L"true"), S(L"-1")}) {
        EXPECT_EQ(S_OK, Write(17, again));
        EXPECT_EQ(Log{}, Calls()) << "already subscribed";
    }
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Write(17, S(L"perhaps")));
    EXPECT_EQ(S_OK, Write(17, I(0)));
    EXPECT_EQ(Log{L"Unsubscribe 17"}, Calls());
    EXPECT_EQ(VARIANT_TRUE, Cell(17, L"IS_SUBSCRIBED")->boolVal) << "until the client reports the change";

    EXPECT_EQ(S_OK, Write(18, Variant::Bool(true)));
    EXPECT_EQ(Log{L"Subscribe 18"}, Calls());
    EXPECT_EQ(VARIANT_FALSE, Cell(18, L"IS_SUBSCRIBED")->boolVal) << "an agent entry waits for the client";

    control->FailCall(kv::Bstr(L"IClientPropertySet.Subscribe").get(), 1, E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, Write(18, Variant::Bool(true)));
    EXPECT_EQ(VARIANT_FALSE, Cell(18, L"IS_SUBSCRIBED")->boolVal);
}

TEST_F(DirectoryClient, TheEntryObjectReadsCellsAndReachesTheClient) {
    table->FilterAndSort(nullptr, nullptr);
    ComPtr<IDispatch> entry = kv::MakeDirectoryEntry(kv::ThisModule(), directory.Get(), columns,
                                                     table->RowAt(table->FindRow(17)));
    struct {
        const wchar_t* name;
        HRESULT hr;
        DISPID id;
    } names[] = {{L"NAME", S_OK, 4},           {L"name", S_OK, 4},         {L"Name", S_OK, 4},
                 {L"IS_SUBSCRIBED", S_OK, 48}, {L"subscribe", S_OK, 1024}, {L"UNSUBSCRIBE", S_OK, 1025},
                 {L"EntryObject", S_OK, 1026}, {L"Title", DISP_E_UNKNOWNNAME, DISPID_UNKNOWN}};
    for (const auto& n : names) {
        DISPID id = 0;
        LPOLESTR name = const_cast<LPOLESTR>(n.name);
        EXPECT_EQ(n.hr, entry->GetIDsOfNames(IID_NULL, &name, 1, 0, &id)) << kv::ToAnsi(n.name);
        EXPECT_EQ(n.id, id) << kv::ToAnsi(n.name);
    }
    auto invoke = [&](DISPID id, WORD flags, std::vector<Variant> args, Variant* result) {
        DISPPARAMS params = {args.empty() ? nullptr : args[0].get(), nullptr, static_cast<UINT>(args.size()), 0};
        return entry->Invoke(id, IID_NULL, 0, flags, &params, result ? result->get() : nullptr, nullptr, nullptr);
    };
    Variant v;
    EXPECT_EQ(S_OK, invoke(4, DISPATCH_PROPERTYGET, {}, &v));
    EXPECT_EQ(std::wstring(L"Sports Daily"), v->bstrVal);
    EXPECT_EQ(S_OK, invoke(1, DISPATCH_PROPERTYGET, {}, &v));
    EXPECT_EQ(1, v->lVal) << "INTERNAL_STATE after the filter step";
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, invoke(49, DISPATCH_PROPERTYGET, {}, &v));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, invoke(999, DISPATCH_PROPERTYGET, {}, &v));
    EXPECT_EQ(E_INVALIDARG, invoke(4, DISPATCH_PROPERTYGET, {}, nullptr));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, invoke(1024, DISPATCH_METHOD, {I(1)}, nullptr));
    EXPECT_EQ(E_INVALIDARG, invoke(1024, DISPATCH_PROPERTYGET, {}, &v));
    EXPECT_EQ(Log{}, Calls());
    EXPECT_EQ(S_OK, invoke(1024, DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ(S_OK, invoke(1025, DISPATCH_METHOD, {}, nullptr));
    Variant first, second;
    EXPECT_EQ(S_OK, invoke(1026, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &first));
    EXPECT_EQ(S_OK, invoke(1026, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &second));
    ASSERT_EQ(VT_DISPATCH, first.vt());
    EXPECT_EQ(first->pdispVal, second->pdispVal) << "the client is asked once";
    EXPECT_EQ((Log{L"Subscribe 17", L"Unsubscribe 17"}), Calls());

    // An entry the client no longer has: its cells still read; its methods fail as the client does.
    table->SetEntry(*EntryData({{0, I(99)}, {1, S(L"Gone")}}).get(), 0, false);
    ComPtr<IDispatch> gone = kv::MakeDirectoryEntry(kv::ThisModule(), directory.Get(), columns,
                                                    table->RowAt(table->FindRow(99)));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(E_INVALIDARG, gone->Invoke(1024, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));
}

}  // namespace
