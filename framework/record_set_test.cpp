#include <gtest/gtest.h>

#include "framework/record_set.h"
#include "framework/test_fakes.h"

namespace {

using kv::ComPtr;
using kv::MakeObject;
using kv::Variant;
using kv::testing::FakeChannel;
using kv::testing::Prop;
using kv::testing::Snapshot;
using kv::testing::SnapshotPart;
using kv::testing::VariantArray;

template <class F>
HRESULT Hr(F&& f) {
    try {
        f();
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }
}

std::wstring Header(kv::RecordSet& t, long column) {
    Variant v;
    t.GetCell(0, column, v.get());
    return v->bstrVal;
}

Variant Cell(kv::RecordSet& t, long row, const wchar_t* name) {
    Variant v;
    t.GetCell(row, t.Columns().Find(name) + 1, v.get());
    return v;
}

std::vector<LONG> Ids(kv::RecordSet& t) {
    std::vector<LONG> ids;
    for (long r = 1; r <= t.RowCount(); ++r) ids.push_back(t.RowAt(r)->Id());
    return ids;
}

// Counts derived-cell updates per story.
struct CountingDerived : kv::DerivedCells {
    std::map<LONG, int> updates;
    void Update(const kv::RecordSet&, kv::Row& row) override { ++updates[row.Id()]; }
};

class Table : public testing::Test {
protected:
    void SetUp() override {
        channel_ = MakeObject<FakeChannel>();
        derived_ = std::make_shared<CountingDerived>();
    }
    ComPtr<kv::RecordSet> Make() { return MakeObject<kv::RecordSet>(channel_, nullptr, derived_); }

    ComPtr<FakeChannel> channel_;
    std::shared_ptr<CountingDerived> derived_;
};

TEST_F(Table, FixedColumnsComeFirstAndParcelColumnsDependOnTheChannel) {
    struct Case {
        long flags;
        std::vector<std::wstring> names;
    } cases[] = {
        {0, {L"INTERNAL_SORT", L"INTERNAL_STATE", L"ID", L"ICON", L"TYPE", L"URL", L"TEXT", L"STORY_LOCAL",
             L"PARCEL_TYPE", L"KEEP"}},
        {0x1000, {L"INTERNAL_SORT", L"INTERNAL_STATE", L"ID", L"ICON", L"TYPE", L"URL", L"TEXT", L"STORY_LOCAL"}},
        {0x0fff, {L"INTERNAL_SORT", L"INTERNAL_STATE", L"ID", L"ICON", L"TYPE", L"URL", L"TEXT", L"STORY_LOCAL",
                  L"PARCEL_TYPE", L"KEEP"}},
    };
    for (const auto& c : cases) {
        channel_->flags = c.flags;
        auto t = Make();
        ASSERT_EQ(static_cast<long>(c.names.size()), t->ColumnCount());
        for (long i = 0; i < t->ColumnCount(); ++i) EXPECT_EQ(c.names[static_cast<size_t>(i)], Header(*t.Get(), i + 1));
        EXPECT_EQ(c.flags & 0x1000 ? -1 : 8, t->Fixed().parcelType);
        EXPECT_EQ(c.flags & 0x1000 ? -1 : 9, t->Fixed().keep);
    }
    // A channel without them gets the columns when the client reports the properties.
    channel_->flags = 0x1000;
    auto t = Make();
    EXPECT_TRUE(t->SetProperty(1, L"keep", *Variant::String(L"1").get()));
    EXPECT_EQ(L"KEEP", Header(*t.Get(), 9));
    EXPECT_EQ(VARIANT_TRUE, Cell(*t.Get(), 1, L"KEEP")->boolVal);
}

TEST_F(Table, PropertyNamesAreNormalisedIntoOneColumn) {
    auto t = Make();
    struct Case {
        const wchar_t* name;
        const wchar_t* column;
    } cases[] = {
        {L"Story Title", L"STORY_TITLE"}, {L"story\ttitle", L"STORY_TITLE"}, {L"STORY TITLE", L"STORY_TITLE"},
        {L"x-y.z", L"X-Y.Z"},            {L"\u00e9t\u00e9", L"\u00c9T\u00c9"},
    };
    long before = t->ColumnCount();
    for (const auto& c : cases) t->SetProperty(1, c.name, *Variant::String(c.name).get());
    EXPECT_EQ(before + 3, t->ColumnCount());  // STORY_TITLE, X-Y.Z and the accented name as given
    EXPECT_EQ(L"STORY TITLE", std::wstring(Cell(*t.Get(), 1, L"story_title")->bstrVal));
    EXPECT_EQ(L"STORY_TITLE", Header(*t.Get(), before + 1));
    EXPECT_EQ(L"X-Y.Z", Header(*t.Get(), before + 2));
    // Only ASCII letters are upper-cased.
    EXPECT_EQ(std::wstring(L"\u00e9T\u00e9"), Header(*t.Get(), before + 3));
}

TEST_F(Table, NewStoriesGoToTheTopAndFindRowMovesTheCursor) {
    auto t = Make();
    for (LONG id : {10, 20, 30}) t->SetProperty(id, L"TITLE", *Variant::String(L"t").get());
    EXPECT_EQ((std::vector<LONG>{30, 20, 10}), Ids(*t.Get()));
    EXPECT_EQ(3, t->FindRow(10));
    EXPECT_EQ(2, t->CursorPosition());
    EXPECT_EQ(1, t->FindRow(30));
    EXPECT_EQ(0, t->FindRow(99));
    EXPECT_EQ(0, t->CursorPosition());
    // Updating an existing story keeps its place.
    t->SetProperty(20, L"TITLE", *Variant::String(L"u").get());
    EXPECT_EQ(1, t->CursorPosition());
    EXPECT_EQ((std::vector<LONG>{30, 20, 10}), Ids(*t.Get()));
    t->SetProperty(40, L"TITLE", *Variant::String(L"t").get());
    EXPECT_EQ(0, t->CursorPosition());
    EXPECT_EQ((std::vector<LONG>{40, 30, 20, 10}), Ids(*t.Get()));
    EXPECT_EQ(4, t->FindRow(10));
}

TEST_F(Table, DeleteRowKeepsPositionsAndLeavesTheCursorOnTheNextRow) {
    auto t = Make();
    for (LONG id : {1, 2, 3, 4}) t->SetProperty(id, L"TITLE", *Variant::String(L"t").get());  // 4 3 2 1
    t->DeleteRow(2);                                                                           // drops 3
    EXPECT_EQ((std::vector<LONG>{4, 2, 1}), Ids(*t.Get()));
    t->DeleteRow(2);
    EXPECT_EQ(1, t->CursorPosition());  // on the row that followed
    t->DeleteRow(2);                    // the last row
    EXPECT_EQ(0, t->CursorPosition());
    EXPECT_EQ((std::vector<LONG>{4}), Ids(*t.Get()));
    EXPECT_EQ(0, t->FindRow(3));
    EXPECT_EQ(1, t->FindRow(4));
    EXPECT_EQ(E_INVALIDARG, Hr([&] { t->DeleteRow(0); }));
    EXPECT_EQ(E_INVALIDARG, Hr([&] { t->DeleteRow(2); }));
    // A deleted story comes back as a new row at the top.
    t->SetProperty(3, L"TITLE", *Variant::String(L"t").get());
    EXPECT_EQ((std::vector<LONG>{3, 4}), Ids(*t.Get()));
}

TEST_F(Table, LoadAppliesElementTwoThenElementOneAndDerivesCellsOnlyAfterwards) {
    auto t = Make();
    Variant snap = Snapshot({{1, L"TITLE", L"one"}, {1, L"READ", L"0"}, {2, L"TITLE", L"two"}},
                            {{3, L"TITLE", L"three"}, {1, L"FILE_SIZE", L"2048"}});
    EXPECT_TRUE(t->Load(*snap.get(), 0, nullptr));
    // Element 2 first: 3 then 1 at the top; element 1 then finds 1 and adds 2 above it.
    EXPECT_EQ((std::vector<LONG>{2, 1, 3}), Ids(*t.Get()));
    EXPECT_EQ(2048, Cell(*t.Get(), 2, L"FILE_SIZE")->lVal);
    EXPECT_EQ(VT_BOOL, Cell(*t.Get(), 2, L"READ").vt());
    EXPECT_EQ((std::map<LONG, int>{{1, 2}, {2, 1}}), derived_->updates);
    // Loading again adds no column.
    EXPECT_FALSE(t->Load(*snap.get(), 0, nullptr));
}

TEST_F(Table, LoadWithIdsTouchesOnlyThoseStories) {
    auto t = Make();
    std::vector<Prop> props;
    for (LONG id = 1; id <= 20; ++id) props.push_back({id, L"TITLE", L"v" + std::to_wstring(id)});
    Variant snap = Snapshot(props);
    const LONG few[] = {3, 5};
    t->Load(*snap.get(), 2, few);
    EXPECT_EQ((std::vector<LONG>{5, 3}), Ids(*t.Get()));
    std::vector<LONG> many;
    for (LONG id = 10; id <= 20; ++id) many.push_back(id);
    t->Load(*snap.get(), static_cast<long>(many.size()), many.data());
    EXPECT_EQ(13, t->RowCount());
    EXPECT_EQ(0, t->FindRow(7));
}

TEST_F(Table, MalformedSnapshotsFailCleanlyAndKeepWhatWasApplied) {
    using kv::testing::IdArray;
    using kv::testing::StringArray;
    auto good = [] { return SnapshotPart({{50, L"TITLE", L"kept"}}); };
    auto part = [](Variant ids, Variant names, Variant values) {
        return VariantArray({std::move(ids), std::move(names), std::move(values)});
    };
    Variant nullValue;
    nullValue->vt = VT_NULL;
    Variant byRef;  // an outer array passed by reference is accepted
    Variant goodSnap = Snapshot({{60, L"TITLE", L"by reference"}});
    byRef->vt = VT_ARRAY | VT_VARIANT | VT_BYREF;
    byRef->pparray = &goodSnap->parray;
    struct Case {
        const char* what;
        Variant snapshot;
        HRESULT hr;
        std::vector<LONG> ids;  // rows afterwards, element 2's story 50 included when applied
    } cases[] = {
        {"empty snapshot", Variant(), S_OK, {}},
        {"null snapshot", std::move(nullValue), S_OK, {}},
        {"not an array", Variant::I4(3), E_INVALIDARG, {}},
        {"a string", Variant::String(L"stories"), E_INVALIDARG, {}},
        {"outer array too short", VariantArray({Variant(), Variant()}), E_INVALIDARG, {}},
        {"outer array empty", VariantArray({}), E_INVALIDARG, {}},
        {"element 2 not an array", VariantArray({Variant(), good(), Variant::I4(1)}), E_INVALIDARG, {}},
        {"element 1 not an array", VariantArray({Variant(), Variant(), good()}), E_INVALIDARG, {50}},
        {"inner array short", VariantArray({Variant(), VariantArray({IdArray({1})}), good()}), E_INVALIDARG, {50}},
        {"names shorter than ids",
         VariantArray({Variant(), part(IdArray({1, 2, 3}), StringArray({L"TITLE", L"TITLE"}),
                                       StringArray({L"a", L"b", L"c"})), good()}),
         E_INVALIDARG, {2, 1, 50}},
        {"values shorter than ids",
         VariantArray({Variant(), part(IdArray({1, 2}), StringArray({L"TITLE", L"TITLE"}), StringArray({L"a"})), good()}),
         E_INVALIDARG, {1, 50}},
        {"id of the wrong type",
         VariantArray({Variant(), part(VariantArray({Variant::I4(1), Variant::String(L"2")}),
                                       StringArray({L"TITLE", L"TITLE"}), StringArray({L"a", L"b"})), good()}),
         E_INVALIDARG, {1, 50}},
        {"value of the wrong type",
         VariantArray({Variant(), part(IdArray({1, 2}), StringArray({L"TITLE", L"TITLE"}),
                                       VariantArray({Variant::String(L"a"), Variant::I4(2)})), good()}),
         E_INVALIDARG, {1, 50}},
        {"null value element",
         VariantArray({Variant(), part(IdArray({1}), StringArray({L"TITLE"}), VariantArray({Variant()})), good()}),
         E_INVALIDARG, {50}},
        {"names as variants", VariantArray({Variant(), part(IdArray({1}), VariantArray({Variant::String(L"TITLE")}),
                                                            VariantArray({Variant::String(L"a")})), good()}),
         S_OK, {1, 50}},
        {"conversion error mid-way",
         VariantArray({Variant(), part(IdArray({1, 2}), StringArray({L"TITLE", L"FILE_SIZE"}),
                                       StringArray({L"a", L"huge"})), good()}),
         DISP_E_TYPEMISMATCH, {2, 1, 50}},
        {"outer array by reference", std::move(byRef), S_OK, {60}},
    };
    for (auto& c : cases) {
        auto t = Make();
        EXPECT_EQ(c.hr, Hr([&] { t->Load(*c.snapshot.get(), 0, nullptr); })) << c.what;
        EXPECT_EQ(c.ids, Ids(*t.Get())) << c.what;
        // The table is usable afterwards: a later property lands and derives.
        t->SetProperty(99, L"TITLE", *Variant::String(L"after").get());
        EXPECT_EQ(1, t->FindRow(99)) << c.what;
    }
}

TEST_F(Table, ClientFailuresAbortWithTheirHResult) {
    channel_->snapshotResult = RPC_E_SERVERFAULT;
    auto t = Make();
    EXPECT_EQ(RPC_E_SERVERFAULT, Hr([&] { t->LoadFromChannel(0, nullptr); }));
    channel_->snapshotResult = S_OK;
    channel_->snapshot = Snapshot({{1, L"TITLE", L"a"}});
    EXPECT_EQ(S_OK, Hr([&] { t->LoadFromChannel(0, nullptr); }));
    EXPECT_EQ(1, t->RowCount());
    channel_->flagsResult = E_UNEXPECTED;
    EXPECT_EQ(E_UNEXPECTED, Hr([&] { Make(); }));
}

TEST_F(Table, AnAddressThePathResolverFailsOnKeepsItsTextAndTheLoadGoesOn) {
    auto resolver = MakeObject<kv::testing::FakeResolver>();
    resolver->failure = RPC_E_DISCONNECTED;
    auto t = MakeObject<kv::RecordSet>(channel_, MakeObject<kv::ValueConverter>(resolver), derived_);
    Variant snap = Snapshot({{1, L"TITLE", L"a"}, {2, L"URL", L"\"news/b.htm\""}, {3, L"TITLE", L"c"}});
    EXPECT_EQ(S_OK, Hr([&] { t->Load(*snap.get(), 0, nullptr); }));
    EXPECT_EQ((std::vector<LONG>{3, 2, 1}), Ids(*t.Get()));
    EXPECT_EQ(L"news/b.htm", std::wstring(Cell(*t.Get(), 2, L"URL")->bstrVal));
    EXPECT_EQ((std::vector<std::wstring>{L"news/b.htm"}), resolver->asked);
}

TEST_F(Table, FilterOffersEachNewOrChangedRowOnceAndDropsRejectedRows) {
    auto t = Make();
    for (LONG id = 1; id <= 5; ++id) t->SetProperty(id, L"TITLE", *Variant::String(L"t").get());
    std::vector<LONG> offered;
    auto rejectEven = [&](IClientChannel* channel, kv::Row& row) {
        EXPECT_EQ(static_cast<IClientChannel*>(channel_.Get()), channel);
        offered.push_back(row.Id());
        return row.Id() % 2 != 0;
    };
    t->FilterAndSort(rejectEven, nullptr);
    EXPECT_EQ((std::vector<LONG>{5, 4, 3, 2, 1}), offered);
    EXPECT_EQ((std::vector<LONG>{5, 3, 1}), Ids(*t.Get()));
    EXPECT_EQ(1, Cell(*t.Get(), 1, L"INTERNAL_STATE")->lVal);
    EXPECT_EQ(0, t->FindRow(4));

    offered.clear();
    t->SetProperty(3, L"TITLE", *Variant::String(L"changed").get());
    t->FilterAndSort(rejectEven, nullptr);
    EXPECT_EQ((std::vector<LONG>{3}), offered);

    offered.clear();
    t->ResetStates();
    t->FilterAndSort(nullptr, nullptr);  // no filter keeps everything
    EXPECT_TRUE(offered.empty());
    EXPECT_EQ(3, t->RowCount());
}

TEST_F(Table, AFailingFilterAbortsAndKeepsTheTableConsistent) {
    auto t = Make();
    for (LONG id = 1; id <= 4; ++id) t->SetProperty(id, L"TITLE", *Variant::String(L"t").get());  // 4 3 2 1
    auto filter = [&](IClientChannel*, kv::Row& row) -> bool {
        if (row.Id() == 4) return false;
        if (row.Id() == 2) kv::ThrowHr(DISP_E_TYPEMISMATCH);
        return true;
    };
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Hr([&] { t->FilterAndSort(filter, nullptr); }));
    EXPECT_EQ((std::vector<LONG>{3, 2, 1}), Ids(*t.Get()));
    for (long r = 1; r <= 3; ++r) EXPECT_EQ(r, t->FindRow(t->RowAt(r)->Id()));
    // Rows after the failure were never offered and will be next time.
    std::vector<LONG> offered;
    t->FilterAndSort([&](IClientChannel*, kv::Row& row) { offered.push_back(row.Id()); return true; }, nullptr);
    EXPECT_EQ((std::vector<LONG>{2, 1}), offered);
}

TEST_F(Table, AFilterThatChangesTheTableMeanwhileDoesNotBreakIt) {
    auto t = Make();
    for (LONG id = 1; id <= 4; ++id) t->SetProperty(id, L"TITLE", *Variant::String(L"t").get());
    auto filter = [&](IClientChannel*, kv::Row& row) {
        if (row.Id() == 3) {
            t->DeleteRow(t->FindRow(2));                                  // a deletion arrives
            t->SetProperty(9, L"TITLE", *Variant::String(L"new").get());  // and a new story
        }
        return row.Id() != 1;
    };
    t->FilterAndSort(filter, nullptr);
    EXPECT_EQ((std::vector<LONG>{9, 4, 3}), Ids(*t.Get()));
}

struct DenyExecutables : kv::CellReadGuard {
    int asked = 0;
    bool PermitRead(const kv::Row&, long, const VARIANT& cell) override {
        if (cell.vt != VT_BSTR) return true;
        ++asked;
        std::wstring text(cell.bstrVal);
        return text.size() < 4 || text.substr(text.size() - 4) != L".exe";
    }
};

TEST_F(Table, EveryCellReadPassesTheInstalledGuard) {
    auto t = Make();
    t->SetProperty(1, L"ATTACHMENT", *Variant::String(L"C:\\x\\setup.exe").get());
    t->SetProperty(1, L"TITLE", *Variant::String(L"t").get());
    EXPECT_EQ(VT_BSTR, Cell(*t.Get(), 1, L"ATTACHMENT").vt());
    auto guard = std::make_shared<DenyExecutables>();
    t->SetCellReadGuard(guard);
    Variant denied = Cell(*t.Get(), 1, L"ATTACHMENT");
    EXPECT_EQ(VT_BOOL, denied.vt());
    EXPECT_EQ(VARIANT_FALSE, denied->boolVal);
    EXPECT_EQ(VT_BSTR, Cell(*t.Get(), 1, L"TITLE").vt());
    // A row held after the table dropped it still reads through the guard.
    auto row = t->RowAt(1);
    t->DeleteRow(1);
    Variant out;
    row->GetCell(t->Columns().Find(L"ATTACHMENT"), out.get());
    EXPECT_EQ(VT_BOOL, out.vt());
    EXPECT_EQ(3, guard->asked);
}

TEST_F(Table, CellsBeyondARowReadEmptyAndHeaderAndBoundsAreChecked) {
    auto t = Make();
    t->SetProperty(1, L"TITLE", *Variant::String(L"a").get());
    t->SetProperty(2, L"LATE_COLUMN", *Variant::String(L"b").get());
    EXPECT_EQ(VT_EMPTY, Cell(*t.Get(), 2, L"LATE_COLUMN").vt());  // story 1 is row 2 and never had it
    EXPECT_EQ(1, Cell(*t.Get(), 2, L"ID")->lVal);
    Variant v;
    EXPECT_EQ(E_INVALIDARG, Hr([&] { t->GetCell(3, 1, v.get()); }));
    EXPECT_EQ(E_INVALIDARG, Hr([&] { t->GetCell(1, 0, v.get()); }));
    EXPECT_EQ(E_INVALIDARG, Hr([&] { t->GetCell(1, t->ColumnCount() + 1, v.get()); }));
}

}  // namespace
