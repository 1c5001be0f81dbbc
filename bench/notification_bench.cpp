// Times the story control on channels of 1,000, 10,000 and 100,000 stories of 20 properties each.
//
// The first bind: from creating the control on the page to the binding's mirror of every cell
// (the control's Reset with its filter step and sort, then every cell read in the HTML format).
// Beside it, in the same run, the story table's own work on the same channel: load the client's
// snapshot and read every cell once in the HTML format through the data provider ("table"). "x"
// is the bind divided by that.
//
// Then the answer to one client notification: from the client's call of the sink to the last
// notification the page's data binding receives. A new story (OnStoriesAdded) ends with the
// binding's insertedRows; a changed story (OnStoriesChanged) with the page's OnStoryEvent.
//
// A new story's time is split in the same run: the client's making of the story snapshot the
// control asks for (as the client stand-in timed it), and the control's own handling, which is
// the rest and includes freeing that snapshot. Beside it, a floor doing the least the handling
// must do, on a second snapshot of the same channel: find the story's id in the id arrays,
// convert its properties, and stably sort a vector of one row per story that is already in order
// ("floor"); then free the snapshot ("freeing"). "x" is the control's handling divided by the
// floor with the freeing.
// Figures are milliseconds, the best of five (the bind: of one); "growth" is the time divided by
// that of ten times fewer stories.
//
// Needs KvDC.dll and the client stand-in registered: run it in the test prefix after a test run,
//   build/<arch>/kvwine build/<arch>/bench/notification_bench.exe [sizes...]
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_summary.h"
#include "framework/data_provider.h"
#include "framework/value_converter.h"
#include "korvane_client.h"
#include "kvdc/cell_decorator.h"
#include "kvdc/story_columns.h"
#include "platform/raii.h"
#include "standins/browser/page_host.h"
#include "tests/client/client_test_util.h"

namespace {

using kv::Bstr;
using kv::ComPtr;
using kv::Variant;

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

const wchar_t* const kNames[20] = {L"TITLE",     L"TEXT",       L"URL",         L"READ",     L"KEEP",
                                   L"ALERTED",   L"PARCEL_TYPE", L"ATTACH_SIZE", L"POSTED_TIME", L"CATEGORY",
                                   L"AUTHOR",    L"SOURCE",     L"PRIORITY_ID", L"ABSTRACT", L"LANGUAGE",
                                   L"REGION",    L"SECTION",    L"EDITION",     L"RANK",     L"NOTE"};

std::wstring ValueFor(int property, LONG id) {
    switch (property) {
        case 3: case 4: case 5: return (id % 3) ? L"0" : L"1";
        case 6: return std::to_wstring(id % 32);
        case 7: return std::to_wstring(id * 37 % 5000000);
        case 8: return std::to_wstring(900000000 + id);
        case 12: return std::to_wstring(id % 10);
        default: return std::wstring(kNames[property]) + L" of story " + std::to_wstring(id);
    }
}

void AddStory(IClientControl* control, LONG id) {
    for (int p = 0; p < 20; ++p)
        control->SetStoryProperty(1, id, Bstr(kNames[p]).get(), Bstr(ValueFor(p, id)).get(), p < 10 ? 1 : 2);
}

struct Figures {
    double bind = 0, table = 0;
    double added = 1e300, changed = 1e300;
    double snapshot = 1e300, freed = 1e300, own = 1e300, floor = 1e300;
};

const SAFEARRAY* ArrayIn(const VARIANT& v) { return (v.vt & VT_ARRAY) ? v.parray : nullptr; }

// The least that handling one new story `id` must do with a snapshot: find the id, convert each
// of its properties, and sort the channel's rows (already in order) again. Returns milliseconds.
double Floor(const VARIANT& snapshot, LONG id, LONG stories) {
    std::vector<std::pair<double, uint64_t>> rows(static_cast<size_t>(stories));
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = {-static_cast<double>(stories - static_cast<LONG>(i)), i};
    double start = Now();
    std::vector<Variant> converted;
    auto* outer = static_cast<const VARIANT*>(ArrayIn(snapshot)->pvData);
    for (int part = 1; part <= 2; ++part) {
        auto* inner = static_cast<const VARIANT*>(ArrayIn(outer[part])->pvData);
        const SAFEARRAY* ids = ArrayIn(inner[0]);
        auto* storyIds = static_cast<const LONG*>(ids->pvData);
        auto* names = static_cast<const BSTR*>(ArrayIn(inner[1])->pvData);
        auto* values = static_cast<const BSTR*>(ArrayIn(inner[2])->pvData);
        for (ULONG i = 0; i < ids->rgsabound[0].cElements; ++i) {
            if (storyIds[i] != id) continue;
            std::wstring name(names[i], SysStringLen(names[i]));
            for (auto& c : name) c = static_cast<wchar_t>(towupper(c));
            Variant value = Variant::String(std::wstring(values[i], SysStringLen(values[i])));
            Variant number;
            if (SUCCEEDED(VariantChangeType(number.get(), value.get(), 0, VT_I4))) value = std::move(number);
            converted.push_back(std::move(value));
        }
    }
    std::stable_sort(rows.begin(), rows.end());
    double took = Now() - start;
    if (converted.size() != 20 || rows.front().second != 0) std::fprintf(stderr, "  the floor did other work\n");
    return took;
}

// The story table's own part of a first bind: load the channel's snapshot (made by the client
// beforehand) and read every cell once in the HTML format. Returns milliseconds.
double TableWork(IClientApp2* app) {
    ComPtr<IChannelCollection> channels;
    ComPtr<IClientChannel> channel;
    ComPtr<IClientChannel2> channel2;
    if (FAILED(app->GetChannels(channels.GetAddressOf())) ||
        FAILED(channels->Item(*Variant::I4(1).get(), channel.GetAddressOf())) || !channel ||
        FAILED(channel.As(&channel2))) {
        std::fprintf(stderr, "  the client gives no channel\n");
        std::exit(1);
    }
    Variant snapshot;
    kv::ThrowIfFailed(channel2->GetStorySnapshot(1, 1, snapshot.put()));
    auto converter = kv::MakeObject<kv::ValueConverter>(nullptr);
    size_t chars = 0;
    double start = Now();
    auto table = kv::MakeStoryRecordSet(nullptr, converter);
    table->Load(*snapshot.get(), 0, nullptr);
    kv::DataProvider provider;
    provider.SetTable(table, kv::CreateCellDecorator(table));
    provider.ResetReadTracker();
    for (long r = 1; r <= table->RowCount(); ++r)
        for (long c = 1; c <= table->ColumnCount(); ++c) {
            Variant v;
            if (FAILED(provider.getVariant(r, c, OSPFORMAT_HTML, v.put()))) std::fprintf(stderr, "  a read failed\n");
            chars += v.vt() == VT_BSTR ? SysStringLen(v->bstrVal) : 1;
        }
    double took = Now() - start;
    if (chars == 0) std::fprintf(stderr, "  the table read nothing\n");
    return took;
}

Figures Measure(IClientApp2* app, IClientControl* control, LONG stories) {
    control->Clear();
    control->PutChannel(1, Bstr(L"Bench").get(), Bstr(L"C:\\Channels\\Bench").get(), 0, 0, 0, Bstr(L"bench").get());
    double t0 = Now();
    for (LONG id = 1; id <= stories; ++id) AddStory(control, id);
    std::fprintf(stderr, "  built %ld stories in %.0f ms\n", stories, Now() - t0);
    Figures f;
    f.table = TableWork(app);

    t0 = Now();
    kv::browser::PageHost page(L"C:\\Channels\\Bench\\index.htm");
    page.Create(L"Korvane.Channel", {kv::browser::TextParam(L"Sort", L"-POSTED_TIME")});
    auto& binding = page.Bind(OSPFORMAT_HTML);
    page.PumpUntilIdle();
    f.bind = Now() - t0;
    if (binding.RowCount() != stories) std::fprintf(stderr, "  the page shows %ld stories\n", binding.RowCount());
    ComPtr<IClientChannel2> channel;
    Variant channelValue = page.Get(L"Channel");
    if (channelValue.vt() != VT_DISPATCH || !channelValue->pdispVal ||
        FAILED(channelValue->pdispVal->QueryInterface(IID_PPV_ARGS(&channel)))) {
        std::fprintf(stderr, "  the control gives no channel\n");
        std::exit(1);
    }
    LONG next = stories + 1;
    for (int round = 0; round < 5; ++round) {
        AddStory(control, next);
        LONG rows = binding.RowCount();
        LONG delivered = 0;
        double start = Now();
        control->FireStoriesAdded(1, *Variant::I4(next).get(), &delivered);
        page.PumpUntil([&] { return binding.RowCount() == rows + 1; }, 600000);
        double added = Now() - start;
        f.added = std::min(f.added, added);
        double made = 0;
        control->LastSnapshotTime(&made);

        // The same snapshot again, for the cost of freeing it and for the floor; the control's
        // own handling is what this round's time leaves.
        Variant snapshot;
        channel->GetStorySnapshot(1, 1, snapshot.put());
        f.floor = std::min(f.floor, Floor(*snapshot.get(), next, rows + 1));
        start = Now();
        snapshot.Clear();
        double freed = Now() - start;
        f.snapshot = std::min(f.snapshot, made);
        f.freed = std::min(f.freed, freed);
        f.own = std::min(f.own, added - made);
        ++next;

        LONG changedId = 1 + round;
        control->SetStoryProperty(1, changedId, Bstr(L"TITLE").get(), Bstr(L"Changed " + std::to_wstring(round)).get(), 1);
        page.ClearEvents();
        start = Now();
        control->FireStoriesChanged(1, *Variant::I4(changedId).get(), 0, &delivered);
        page.PumpUntil([&] {
            for (auto& e : page.Events())
                if (e.name == L"OnStoryEvent") return true;
            return false;
        }, 600000);
        f.changed = std::min(f.changed, Now() - start);
    }
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    kv::CoInitScope com;
    std::vector<LONG> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atol(argv[i]));
    if (sizes.empty()) sizes = {1000, 10000, 100000};
    auto app = kv::test::CreateClient();
    ComPtr<IClientControl> control;
    if (FAILED(app.As(&control))) {
        std::printf("the client stand-in is not registered in this prefix\n");
        return 1;
    }
    std::printf("story control (%s build): ms\n", sizeof(void*) == 8 ? "x64" : "x86");
    std::printf("%8s | %10s %7s %10s %5s | %11s %7s | %9s %9s %9s %9s %6s | %12s %7s\n", "stories", "bind", "growth",
                "table", "x", "added", "growth", "snapshot", "control", "floor", "freeing", "x", "changed", "growth");
    std::vector<std::pair<LONG, Figures>> all;
    for (LONG n : sizes) {
        Figures f = Measure(app.Get(), control.Get(), n);
        char bindGrowth[16] = "", addedGrowth[16] = "", changedGrowth[16] = "";
        if (!all.empty()) {
            const Figures& previous = all.back().second;
            std::snprintf(bindGrowth, sizeof bindGrowth, "%.1f", f.bind / previous.bind);
            std::snprintf(addedGrowth, sizeof addedGrowth, "%.1f", f.added / previous.added);
            std::snprintf(changedGrowth, sizeof changedGrowth, "%.1f", f.changed / previous.changed);
        }
        std::printf("%8ld | %10.1f %7s %10.1f %5.2f | %11.2f %7s | %9.2f %9.2f %9.2f %9.2f %6.1f | %12.2f %7s\n", n,
                    f.bind, bindGrowth, f.table, f.bind / f.table, f.added, addedGrowth, f.snapshot, f.own, f.floor,
                    f.freed, f.own / (f.floor + f.freed), f.changed, changedGrowth);
        std::fflush(stdout);
        all.emplace_back(n, f);
    }
    // The aims: each tenfold step of the first bind costs at most 12 times as much, and the bind
    // of the largest channel at most 3 times the table's own work; the control's share of a
    // notification at most twice its floor.
    char figure[96];
    for (size_t i = 1; i < all.size(); ++i) {
        const auto& [n, f] = all[i];
        const auto& [m, p] = all[i - 1];
        if (n != m * 10) continue;
        std::snprintf(figure, sizeof figure, "first bind, growth %ld to %ld", m, n);
        kv::bench::Summary("notification_bench", figure, f.bind / p.bind, 12);
    }
    if (!all.empty()) {
        const auto& [n, f] = all.back();
        std::snprintf(figure, sizeof figure, "first bind of %ld x table load and read", n);
        kv::bench::Summary("notification_bench", figure, f.bind / f.table, 3);
        std::snprintf(figure, sizeof figure, "new story at %ld, control x floor", n);
        kv::bench::Summary("notification_bench", figure, f.own / (f.floor + f.freed), 2);
    }
    control->Clear();
    return 0;
}
