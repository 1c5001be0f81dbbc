// Times the directory table against the simplest fast table doing the same work (a std::vector
// of 49-cell rows, an std::unordered_map from entry id to row, std::stable_sort), for 1,000 and
// 10,000 entries of 20 fields each, 10% of them subscribed:
//   load      apply the client's entries array and subscribed ids
//   sort      filter step and the two-key sort "ENTRY_CATEGORY; -TIME_ADDED"
//   read raw  every cell through the data provider, raw format
//   read html every cell through the data provider, HTML format, Embellish 3
//   find      FindRow of 10 n random entry ids
//   refresh   one entry's fields applied again, 100 times
// Figures are milliseconds; "x floor" is ours divided by the baseline's; "growth" is the time
// divided by that of ten times fewer entries (find and refresh should stay flat per call).
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bench/bench_summary.h"
#include "framework/category_map.h"
#include "framework/data_provider.h"
#include "framework/value_converter.h"
#include "kvreg/directory_cell_decorator.h"
#include "kvreg/directory_record_set.h"
#include "platform/raii.h"

namespace {

using kv::ComPtr;
using kv::Variant;

const wchar_t* const kCategories[] = {L"Weather", L"Business/Stock Quotes", L"Music/Jazz", L"Sports",
                                      L"Travel", L"Dadivov", L"Computing;Software", L"Nowhere"};
const LONG kFields[20] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 17, 19, 21, 23, 24, 26, 29, 36, 37, 38, 40};

Variant Value(LONG field, LONG id, std::mt19937& rng) {
    switch (field) {
        case 0: return Variant::I4(id);
        case 1: return Variant::String(L"Channel " + std::to_wstring(id));
        case 5: return Variant::I4(rng() % 10 == 0 ? 1 : 0);
        case 7: return Variant::String(L"What channel " + std::to_wstring(id) + L" brings every day");
        case 8: return Variant::String(kCategories[rng() % 8]);
        case 9: case 17: case 21: case 36: return Variant::String(L"text " + std::to_wstring(rng() % 1000));
        case 38: return Variant::I4(850000000 + static_cast<LONG>(rng() % 300000000));
        default: return Variant::I4(static_cast<LONG>(rng() % 1000));
    }
}

Variant VariantArray(std::vector<Variant>& items) {
    SAFEARRAY* sa = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size()));
    VARIANT* data = nullptr;
    SafeArrayAccessData(sa, reinterpret_cast<void**>(&data));
    for (size_t i = 0; i < items.size(); ++i) items[i].Detach(&data[i]);
    SafeArrayUnaccessData(sa);
    Variant out;
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = sa;
    return out;
}

Variant IdArray(const std::vector<LONG>& ids) {
    SAFEARRAY* sa = SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(ids.size()));
    LONG* data = nullptr;
    SafeArrayAccessData(sa, reinterpret_cast<void**>(&data));
    std::copy(ids.begin(), ids.end(), data);
    SafeArrayUnaccessData(sa);
    Variant out;
    out->vt = VT_ARRAY | VT_I4;
    out->parray = sa;
    return out;
}

Variant Entry(LONG id, std::mt19937& rng) {
    std::vector<LONG> ids(kFields, kFields + 20);
    std::vector<Variant> values;
    for (LONG f : kFields) values.push_back(Value(f, id, rng));
    std::vector<Variant> pair;
    pair.push_back(IdArray(ids));
    pair.push_back(VariantArray(values));
    return VariantArray(pair);
}

struct Directory {
    Variant entries, subscribed;
};

Directory MakeDirectory(LONG n) {
    std::mt19937 rng(static_cast<unsigned>(n));
    std::vector<Variant> entries;
    std::vector<LONG> subscribed;
    for (LONG i = 1; i <= n; ++i) {
        entries.push_back(Entry(i * 7 + 3, rng));
        if (i % 10 == 0) subscribed.push_back(i * 7 + 3);
    }
    return {VariantArray(entries), IdArray(subscribed)};
}

double Now() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

// The machine is shared: each figure is the best of at least three runs, and of as many as
// fit in a quarter of a second up to 25, so that a short figure survives a moment without a core.
constexpr int kRepeats = 3, kMostRepeats = 25;
constexpr double kBudgetMs = 250;

template <class Prepare, class F>
double Best(Prepare&& prepare, F&& f) {
    double best = 1e300, spent = 0;
    for (int i = 0; i < kMostRepeats && (i < kRepeats || spent < kBudgetMs); ++i) {
        prepare();
        double start = Now();
        f();
        double took = Now() - start;
        best = std::min(best, took);
        spent += took;
    }
    return best;
}

// ---- the floor: the simplest fast table doing the same work -----------------------------------

class FloorTable {
public:
    FloorTable(const kv::DirectoryColumnTable& columns, const kv::CategoryMap& categories)
        : columns_(columns), categories_(categories) {}
    ~FloorTable() {
        for (auto& r : rows_)
            for (auto& c : r.cells) VariantClear(&c);
    }

    void Load(const Directory& d) {
        std::unordered_set<LONG> subscribed;
        LONG* ids = nullptr;
        SafeArrayAccessData(d.subscribed->parray, reinterpret_cast<void**>(&ids));
        subscribed.insert(ids, ids + d.subscribed->parray->rgsabound[0].cElements);
        SafeArrayUnaccessData(d.subscribed->parray);
        VARIANT* entries = nullptr;
        SafeArrayAccessData(d.entries->parray, reinterpret_cast<void**>(&entries));
        for (ULONG i = 0; i < d.entries->parray->rgsabound[0].cElements; ++i) Apply(entries[i], subscribed);
        SafeArrayUnaccessData(d.entries->parray);
    }
    void Apply(const VARIANT& entry, const std::unordered_set<LONG>& subscribed) {
        VARIANT* pair = nullptr;
        SafeArrayAccessData(entry.parray, reinterpret_cast<void**>(&pair));
        LONG* ids = nullptr;
        VARIANT* values = nullptr;
        SafeArrayAccessData(pair[0].parray, reinterpret_cast<void**>(&ids));
        SafeArrayAccessData(pair[1].parray, reinterpret_cast<void**>(&values));
        const ULONG n = pair[0].parray->rgsabound[0].cElements;
        LONG id = values[0].lVal;
        auto [it, fresh] = byId_.try_emplace(id, rows_.size());
        if (fresh) rows_.push_back(Row{id, std::vector<VARIANT>(49)});
        Row& row = rows_[it->second];
        for (ULONG i = 0; i < n; ++i) {
            long index = columns_.IndexOf(ids[i]);
            if (index < 0) continue;
            if (ids[i] == 38) {
                VariantClear(&row.cells[index]);
                row.cells[index].vt = VT_DATE;
                row.cells[index].date = kv::LocalDateFromUnixSeconds(values[i].lVal);
            } else {
                VariantCopy(&row.cells[index], &values[i]);
            }
        }
        VariantClear(&row.cells[48]);
        row.cells[48].vt = VT_BOOL;
        row.cells[48].boolVal = subscribed.count(id) ? VARIANT_TRUE : VARIANT_FALSE;
        VariantClear(&row.cells[2]);
        const VARIANT& cat = row.cells[columns_.IndexOf(8)];
        row.cells[2].vt = VT_BSTR;
        row.cells[2].bstrVal = SysAllocString(
            categories_.Lookup(cat.vt == VT_BSTR ? std::wstring_view(cat.bstrVal, SysStringLen(cat.bstrVal)) : L"").c_str());
        SafeArrayUnaccessData(pair[1].parray);
        SafeArrayUnaccessData(pair[0].parray);
        SafeArrayUnaccessData(entry.parray);
    }
    void Sort() {
        const long time = columns_.IndexOf(38);
        std::stable_sort(rows_.begin(), rows_.end(), [&](const Row& a, const Row& b) {
            int c = kv::CompareCells(a.cells[2], b.cells[2], false);
            if (c) return c < 0;
            return kv::CompareCells(b.cells[time], a.cells[time], false) < 0;
        });
        for (size_t i = 0; i < rows_.size(); ++i) byId_[rows_[i].id] = i;
    }
    size_t ReadAll(bool html) {
        size_t chars = 0;
        for (const Row& row : rows_)
            for (const VARIANT& cell : row.cells) {
                Variant v(cell);
                if (html) {
                    std::wstring text;
                    if (cell.vt == VT_BOOL) text = cell.boolVal ? L"Yes" : L"No";
                    else if (cell.vt == VT_BSTR) text.assign(cell.bstrVal, SysStringLen(cell.bstrVal));
                    else if (cell.vt != VT_EMPTY && SUCCEEDED(VariantChangeType(v.get(), v.get(), 0, VT_BSTR)))
                        text.assign(v->bstrVal, SysStringLen(v->bstrVal));
                    bool on = row.cells[48].boolVal != 0;
                    text = std::wstring(L"<SPAN CLASS=") + (on ? L"subscribed" : L"unsubscribed") + L">" + text + L"</SPAN>";
                    if (row.cells[5].vt == VT_I4 && (row.cells[5].lVal & 1))
                        text = L"<SPAN CLASS=newchannel>" + text + L"</SPAN>";
                    v = Variant::String(text);
                }
                chars += v.vt() == VT_BSTR ? SysStringLen(v->bstrVal) : 1;
            }
        return chars;
    }
    long FindRow(LONG id) const {
        auto it = byId_.find(id);
        return it == byId_.end() ? 0 : static_cast<long>(it->second) + 1;
    }

private:
    struct Row {
        LONG id;
        std::vector<VARIANT> cells;
    };
    const kv::DirectoryColumnTable& columns_;
    const kv::CategoryMap& categories_;
    std::vector<Row> rows_;
    std::unordered_map<LONG, size_t> byId_;
};

struct Figures {
    double load, sort, raw, html, find, refresh;
};

std::pair<Figures, Figures> Run(LONG n) {
    auto columns = std::make_shared<const kv::DirectoryColumnTable>(kv::ThisModule());
    auto categories = std::make_shared<const kv::CategoryMap>(kv::ThisModule());
    Directory directory = MakeDirectory(n);
    std::mt19937 rng(99);
    std::vector<LONG> probes(static_cast<size_t>(n) * 10);
    for (auto& p : probes) p = static_cast<LONG>(rng() % static_cast<unsigned>(n) + 1) * 7 + 3;
    const LONG middle = (n / 2) * 7 + 3;
    Variant again = Entry(middle, rng);
    Figures ours{}, floor{};
    volatile size_t sink = 0;
    auto none = [] {};
    {
        ComPtr<kv::DirectoryRecordSet> table;
        ours.load = Best([&] { table.Reset(); }, [&] {
            table = kv::MakeObject<kv::DirectoryRecordSet>(columns, categories, nullptr);
            table->Load(*directory.entries.get(), *directory.subscribed.get());
        });
        auto order = table->CreateSortOrder();
        ours.sort = Best(
            [&] {
                order->Parse(L"NAME", false);
                table->FilterAndSort(nullptr, order.Get());
                table->ResetStates();
            },
            [&] {
                order->Parse(L"ENTRY_CATEGORY; -TIME_ADDED", false);
                table->FilterAndSort(nullptr, order.Get());
            });
        kv::DataProvider provider;
        provider.SetTable(table, kv::MakeObject<kv::DirectoryCellDecorator>(kv::ThisModule(), table));
        provider.SetEmbellish(3);
        provider.ResetReadTracker();
        auto readAll = [&](OSPFORMAT format) {
            size_t chars = 0;
            for (DBROWCOUNT r = 1; r <= table->RowCount(); ++r)
                for (DB_LORDINAL c = 1; c <= table->ColumnCount(); ++c) {
                    Variant v;
                    if (FAILED(provider.getVariant(r, c, format, v.put()))) std::printf("read failed\n");
                    chars += v.vt() == VT_BSTR ? SysStringLen(v->bstrVal) : 1;
                }
            sink = sink + chars;
        };
        ours.raw = Best(none, [&] { readAll(OSPFORMAT_RAW); });
        ours.html = Best(none, [&] { readAll(OSPFORMAT_HTML); });
        ours.find = Best(none, [&] {
            long sum = 0;
            for (LONG id : probes) sum += table->FindRow(id);
            sink = sink + static_cast<size_t>(sum);
        });
        ours.refresh = Best(none, [&] {
            for (int i = 0; i < 100; ++i) table->SetEntry(*again.get(), 0, false);
        });
    }
    {
        std::unique_ptr<FloorTable> table;
        floor.load = Best([&] { table.reset(); }, [&] {
            table = std::make_unique<FloorTable>(*columns, *categories);
            table->Load(directory);
        });
        floor.sort = Best(none, [&] { table->Sort(); });
        floor.raw = Best(none, [&] { sink = sink + table->ReadAll(false); });
        floor.html = Best(none, [&] { sink = sink + table->ReadAll(true); });
        floor.find = Best(none, [&] {
            long sum = 0;
            for (LONG id : probes) sum += table->FindRow(id);
            sink = sink + static_cast<size_t>(sum);
        });
        std::unordered_set<LONG> noIds;
        floor.refresh = Best(none, [&] {
            for (int i = 0; i < 100; ++i) table->Apply(*again.get(), noIds);
        });
    }
    return {ours, floor};
}

}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const LONG sizes[] = {1000, 10000};
    const char* names[] = {"load", "sort", "read raw", "read html", "find", "refresh"};
    std::vector<std::pair<Figures, Figures>> results;
    std::printf("directory table (%s build): %s\n", sizeof(void*) == 8 ? "x64" : "x86",
                "20 fields per entry, 10% subscribed; ms; x floor = ours / baseline");
    std::printf("%-10s %8s %10s %10s %8s %9s %9s\n", "operation", "entries", "ours", "floor", "x floor", "growth",
                "floor gr.");
    for (LONG n : sizes) {
        try {
            results.push_back(Run(n));
        } catch (...) {
            std::printf("run of %ld entries failed: 0x%08lx\n", n, static_cast<unsigned long>(kv::CaughtHResult()));
            return 1;
        }
        const auto& [ours, floor] = results.back();
        const double o[] = {ours.load, ours.sort, ours.raw, ours.html, ours.find, ours.refresh};
        const double f[] = {floor.load, floor.sort, floor.raw, floor.html, floor.find, floor.refresh};
        for (int k = 0; k < 6; ++k) {
            char growth[16] = "", floorGrowth[16] = "";
            if (results.size() > 1) {
                const auto& [po, pf] = results[results.size() - 2];
                const double prevO[] = {po.load, po.sort, po.raw, po.html, po.find, po.refresh};
                const double prevF[] = {pf.load, pf.sort, pf.raw, pf.html, pf.find, pf.refresh};
                std::snprintf(growth, sizeof growth, "%.1f", o[k] / prevO[k]);
                std::snprintf(floorGrowth, sizeof floorGrowth, "%.1f", f[k] / prevF[k]);
            }
            std::printf("%-10s %8ld %10.2f %10.2f %8.2f %9s %9s\n", names[k], n, o[k], f[k], o[k] / f[k], growth,
                        floorGrowth);
        }
        // The aim: within twice the floor; find and refresh take microseconds at 1,000 entries,
        // too short to tell the table from the timer.
        for (int k = 0; k < 6; ++k) {
            if (k >= 4 && n < 10000) continue;
            char figure[64];
            std::snprintf(figure, sizeof figure, "%s at %ld x floor", names[k], n);
            kv::bench::Summary("directory_table_bench", figure, o[k] / f[k], 2);
        }
        std::fflush(stdout);
    }
    CoUninitialize();
    return 0;
}
