#include <gtest/gtest.h>

#include <cwctype>
#include <random>

#include "framework/data_provider.h"
#include "framework/record_set.h"
#include "framework/test_fakes.h"
#include "platform/text.h"

namespace {

using kv::ComPtr;
using kv::MakeObject;
using kv::Variant;

// Records what the binding is told.
class Listener : public kv::ComObject<Listener, OLEDBSimpleProviderListener> {
public:
    std::vector<std::string> calls;
    HRESULT answer = S_OK;

    STDMETHODIMP aboutToChangeCell(DBROWCOUNT, DB_LORDINAL) override { return S_OK; }
    STDMETHODIMP cellChanged(DBROWCOUNT r, DB_LORDINAL c) override { return Note("cell", r, c); }
    STDMETHODIMP aboutToDeleteRows(DBROWCOUNT, DBROWCOUNT) override { return S_OK; }
    STDMETHODIMP deletedRows(DBROWCOUNT r, DBROWCOUNT n) override { return Note("deleted", r, n); }
    STDMETHODIMP aboutToInsertRows(DBROWCOUNT, DBROWCOUNT) override { return S_OK; }
    STDMETHODIMP insertedRows(DBROWCOUNT r, DBROWCOUNT n) override { return Note("inserted", r, n); }
    STDMETHODIMP rowsAvailable(DBROWCOUNT, DBROWCOUNT) override { return S_OK; }
    STDMETHODIMP transferComplete(OSPXFER x) override { return Note("complete", x, 0); }

private:
    HRESULT Note(const char* what, long a, long b) {
        calls.push_back(std::string(what) + " " + std::to_string(a) + "," + std::to_string(b));
        return answer;
    }
};

class SourceListener : public kv::ComObject<SourceListener, DataSourceListener> {
public:
    int changed = 0;
    STDMETHODIMP dataMemberChanged(DataMember member) override {
        EXPECT_EQ(nullptr, member);
        ++changed;
        return S_OK;
    }
    STDMETHODIMP dataMemberAdded(DataMember) override { return S_OK; }
    STDMETHODIMP dataMemberRemoved(DataMember) override { return S_OK; }
};

// Marks decorated cells so that tests see when the formatter ran.
class MarkingFormatter : public kv::ComObject<MarkingFormatter, kv::CellFormatter> {
public:
    void Decorate(const VARIANT&, long embellish, long row, long column, VARIANT* out) override {
        out->vt = VT_BSTR;
        out->bstrVal = SysAllocString((L"decorated " + std::to_wstring(embellish) + L" " + std::to_wstring(row) +
                                        L"," + std::to_wstring(column)).c_str());
    }
};

// A COM object carrying the provider interface the way the control will.
class ProviderObject : public kv::ComObject<ProviderObject, kv::SimpleProviderMethods<ProviderObject>> {
public:
    kv::DataProvider& Provider() { return provider; }
    kv::DataProvider provider;
};

class Provider : public testing::Test {
protected:
    void SetUp() override {
        object_ = MakeObject<ProviderObject>();
        ASSERT_EQ(S_OK, object_->QueryInterface(IID_PPV_ARGS(&osp_)));
    }
    // Stories 1..n (row r holds story n+1-r), with TITLE "story <id>" and SCORE <id>.
    void Fill(LONG n) {
        table_ = MakeObject<kv::RecordSet>(nullptr, nullptr);
        for (LONG id = 1; id <= n; ++id) {
            table_->SetProperty(id, L"TITLE", *Variant::String(L"story " + std::to_wstring(id)).get());
            table_->SetProperty(id, L"SCORE_ID", *Variant::String(std::to_wstring(id)).get());
        }
        object_->provider.SetTable(table_, MakeObject<MarkingFormatter>());
        object_->provider.ResetReadTracker();
        object_->provider.SendTransferComplete(OSPXFER_COMPLETE);  // a binding reads it all
    }
    long Col(const wchar_t* name) { return table_->Columns().Find(name) + 1; }
    HRESULT Get(long row, long column, Variant* out, OSPFORMAT format = OSPFORMAT_RAW) {
        return osp_->getVariant(row, column, format, out->put());
    }

    ComPtr<ProviderObject> object_;
    ComPtr<OLEDBSimpleProvider> osp_;
    ComPtr<kv::RecordSet> table_;
};

TEST_F(Provider, BeforeATableThereIsNothingToRead) {
    DBROWCOUNT rows = -1;
    DB_LORDINAL columns = -1;
    EXPECT_EQ(S_OK, osp_->getRowCount(&rows));
    EXPECT_EQ(S_OK, osp_->getColumnCount(&columns));
    EXPECT_EQ(0, rows);
    EXPECT_EQ(0, columns);
    Variant v;
    EXPECT_EQ(E_INVALIDARG, Get(0, 1, &v));
    DBROWCOUNT found = 77;
    EXPECT_EQ(E_INVALIDARG, osp_->find(0, 1, *Variant::I4(1).get(), OSPFIND_DEFAULT, OSPCOMP_EQ, &found));
    EXPECT_EQ(77, found);
}

TEST_F(Provider, BoundsAndTheFixedAnswers) {
    Fill(3);
    const long rows = 3, cols = table_->ColumnCount();
    struct Case {
        long row, column;
        HRESULT hr;
    } cases[] = {
        {0, 1, S_OK},          {rows, cols, S_OK},        {rows + 1, cols, E_INVALIDARG},
        {rows, cols + 1, E_INVALIDARG}, {-1, 1, E_INVALIDARG}, {1, 0, E_INVALIDARG},
        {1, -5, E_INVALIDARG},
    };
    for (const auto& c : cases) {
        Variant v;
        EXPECT_EQ(c.hr, Get(c.row, c.column, &v)) << c.row << "," << c.column;
        if (FAILED(c.hr)) { EXPECT_EQ(VT_EMPTY, v.vt()); }
    }
    OSPRW rw = OSPRW_READWRITE;
    EXPECT_EQ(S_OK, osp_->getRWStatus(-9, 99999, &rw));
    EXPECT_EQ(OSPRW_READONLY, rw);
    BOOL async = TRUE;
    EXPECT_EQ(S_OK, osp_->isAsync(&async));
    EXPECT_FALSE(async);
    kv::Bstr locale(L"x");
    EXPECT_EQ(S_OK, osp_->getLocale(locale.put()));
    EXPECT_EQ(nullptr, locale.get());
    DBROWCOUNT estimated = 0;
    EXPECT_EQ(S_OK, osp_->getEstimatedRows(&estimated));
    EXPECT_EQ(3, estimated);
    EXPECT_EQ(E_NOTIMPL, osp_->setVariant(1, 1, OSPFORMAT_RAW, *Variant::I4(1).get()));
    EXPECT_EQ(E_NOTIMPL, osp_->deleteRows(1, 1, &estimated));
    EXPECT_EQ(E_NOTIMPL, osp_->insertRows(1, 1, &estimated));
    EXPECT_EQ(S_OK, osp_->stopTransfer());
}

TEST_F(Provider, HeaderRowIsNamesOnlyOtherRowsAreTrackedAndDecorated) {
    Fill(3);
    Variant v;
    ASSERT_EQ(S_OK, Get(0, Col(L"TITLE"), &v, OSPFORMAT_HTML));
    EXPECT_EQ(L"TITLE", std::wstring(v->bstrVal));
    EXPECT_EQ(LONG_MAX, object_->provider.LowestRowRead());
    EXPECT_FALSE(object_->provider.ColumnRead(Col(L"TITLE")));

    ASSERT_EQ(S_OK, Get(2, Col(L"TITLE"), &v));
    EXPECT_EQ(L"story 2", std::wstring(v->bstrVal));
    object_->provider.SetEmbellish(7);
    ASSERT_EQ(S_OK, Get(3, Col(L"SCORE_ID"), &v, OSPFORMAT_FORMATTED));
    EXPECT_EQ(L"decorated 7 3," + std::to_wstring(Col(L"SCORE_ID")), std::wstring(v->bstrVal));
    EXPECT_EQ(2, object_->provider.LowestRowRead());
    EXPECT_EQ(3, object_->provider.HighestRowRead());
    EXPECT_TRUE(object_->provider.ColumnRead(Col(L"TITLE")));
    EXPECT_TRUE(object_->provider.ColumnRead(Col(L"SCORE_ID")));
    EXPECT_FALSE(object_->provider.ColumnRead(Col(L"ID")));
}

TEST_F(Provider, ListenersAreReplacedAndRemovedOnlyByThemselves) {
    auto first = MakeObject<Listener>(), second = MakeObject<Listener>();
    EXPECT_EQ(S_OK, osp_->addOLEDBSimpleProviderListener(first.Get()));
    EXPECT_EQ(S_OK, osp_->addOLEDBSimpleProviderListener(second.Get()));
    object_->provider.SendTransferComplete(OSPXFER_COMPLETE);
    EXPECT_TRUE(first->calls.empty());
    EXPECT_EQ((std::vector<std::string>{"complete 0,0"}), second->calls);
    EXPECT_EQ(S_OK, osp_->removeOLEDBSimpleProviderListener(first.Get()));
    EXPECT_EQ(second.Get(), object_->provider.Listener());
    EXPECT_EQ(S_OK, osp_->removeOLEDBSimpleProviderListener(second.Get()));
    EXPECT_EQ(nullptr, object_->provider.Listener());
    object_->provider.SendTransferComplete(OSPXFER_ABORT);  // nobody to tell: nothing happens

    auto source = MakeObject<SourceListener>();
    EXPECT_EQ(E_NOINTERFACE, object_->provider.SetDataSourceListener(first.Get()));
    EXPECT_EQ(S_OK, object_->provider.SetDataSourceListener(source->Unknown()));
    object_->provider.SendDataMemberChanged();
    EXPECT_EQ(1, source->changed);
    // A binding that detaches with a null listener is let go of.
    EXPECT_EQ(S_OK, object_->provider.SetDataSourceListener(nullptr));
    EXPECT_EQ(nullptr, object_->provider.SourceListener());
    object_->provider.SendDataMemberChanged();
    EXPECT_EQ(1, source->changed);
}

TEST_F(Provider, RefreshAnnouncesReadCellsAndAListenerFailureAborts) {
    Fill(5);
    auto listener = MakeObject<Listener>();
    osp_->addOLEDBSimpleProviderListener(listener.Get());
    object_->provider.RefreshTrackedCells();  // nothing read yet
    EXPECT_TRUE(listener->calls.empty());
    Variant v;
    Get(2, Col(L"TITLE"), &v);
    Get(4, Col(L"SCORE_ID"), &v);
    object_->provider.RefreshTrackedCells();
    const std::string t = std::to_string(Col(L"TITLE")), s = std::to_string(Col(L"SCORE_ID"));
    EXPECT_EQ((std::vector<std::string>{"cell 2," + t, "cell 2," + s, "cell 3," + t, "cell 3," + s, "cell 4," + t,
                                        "cell 4," + s}),
              listener->calls);
    // Rows dropped since they were read are not announced.
    table_->DeleteRow(5);
    table_->DeleteRow(4);
    listener->calls.clear();
    object_->provider.RefreshReadCells(3, 5);
    EXPECT_EQ((std::vector<std::string>{"cell 3," + t, "cell 3," + s}), listener->calls);

    listener->answer = E_ABORT;
    HRESULT hr = S_OK;
    try {
        object_->provider.RefreshTrackedCells();
    } catch (...) {
        hr = kv::CaughtHResult();
    }
    EXPECT_EQ(E_ABORT, hr);
    listener->calls.clear();
    object_->provider.ResetReadTracker();
    listener->answer = S_OK;
    object_->provider.RefreshTrackedCells();
    EXPECT_TRUE(listener->calls.empty());
}

// The binding's rows move when rows are inserted or deleted above them; a later refresh of
// what was read must still reach every row it holds.
TEST_F(Provider, TheRecordOfReadRowsMovesWithInsertedAndDeletedRows) {
    struct Case {
        const char* what;
        long firstRead, lastRead;
        bool insert;
        long row, count;
        long first, last;  // the rows refreshed afterwards; 0,0 for none
    } cases[] = {
        {"insert above", 2, 4, true, 1, 1, 3, 5},
        {"insert inside", 2, 4, true, 3, 2, 2, 6},
        {"insert below", 2, 4, true, 5, 1, 2, 4},
        {"insert at the top of the range", 2, 4, true, 2, 1, 3, 5},
        {"delete above", 3, 5, false, 1, 2, 1, 3},
        {"delete the first read", 3, 5, false, 3, 1, 3, 4},
        {"delete inside", 2, 5, false, 3, 2, 2, 3},
        {"delete the last read", 2, 4, false, 4, 3, 2, 3},
        {"delete below", 2, 3, false, 4, 2, 2, 3},
        {"delete all read", 2, 3, false, 1, 4, 0, 0},
    };
    for (const auto& c : cases) {
        Fill(8);
        auto listener = MakeObject<Listener>();
        osp_->addOLEDBSimpleProviderListener(listener.Get());
        Variant v;
        Get(c.firstRead, Col(L"TITLE"), &v);
        Get(c.lastRead, Col(L"TITLE"), &v);
        if (c.insert)
            object_->provider.SendInsertedRows(c.row, c.count);
        else
            object_->provider.SendDeletedRows(c.row, c.count);
        listener->calls.clear();
        object_->provider.RefreshTrackedCells();
        std::vector<std::string> expected;
        for (long r = c.first; c.first && r <= c.last; ++r)
            expected.push_back("cell " + std::to_string(r) + "," + std::to_string(Col(L"TITLE")));
        EXPECT_EQ(expected, listener->calls) << c.what;
    }
}

struct FailingGuard : kv::CellReadGuard {
    bool PermitRead(const kv::Row&, long, const VARIANT&) override { kv::ThrowHr(RPC_E_DISCONNECTED); }
};

TEST_F(Provider, AFailingReadOrDecorationIsTheHResultOfGetVariant) {
    Fill(2);
    table_->SetCellReadGuard(std::make_shared<FailingGuard>());
    Variant v;
    EXPECT_EQ(RPC_E_DISCONNECTED, Get(1, Col(L"TITLE"), &v));
    EXPECT_EQ(VT_EMPTY, v.vt());
    Variant name;
    EXPECT_EQ(S_OK, Get(0, Col(L"TITLE"), &name));  // the header row reads no story
    table_->SetCellReadGuard(nullptr);
    struct ThrowingFormatter : kv::ComObject<ThrowingFormatter, kv::CellFormatter> {
        void Decorate(const VARIANT&, long, long, long, VARIANT*) override { kv::ThrowHr(DISP_E_TYPEMISMATCH); }
    };
    object_->provider.SetTable(table_, MakeObject<ThrowingFormatter>());
    EXPECT_EQ(DISP_E_TYPEMISMATCH, Get(1, Col(L"TITLE"), &v, OSPFORMAT_HTML));
    EXPECT_EQ(S_OK, Get(1, Col(L"TITLE"), &v, OSPFORMAT_RAW));
}

TEST_F(Provider, ColumnsAddedAfterTheTrackerWasSizedAreTrackedToo) {
    Fill(2);
    table_->SetProperty(1, L"LATE", *Variant::String(L"x").get());
    Variant v;
    ASSERT_EQ(S_OK, Get(1, table_->ColumnCount(), &v));
    EXPECT_TRUE(object_->provider.ColumnRead(table_->ColumnCount()));
}

// find: scenarios on 5 stories; row r holds story 6-r ("story 5" ... "story 1").
TEST_F(Provider, FindComparesFromTheStartRowInEitherDirection) {
    Fill(5);
    const long title = Col(L"TITLE"), score = Col(L"SCORE_ID");
    struct Case {
        const char* what;
        long start, column;
        Variant val;
        long flags, comp;
        HRESULT hr;
        long row;
    } cases[] = {
        {"equal", 1, score, Variant::I4(3), OSPFIND_DEFAULT, OSPCOMP_EQ, S_OK, 3},
        {"start row examined first", 3, score, Variant::I4(3), OSPFIND_DEFAULT, OSPCOMP_EQ, S_OK, 3},
        {"downward misses rows above", 4, score, Variant::I4(3), OSPFIND_DEFAULT, OSPCOMP_EQ, E_FAIL, 0},
        {"upward finds rows above", 5, score, Variant::I4(3), OSPFIND_UP, OSPCOMP_EQ, S_OK, 3},
        {"less than", 1, score, Variant::I4(3), OSPFIND_DEFAULT, OSPCOMP_LT, S_OK, 4},
        {"less or equal", 1, score, Variant::I4(3), OSPFIND_DEFAULT, OSPCOMP_LE, S_OK, 3},
        {"greater than, upward", 5, score, Variant::I4(3), OSPFIND_UP, OSPCOMP_GT, S_OK, 2},
        {"greater or equal", 4, score, Variant::I4(3), OSPFIND_UP, OSPCOMP_GE, S_OK, 3},
        {"not equal", 1, score, Variant::I4(5), OSPFIND_DEFAULT, OSPCOMP_NE, S_OK, 2},
        {"last row only", 5, score, Variant::I4(5), OSPFIND_DEFAULT, OSPCOMP_EQ, E_FAIL, 0},
        {"from the header row", 0, score, Variant::I4(5), OSPFIND_DEFAULT, OSPCOMP_EQ, S_OK, 1},
        {"header row is not data", 0, title, Variant::String(L"TITLE"), OSPFIND_DEFAULT, OSPCOMP_EQ, E_FAIL, 0},
        {"case folded", 1, title, Variant::String(L"STORY 2"), OSPFIND_DEFAULT, OSPCOMP_EQ, S_OK, 4},
        {"case kept", 1, title, Variant::String(L"STORY 2"), OSPFIND_CASESENSITIVE, OSPCOMP_EQ, E_FAIL, 0},
        {"type differs", 1, score, Variant::String(L"3"), OSPFIND_DEFAULT, OSPCOMP_EQ, E_FAIL, 0},
        {"contains", 1, title, Variant::String(L"RY 4"), OSPFIND_DEFAULT, kv::kOspCompContains, S_OK, 2},
        {"contains, case kept", 1, title, Variant::String(L"RY 4"), OSPFIND_CASESENSITIVE, kv::kOspCompContains,
         E_FAIL, 0},
        {"contains as a word", 1, title, Variant::String(L"4"), OSPFIND_DEFAULT, kv::kOspCompContainsWord, S_OK, 2},
        {"part of a word", 1, title, Variant::String(L"stor"), OSPFIND_DEFAULT, kv::kOspCompContainsWord, E_FAIL, 0},
        {"not contains", 1, title, Variant::String(L"story 5"), OSPFIND_DEFAULT, kv::kOspCompNotContains, S_OK, 2},
        {"not contains as a word", 1, title, Variant::String(L"story"), OSPFIND_UP, kv::kOspCompNotContainsWord,
         E_FAIL, 0},
        {"contains on a number", 1, score, Variant::String(L"3"), OSPFIND_DEFAULT, kv::kOspCompContains,
         E_INVALIDARG, 0},
        {"contains a number", 1, title, Variant::I4(3), OSPFIND_DEFAULT, kv::kOspCompContains, E_INVALIDARG, 0},
        {"unknown text comparison", 1, title, Variant::String(L"x"), OSPFIND_DEFAULT, 0x1ff, E_INVALIDARG, 0},
        {"unknown comparison", 1, title, Variant::String(L"x"), OSPFIND_DEFAULT, 7, E_FAIL, 0},
        {"start beyond the rows", 6, score, Variant::I4(1), OSPFIND_DEFAULT, OSPCOMP_EQ, E_INVALIDARG, 0},
        {"column 0", 1, 0, Variant::I4(1), OSPFIND_DEFAULT, OSPCOMP_EQ, E_INVALIDARG, 0},
    };
    for (auto& c : cases) {
        DBROWCOUNT found = -7;
        EXPECT_EQ(c.hr, osp_->find(c.start, c.column, *c.val.get(), static_cast<OSPFIND>(c.flags),
                                   static_cast<OSPCOMP>(c.comp), &found))
            << c.what;
        EXPECT_EQ(c.hr == S_OK ? c.row : -7, found) << c.what;
    }
    EXPECT_EQ(LONG_MAX, object_->provider.LowestRowRead());  // find does not count as reading
}

TEST(FindWords, BoundariesAreNonAlphanumericOrTheEnds) {
    auto holder = MakeObject<ProviderObject>();
    ProviderObject& object = *holder.Get();
    auto table = MakeObject<kv::RecordSet>(nullptr, nullptr);
    const wchar_t* texts[] = {L"cat", L"a cat.", L"concat", L"cats", L"cat_x", L"x1cat", L"bobcat cat", L"(CAT)"};
    for (LONG i = 0; i < 8; ++i) table->SetProperty(8 - i, L"TITLE", *Variant::String(texts[i]).get());
    object.provider.SetTable(table, nullptr);
    std::vector<long> hits;
    for (long row = 1; row <= 8;) {
        DBROWCOUNT found = 0;
        if (object.provider.find(row, table->Columns().Find(L"TITLE") + 1, *Variant::String(L"cat").get(),
                                 OSPFIND_DEFAULT, static_cast<OSPCOMP>(kv::kOspCompContainsWord), &found) != S_OK)
            break;
        hits.push_back(static_cast<long>(found));
        row = static_cast<long>(found) + 1;
    }
    // "_" is no letter or digit, so "cat_x" has the word; "bobcat cat" has it on the second try.
    EXPECT_EQ((std::vector<long>{1, 2, 4, 7, 8}), hits);
}

TEST(FindFuzz, EveryComparisonAndFlagCombinationAnswersAsSpecified) {
    auto object = MakeObject<ProviderObject>();
    auto table = MakeObject<kv::RecordSet>(nullptr, nullptr);
    std::mt19937 rng(4);
    const wchar_t* words[] = {L"", L"a", L"A b", L"ab", L"b a", L"x", L"X"};
    for (LONG id = 1; id <= 12; ++id) {
        if (rng() % 4) table->SetProperty(id, L"TITLE", *Variant::String(words[rng() % 7]).get());
        if (rng() % 4) table->SetProperty(id, L"N_ID", *Variant::String(std::to_wstring(rng() % 5)).get());
    }
    object->provider.SetTable(table, nullptr);
    const long rows = table->RowCount(), cols = table->ColumnCount();
    for (int round = 0; round < 4000; ++round) {
        long start = static_cast<long>(rng() % (rows + 3)) - 1;
        long column = static_cast<long>(rng() % (cols + 2)) - 1;
        long flags = static_cast<long>(rng() % 4);
        long comps[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 0x100, 0x101, 0x102, 0x103, 0x104, 0x105, 0x1ff};
        long comp = comps[rng() % 16];
        Variant val = rng() % 2 ? Variant::String(words[rng() % 7]) : Variant::I4(static_cast<LONG>(rng() % 5));
        DBROWCOUNT found = -1;
        HRESULT hr = object->provider.find(start, column, *val.get(), static_cast<OSPFIND>(flags),
                                           static_cast<OSPCOMP>(comp), &found);
        // The model: bounds first; then the rows in order until the first error or match.
        HRESULT expected = E_FAIL;
        long expectedRow = -1;
        if (column <= 0 || start < 0 || start > rows || column > cols) {
            expected = E_INVALIDARG;
        } else {
            bool up = flags & 1, cs = flags & 2;
            for (long r = start; up ? r >= 1 : r <= rows; up ? --r : ++r) {
                if (r == 0) continue;
                Variant cell;
                table->GetCell(r, column, cell.get());
                bool textual = comp & 0x100;
                if (textual && (comp < 0x101 || comp > 0x104 || cell.vt() != VT_BSTR || val.vt() != VT_BSTR)) {
                    expected = E_INVALIDARG;
                    break;
                }
                if (!textual && (comp < 1 || comp > 6)) {
                    expected = E_FAIL;
                    break;
                }
                bool match;
                if (textual) {
                    std::wstring a = cell->bstrVal, b = val->bstrVal;
                    if (!cs) a = kv::AsciiUpper(a), b = kv::AsciiUpper(b);
                    bool has = a.find(b) != a.npos;
                    if (comp == 0x102 || comp == 0x104) {
                        has = false;
                        for (size_t at = a.find(b); at != a.npos && !has; at = a.find(b, at + 1))
                            has = (at == 0 || !iswalnum(a[at - 1])) &&
                                  (at + b.size() >= a.size() || !iswalnum(a[at + b.size()]));
                    }
                    match = (comp == 0x101 || comp == 0x102) ? has : !has;
                } else {
                    int c = kv::CompareCells(*cell.get(), *val.get(), cs);
                    match = comp == 1 ? c == 0 : comp == 2 ? c < 0 : comp == 3 ? c <= 0 : comp == 4 ? c >= 0
                          : comp == 5 ? c > 0 : c != 0;
                }
                if (match) {
                    expected = S_OK;
                    expectedRow = r;
                    break;
                }
            }
        }
        ASSERT_EQ(expected, hr) << "round " << round;
        ASSERT_EQ(expectedRow, found) << "round " << round;
    }
}

}  // namespace

namespace {

TEST(Lifetime, ATableItsRowsOrderProviderAndListenersAreAllReleased) {
    const LONG before = kv::ModuleLockCount();
    {
        auto channel = MakeObject<kv::testing::FakeChannel>();
        channel->snapshot = kv::testing::Snapshot({{1, L"TITLE", L"a"}, {2, L"TITLE", L"b"}});
        auto table = MakeObject<kv::RecordSet>(channel, MakeObject<kv::ValueConverter>(MakeObject<kv::testing::FakeResolver>()));
        table->LoadFromChannel(0, nullptr);
        auto order = table->CreateSortOrder();
        order->Parse(L"TITLE", false);
        table->FilterAndSort(nullptr, order.Get());  // every row now refers to the order
        auto object = MakeObject<ProviderObject>();
        object->provider.SetTable(table, MakeObject<MarkingFormatter>());
        object->provider.addOLEDBSimpleProviderListener(MakeObject<Listener>().Get());
        object->provider.SetDataSourceListener(MakeObject<SourceListener>()->Unknown());
        auto held = table->RowAt(1);  // a row a page still holds
        EXPECT_GT(kv::ModuleLockCount(), before);
    }
    EXPECT_EQ(before, kv::ModuleLockCount());
}

}  // namespace
