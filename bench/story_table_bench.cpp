// Times the story table against the simplest fast table doing the same work (a std::vector of
// rows, an std::unordered_map from story ID to row, std::stable_sort), for 1,000, 10,000 and
// 100,000 stories of 20 properties each:
//   load      apply the whole snapshot (names normalised, values converted, TYPE/ICON derived)
//   sort      filter step and a two-key sort
//   read raw  every cell through the data provider, raw format
//   read html every cell through the data provider, HTML format with the default decoration
//   find      FindRow of 10 n random story IDs
// Figures are milliseconds; "x floor" is ours divided by the baseline's; "growth" is the time
// divided by that of ten times fewer stories.
#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <memory>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/bench_summary.h"
#include "framework/data_provider.h"
#include "framework/record_set.h"
#include "framework/sort_order.h"
#include "framework/value_converter.h"
#include "kvdc/cell_decorator.h"
#include "kvdc/story_columns.h"
#include "platform/raii.h"

namespace {

using kv::ComPtr;
using kv::Variant;

const wchar_t* const kNames[20] = {
    L"Title",       L"TEXT",     L"URL",          L"read",       L"KEEP",      L"STORY_LOCAL", L"ALERTED",
    L"PARCEL_TYPE", L"ATTACH_SIZE", L"POSTED_TIME", L"EXPIRY_TIME", L"MESSAGE_LIFESPAN", L"HAS_AUDIO",
    L"CATEGORY",    L"AUTHOR",   L"SOURCE",       L"PRIORITY_ID", L"ABSTRACT", L"Story Kind", L"LANGUAGE"};

std::wstring ValueFor(int property, LONG id, std::mt19937& rng) {
    switch (property) {
    case 0: return L"Story number " + std::to_wstring(rng() % 5000) + L" of the day";
    case 1: return rng() % 3 ? L"Some text of the story " + std::to_wstring(id) : L"";
    case 2: return L"http://news.example.com/stories/" + std::to_wstring(id) + L".htm";
    case 3: case 4: case 5: case 6: case 12: return rng() % 2 ? L"1" : L"0";
    case 7: return std::to_wstring(rng() % 32);
    case 8: return std::to_wstring(rng() % 5000000);
    case 9: case 10: return std::to_wstring(850000000 + static_cast<LONG>(rng() % 300000000));
    case 11: return std::to_wstring(rng() % 100);
    case 16: return std::to_wstring(rng() % 10);
    default: return L"value " + std::to_wstring(rng() % 1000);
    }
}

// The client's snapshot: every story in element 1 (so TYPE and ICON are derived), element 2 empty.
Variant MakeSnapshot(LONG stories) {
    std::mt19937 rng(static_cast<unsigned>(stories));
    const ULONG n = static_cast<ULONG>(stories) * 20;
    kv::SafeArray ids = kv::SafeArray::Vector(VT_I4, n), names = kv::SafeArray::Vector(VT_BSTR, n),
                  values = kv::SafeArray::Vector(VT_BSTR, n);
    {
        kv::SafeArrayData<LONG> id(ids.get());
        kv::SafeArrayData<BSTR> name(names.get()), value(values.get());
        ULONG i = 0;
        for (LONG s = 1; s <= stories; ++s)
            for (int p = 0; p < 20; ++p, ++i) {
                id[i] = s * 7 + 3;
                name[i] = SysAllocString(kNames[p]);
                value[i] = SysAllocString(ValueFor(p, s, rng).c_str());
            }
    }
    auto wrap = [](kv::SafeArray& sa, VARTYPE vt) {
        Variant v;
        v->vt = VT_ARRAY | vt;
        v->parray = sa.Detach();
        return v;
    };
    auto part = [](std::vector<Variant> items) {
        kv::SafeArray sa = kv::SafeArray::Vector(VT_VARIANT, static_cast<ULONG>(items.size()));
        for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i)
            kv::ThrowIfFailed(SafeArrayPutElement(sa.get(), &i, items[static_cast<size_t>(i)].get()));
        Variant v;
        v->vt = VT_ARRAY | VT_VARIANT;
        v->parray = sa.Detach();
        return v;
    };
    kv::SafeArray e1 = kv::SafeArray::Vector(VT_I4, 0), e2 = kv::SafeArray::Vector(VT_BSTR, 0),
                  e3 = kv::SafeArray::Vector(VT_BSTR, 0);
    Variant empty = part({wrap(e1, VT_I4), wrap(e2, VT_BSTR), wrap(e3, VT_BSTR)});
    Variant full = part({wrap(ids, VT_I4), wrap(names, VT_BSTR), wrap(values, VT_BSTR)});
    return part({Variant(), std::move(full), std::move(empty)});
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

// ---- the floor: the simplest fast table doing the same work -----------------------------------

struct FloorRow {
    LONG id;
    uint64_t identity;
    std::vector<VARIANT> cells;
};

class FloorTable {
public:
    explicit FloorTable(ComPtr<kv::ValueConverter> converter) : converter_(std::move(converter)) {
        for (const wchar_t* n : {L"INTERNAL_SORT", L"INTERNAL_STATE", L"ID", L"ICON", L"TYPE", L"URL", L"TEXT",
                                 L"STORY_LOCAL", L"PARCEL_TYPE", L"KEEP"})
            Column(n);
    }
    ~FloorTable() {
        for (auto& r : rows_)
            for (auto& c : r.cells) VariantClear(&c);
    }

    void Load(const VARIANT& snapshot) {
        SAFEARRAY* outer = snapshot.parray;
        VARIANT* parts = nullptr;
        SafeArrayAccessData(outer, reinterpret_cast<void**>(&parts));
        SAFEARRAY* inner = parts[1].parray;
        VARIANT* arrays = nullptr;
        SafeArrayAccessData(inner, reinterpret_cast<void**>(&arrays));
        LONG* ids = nullptr;
        BSTR *names = nullptr, *values = nullptr;
        SafeArrayAccessData(arrays[0].parray, reinterpret_cast<void**>(&ids));
        SafeArrayAccessData(arrays[1].parray, reinterpret_cast<void**>(&names));
        SafeArrayAccessData(arrays[2].parray, reinterpret_cast<void**>(&values));
        const ULONG n = arrays[0].parray->rgsabound[0].cElements;
        for (ULONG i = 0; i < n; ++i) {
            auto [it, fresh] = byId_.try_emplace(ids[i], rows_.size());
            if (fresh) {
                rows_.push_back({ids[i], rows_.size(), {}});
                rows_.back().cells.resize(columns_.size());
                for (auto& c : rows_.back().cells) VariantInit(&c);
            }
            FloorRow& row = rows_[it->second];
            auto name = rawNames_.find(names[i]);
            long column = name != rawNames_.end() ? name->second
                                                  : rawNames_.emplace(names[i], Column(kv::NormaliseColumnName(names[i]))).first->second;
            if (static_cast<size_t>(column) >= row.cells.size()) {
                VARIANT e;
                VariantInit(&e);
                row.cells.resize(static_cast<size_t>(column) + 1, e);
            }
            VARIANT raw;
            raw.vt = VT_BSTR;
            raw.bstrVal = values[i];
            Variant v = converter_->Convert(rules_[static_cast<size_t>(column)], raw);
            VariantClear(&row.cells[static_cast<size_t>(column)]);
            v.Detach(&row.cells[static_cast<size_t>(column)]);
        }
        // Derived cells once per story.
        const auto& tables = kv::GetStoryTables();
        for (auto& row : rows_) {
            bool parcel = row.cells[5].vt != VT_BSTR && row.cells[6].vt != VT_BSTR;
            LONG f = row.cells[8].vt == VT_I4 ? row.cells[8].lVal : 0;
            int type = !parcel ? 0 : (f & 4) ? 4 : (f & 16) ? 5 : (f & 2) ? 6 : 7;
            int flags = type;
            if (type == 0) {
                if (row.cells[6].vt == VT_BSTR && SysStringLen(row.cells[6].bstrVal) > 1) flags += 1;
                if (row.cells[7].vt == VT_BOOL && row.cells[7].boolVal) flags += 2;
            }
            if (row.cells[9].vt == VT_BOOL && row.cells[9].boolVal) flags += 8;
            VariantClear(&row.cells[4]);
            row.cells[4].vt = VT_BSTR;
            row.cells[4].bstrVal = tables.typeNames[type].Copy();
            VariantClear(&row.cells[3]);
            row.cells[3].vt = VT_BSTR;
            row.cells[3].bstrVal = tables.iconAddresses[flags].Copy();
        }
        SafeArrayUnaccessData(arrays[2].parray);
        SafeArrayUnaccessData(arrays[1].parray);
        SafeArrayUnaccessData(arrays[0].parray);
        SafeArrayUnaccessData(inner);
        SafeArrayUnaccessData(outer);
    }

    void Sort(const std::vector<kv::SortKey>& keys) {
        std::vector<size_t> order(rows_.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        static const VARIANT empty = [] {
            VARIANT v;
            VariantInit(&v);
            return v;
        }();
        auto cell = [&](const FloorRow& r, long c) -> const VARIANT& {
            return static_cast<size_t>(c) < r.cells.size() ? r.cells[static_cast<size_t>(c)] : empty;
        };
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
            for (const auto& k : keys) {
                int c = kv::CompareCells(cell(rows_[a], k.column), cell(rows_[b], k.column), false);
                if (c) return k.ascending ? c < 0 : c > 0;
            }
            return rows_[a].identity < rows_[b].identity;
        });
        std::vector<FloorRow> sorted;
        sorted.reserve(rows_.size());
        for (size_t i : order) sorted.push_back(std::move(rows_[i]));
        rows_ = std::move(sorted);
        for (size_t i = 0; i < rows_.size(); ++i) byId_[rows_[i].id] = i;
    }

    // Every cell copied out (raw) or turned into decorated text (html), as the provider does.
    size_t ReadAll(bool html) {
        size_t chars = 0;
        const long read = columnIndex_.at(L"READ");
        const auto& units = kv::GetSizeUnits();
        for (auto& row : rows_)
            for (size_t c = 0; c < columns_.size(); ++c) {
                Variant v;
                if (c < row.cells.size()) VariantCopy(v.get(), &row.cells[c]);
                if (html) {
                    std::wstring text;
                    if (c == 3) {
                        text = v->bstrVal;
                    } else {
                        if (v.vt() == VT_I4 && c == static_cast<size_t>(columnIndex_.at(L"ATTACH_SIZE")))
                            text = kv::FormatSize(v->lVal, units);
                        else if (v.vt() == VT_BOOL)
                            text = v->boolVal ? L"Yes" : L"No";
                        else if (v.vt() == VT_BSTR)
                            text = v->bstrVal ? v->bstrVal : L"";
                        else if (v.vt() != VT_UNKNOWN) {
                            v.ChangeType(VT_BSTR, LOCALE_USER_DEFAULT);
                            text = v->bstrVal ? v->bstrVal : L"";
                        }
                        bool isRead = row.cells[static_cast<size_t>(read)].vt == VT_BOOL && row.cells[static_cast<size_t>(read)].boolVal;
                        text = L"<SPAN CLASS=" + std::wstring(isRead ? L"story" : L"newstory") + L">" + text + L"</SPAN>";
                    }
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

    std::vector<kv::SortKey> Keys(const std::wstring& a, bool ascA, const std::wstring& b, bool ascB) const {
        return {{columnIndex_.at(a), ascA}, {columnIndex_.at(b), ascB}};
    }

private:
    long Column(const std::wstring& normalised) {
        auto it = columnIndex_.find(normalised);
        if (it != columnIndex_.end()) return it->second;
        long index = static_cast<long>(columns_.size());
        columns_.push_back(normalised);
        rules_.push_back(kv::ConversionFor(normalised));
        columnIndex_.emplace(normalised, index);
        return index;
    }

    ComPtr<kv::ValueConverter> converter_;
    std::vector<std::wstring> columns_;
    std::vector<kv::Conversion> rules_;
    std::unordered_map<std::wstring, long> columnIndex_, rawNames_;
    std::vector<FloorRow> rows_;
    std::unordered_map<LONG, size_t> byId_;
};

// ---- the runs ------------------------------------------------------------------------------------

struct Figures {
    double load, sort, raw, html, find;
};

// The machine is shared: each figure is the best of a few runs.
constexpr int kRepeats = 3;

template <class F>
double Time(F&& f) {
    double start = Now();
    f();
    return Now() - start;
}

template <class Prepare, class F>
double Best(Prepare&& prepare, F&& f) {
    double best = 1e300;
    for (int i = 0; i < kRepeats; ++i) {
        prepare();
        best = std::min(best, Time(f));
    }
    return best;
}

std::pair<Figures, Figures> Run(LONG stories) {
    Variant snapshot = MakeSnapshot(stories);
    std::mt19937 rng(99);
    std::vector<LONG> probes(static_cast<size_t>(stories) * 10);
    for (auto& p : probes) p = static_cast<LONG>(rng() % static_cast<unsigned>(stories) + 1) * 7 + 3;
    auto converter = kv::MakeObject<kv::ValueConverter>(nullptr);
    Figures ours{}, floor{};
    volatile size_t sink = 0;
    {
        ComPtr<kv::RecordSet> table;
        ours.load = Best([&] { table.Reset(); }, [&] {
            table = kv::MakeStoryRecordSet(nullptr, converter);
            table->Load(*snapshot.get(), 0, nullptr);
        });
        // Each timed sort starts from the same unrelated order, with every row unfiltered.
        auto order = table->CreateSortOrder();
        ours.sort = Best(
            [&] {
                order->Parse(L"ATTACH_SIZE", false);
                table->FilterAndSort(nullptr, order.Get());
                table->ResetStates();
            },
            [&] {
                order->Parse(L"-POSTED_TIME; title", false);
                table->FilterAndSort(nullptr, order.Get());
            });
        kv::DataProvider provider;
        provider.SetTable(table, kv::CreateCellDecorator(table));
        provider.ResetReadTracker();
        DBROWCOUNT rows = 0;
        DB_LORDINAL cols = 0;
        provider.getRowCount(&rows);
        provider.getColumnCount(&cols);
        auto readAll = [&](OSPFORMAT format) {
            size_t chars = 0;
            for (DBROWCOUNT r = 1; r <= rows; ++r)
                for (DB_LORDINAL c = 1; c <= cols; ++c) {
                    Variant v;
                    if (FAILED(provider.getVariant(r, c, format, v.put()))) std::printf("read failed\n");
                    chars += v.vt() == VT_BSTR ? SysStringLen(v->bstrVal) : 1;
                }
            sink = sink + chars;
        };
        auto none = [] {};
        ours.raw = Best(none, [&] { readAll(OSPFORMAT_RAW); });
        ours.html = Best(none, [&] { readAll(OSPFORMAT_HTML); });
        ours.find = Best(none, [&] {
            long sum = 0;
            for (LONG id : probes) sum += table->FindRow(id);
            sink = sink + static_cast<size_t>(sum);
        });
    }
    {
        std::unique_ptr<FloorTable> table;
        floor.load = Best([&] { table.reset(); }, [&] {
            table = std::make_unique<FloorTable>(converter);
            table->Load(*snapshot.get());
        });
        auto keys = table->Keys(L"POSTED_TIME", false, L"TITLE", true);
        auto scramble = table->Keys(L"ATTACH_SIZE", true, L"ATTACH_SIZE", true);
        floor.sort = Best([&] { table->Sort(scramble); }, [&] { table->Sort(keys); });
        auto none = [] {};
        floor.raw = Best(none, [&] { sink = sink + table->ReadAll(false); });
        floor.html = Best(none, [&] { sink = sink + table->ReadAll(true); });
        floor.find = Best(none, [&] {
            long sum = 0;
            for (LONG id : probes) sum += table->FindRow(id);
            sink = sink + static_cast<size_t>(sum);
        });
    }
    return {ours, floor};
}

}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const LONG sizes[] = {1000, 10000, 100000};
    const char* names[] = {"load", "sort", "read raw", "read html", "find"};
    std::vector<std::pair<Figures, Figures>> results;
    std::printf("story table (%s build): %s\n", sizeof(void*) == 8 ? "x64" : "x86",
                "20 properties per story; ms; x floor = ours / baseline");
    std::printf("%-10s %8s %10s %10s %8s %9s %9s\n", "operation", "stories", "ours", "floor", "x floor",
                "growth", "floor gr.");
    for (LONG n : sizes) {
        try {
            results.push_back(Run(n));
        } catch (...) {
            std::printf("run of %ld stories failed: 0x%08lx\n", n, static_cast<unsigned long>(kv::CaughtHResult()));
            return 1;
        }
        const auto& [ours, floor] = results.back();
        const double o[] = {ours.load, ours.sort, ours.raw, ours.html, ours.find};
        const double f[] = {floor.load, floor.sort, floor.raw, floor.html, floor.find};
        for (int k = 0; k < 5; ++k) {
            char growth[16] = "", floorGrowth[16] = "";
            if (results.size() > 1) {
                const auto& [po, pf] = results[results.size() - 2];
                const double prevO[] = {po.load, po.sort, po.raw, po.html, po.find};
                const double prevF[] = {pf.load, pf.sort, pf.raw, pf.html, pf.find};
                std::snprintf(growth, sizeof growth, "%.1f", o[k] / prevO[k]);
                std::snprintf(floorGrowth, sizeof floorGrowth, "%.1f", f[k] / prevF[k]);
            }
            std::printf("%-10s %8ld %10.2f %10.2f %8.2f %9s %9s\n", names[k], n, o[k], f[k], o[k] / f[k], growth,
                        floorGrowth);
        }
        // The aim: within twice the floor, from 10,000 stories on (smaller runs are too short
        // to tell the table from the timer).
        if (n >= 10000)
            for (int k = 0; k < 5; ++k) {
                char figure[64];
                std::snprintf(figure, sizeof figure, "%s at %ld x floor", names[k], n);
                kv::bench::Summary("story_table_bench", figure, o[k] / f[k], 2);
            }
        std::fflush(stdout);
    }
    CoUninitialize();
    return 0;
}
