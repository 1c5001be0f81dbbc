#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "framework/record_set.h"
#include "framework/sort_order.h"

namespace {

using kv::ComPtr;
using kv::MakeObject;
using kv::SortKey;
using kv::Variant;

ComPtr<kv::ColumnDictionary> Columns() {
    auto d = MakeObject<kv::ColumnDictionary>();
    for (const wchar_t* n : {L"INTERNAL_SORT", L"INTERNAL_STATE", L"ID", L"ICON", L"TITLE", L"READ"}) d->Add(n);
    return d;
}

TEST(SortExpression, ParsesItemsSignsAndSkipsUnknownNames) {
    struct Case {
        const wchar_t* expression;
        std::vector<SortKey> keys;
    } cases[] = {
        {L"title; -ID", {{4, true}, {2, false}}},
        {L"  +  TITLE  ;;", {{4, true}}},
        {L"-NOSUCHCOLUMN;ID", {{2, true}}},
        {L"-title", {{4, false}}},
        {L"- \tRead ;+id", {{5, false}, {2, true}}},
        {L";;;", {}},
        {L"", {}},
        {L"+;-;+", {}},
        {L"TI TLE", {}},            // inner blanks never match a stored name
        {L"+-TITLE", {}},           // one sign only; "-TITLE" is no column
        {L"TITLE;TITLE", {{4, true}, {4, true}}},
        {L"\t-ID\t", {{2, false}}},
    };
    for (const auto& c : cases) {
        auto order = MakeObject<kv::SortOrder>(Columns());
        order->Parse(L"ID", true);  // parsing replaces what was there
        order->Parse(c.expression, false);
        EXPECT_EQ(c.keys, order->Keys()) << testing::PrintToString(std::wstring(c.expression));
        EXPECT_FALSE(order->CaseSensitive());
    }
}

Variant Str(const wchar_t* s) { return Variant::String(s); }
Variant Date(double d) {
    Variant v;
    v->vt = VT_DATE;
    v->date = d;
    return v;
}
Variant Real(double d) {
    Variant v;
    v->vt = VT_R8;
    v->dblVal = d;
    return v;
}
Variant Null() {
    Variant v;
    v->vt = VT_NULL;
    return v;
}

TEST(CompareCells, OrdersEachTypeAndPutsMissingValuesFirst) {
    struct Case {
        const char* what;
        Variant a, b;
        bool caseSensitive;
        int expected;
    } cases[] = {
        {"empty = empty", Variant(), Variant(), false, 0},
        {"empty = null", Variant(), Null(), false, 0},
        {"empty < value", Variant(), Variant::I4(-5), false, -1},
        {"value > null", Variant::I4(-5), Null(), false, 1},
        {"different types, either way round", Variant::I4(1), Str(L"1"), false, -1},
        {"different types, reversed", Str(L"1"), Variant::I4(1), false, -1},
        {"signed integers", Variant::I4(-3), Variant::I4(2), false, -1},
        {"equal integers", Variant::I4(7), Variant::I4(7), false, 0},
        {"reals", Real(2.5), Real(-1.0), false, 1},
        {"dates", Date(36000.25), Date(36000.5), false, -1},
        {"false < true", Variant::Bool(false), Variant::Bool(true), false, -1},
        {"true = true", Variant::Bool(true), Variant::Bool(true), false, 0},
        {"apple = Apple without case", Str(L"apple"), Str(L"Apple"), false, 0},
        {"Apple < apple with case", Str(L"Apple"), Str(L"apple"), true, -1},
        {"underscore before letters when folded to lower", Str(L"_x"), Str(L"Ax"), false, -1},
        {"underscore after capitals with case", Str(L"_x"), Str(L"Ax"), true, 1},
        {"prefix first", Str(L"abc"), Str(L"abcd"), false, -1},
        {"non-ASCII letters keep their case", Str(L"\u00e9"), Str(L"\u00c9"), false, 1},
        {"other types are equal", Variant::Unknown(nullptr), Variant::Unknown(nullptr), false, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, kv::CompareCells(*c.a.get(), *c.b.get(), c.caseSensitive)) << c.what;
}

// A table of stories with a title, a read flag and a size, sorted by an expression.
class Sorting : public testing::Test {
protected:
    void SetUp() override { table_ = MakeObject<kv::RecordSet>(nullptr, nullptr); }

    void Add(LONG id, const wchar_t* title, const wchar_t* read = nullptr) {
        if (title) table_->SetProperty(id, L"TITLE", *Str(title).get());
        if (read) table_->SetProperty(id, L"READ", *Str(read).get());
        if (!title && !read) table_->SetProperty(id, L"OTHER", *Str(L"x").get());
    }
    std::vector<LONG> SortedIds(const wchar_t* expression, bool caseSensitive = false) {
        auto order = table_->CreateSortOrder();
        order->Parse(expression, caseSensitive);
        table_->FilterAndSort(nullptr, order.Get());
        std::vector<LONG> ids;
        for (long r = 1; r <= table_->RowCount(); ++r) ids.push_back(table_->RowAt(r)->Id());
        return ids;
    }

    ComPtr<kv::RecordSet> table_;
};

TEST_F(Sorting, KeysInTurnThenCreationOrder) {
    Add(1, L"beta");
    Add(2, L"Alpha");
    Add(3, L"beta");
    Add(4, nullptr);
    Add(5, L"alpha");
    EXPECT_EQ((std::vector<LONG>{4, 5, 2, 3, 1}), SortedIds(L"title; -ID"));
    EXPECT_EQ((std::vector<LONG>{1, 3, 2, 5, 4}), SortedIds(L"-TITLE"));  // missing last when descending
    EXPECT_EQ((std::vector<LONG>{4, 2, 5, 1, 3}), SortedIds(L"TITLE"));   // equal keys: creation order
    EXPECT_EQ((std::vector<LONG>{4, 2, 5, 1, 3}), SortedIds(L"TITLE", true));
    EXPECT_EQ((std::vector<LONG>{5, 4, 3, 2, 1}), SortedIds(L"-ID"));
    EXPECT_EQ((std::vector<LONG>{1, 2, 3, 4, 5}), SortedIds(L"-NOSUCHCOLUMN"));  // identity alone
}

TEST_F(Sorting, CaseSensitivityAndBooleans) {
    Add(1, L"apple", L"true");
    Add(2, L"Apple", L"false");
    EXPECT_EQ((std::vector<LONG>{1, 2}), SortedIds(L"TITLE"));         // equal: tie-break
    EXPECT_EQ((std::vector<LONG>{2, 1}), SortedIds(L"TITLE", true));   // "A" before "a"
    EXPECT_EQ((std::vector<LONG>{2, 1}), SortedIds(L"READ"));          // FALSE before TRUE
    EXPECT_EQ((std::vector<LONG>{1, 2}), SortedIds(L"-READ"));
}

TEST_F(Sorting, RowsCompareThroughTheOrderInTheirSortCell) {
    Add(1, L"b");
    Add(2, L"a");
    auto order = table_->CreateSortOrder();
    order->Parse(L"TITLE", false);
    table_->FilterAndSort(nullptr, order.Get());
    auto first = table_->RowAt(1), second = table_->RowAt(2);
    EXPECT_EQ(2, first->Id());
    EXPECT_EQ(kv::SortOrder::FromCell(first->CellRef(0)), order.Get());
    EXPECT_TRUE(second->Compare(*first.Get()));
    EXPECT_FALSE(first->Compare(*second.Get()));
}

// Titles that agree in their first code units, differ by case or length, or hold a NUL: the
// table's order is the one CompareCells gives, creation order breaking ties, either way round.
TEST_F(Sorting, TitlesOrderAsCompareCellsOrdersThem) {
    const std::vector<std::wstring> titles = {L"Business/Stock", L"business/stocks", L"Business/Sport", L"busi",
                                              L"Bus", L"BUSINESS/STOCK", L"Business/Stock", L"",
                                              std::wstring(L"bu\0s", 4), L"Busi", L"~z", L"busy", L"bu"};
    std::vector<Variant> cells;
    for (const auto& title : titles) cells.push_back(Variant::String(title));
    for (size_t i = 0; i < titles.size(); ++i) table_->SetProperty(static_cast<LONG>(i + 1), L"TITLE", *cells[i].get());
    for (bool caseSensitive : {false, true})
        for (const wchar_t* expression : {L"TITLE", L"-TITLE"}) {
            const int sign = expression[0] == L'-' ? -1 : 1;
            std::vector<LONG> expected;
            for (size_t i = 0; i < titles.size(); ++i) expected.push_back(static_cast<LONG>(i + 1));
            std::stable_sort(expected.begin(), expected.end(), [&](LONG a, LONG b) {
                const auto& x = *cells[static_cast<size_t>(a - 1)].get();
                const auto& y = *cells[static_cast<size_t>(b - 1)].get();
                return sign * kv::CompareCells(x, y, caseSensitive) < 0;
            });
            EXPECT_EQ(expected, SortedIds(expression, caseSensitive)) << (caseSensitive ? "case, " : "") << expression;
        }
}

TEST(SortFuzz, RandomExpressionsKeepOnlyKnownNamesAndSortsArePermutations) {
    std::mt19937 rng(20261207);
    const std::vector<std::wstring> pieces = {L"title", L"ID", L"read", L"SIZE", L"nosuch", L"+", L"-", L";", L" ",
                                              L"\t", L"Ti tle", L"", L"\u00e9", L"-;", L"+ +"};
    auto table = MakeObject<kv::RecordSet>(nullptr, nullptr);
    std::uniform_int_distribution<int> small(0, 5);
    for (LONG id = 1; id <= 60; ++id) {
        // Missing values in every column, so that keys often tie.
        if (small(rng)) table->SetProperty(id, L"TITLE", *Str(small(rng) ? L"x" : L"X").get());
        if (small(rng)) table->SetProperty(id, L"READ", *Str(small(rng) > 2 ? L"1" : L"0").get());
        table->SetProperty(id, L"SIZE", *Str(std::to_wstring(id % 7).c_str()).get());
    }
    for (int round = 0; round < 300; ++round) {
        std::wstring expression;
        for (int n = small(rng) * 2; n > 0; --n) expression += pieces[rng() % pieces.size()];
        auto order = table->CreateSortOrder();
        order->Parse(expression, rng() % 2);
        for (const auto& key : order->Keys()) {
            ASSERT_GE(key.column, 0);
            ASSERT_LT(key.column, table->ColumnCount());
        }
        table->FilterAndSort(nullptr, order.Get());
        ASSERT_EQ(60, table->RowCount());
        std::vector<LONG> ids;
        for (long r = 1; r <= 60; ++r) ids.push_back(table->RowAt(r)->Id());
        std::sort(ids.begin(), ids.end());
        for (LONG i = 0; i < 60; ++i) ASSERT_EQ(i + 1, ids[static_cast<size_t>(i)]);
        for (long r = 1; r < 60; ++r) ASSERT_FALSE(order->Compare(*table->RowAt(r).Get(), *table->RowAt(r + 1).Get()));
        for (long r = 1; r <= 60; ++r) ASSERT_EQ(r, table->FindRow(table->RowAt(r)->Id()));
    }
}

}  // namespace
