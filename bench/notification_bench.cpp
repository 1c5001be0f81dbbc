// Times the story control's answer to one client notification on channels of 1,000, 10,000 and
// 100,000 stories of 20 properties each: from the client's call of the sink to the last
// notification the page's data binding receives. A new story (OnStoriesAdded) ends with the
// binding's insertedRows; a changed story (OnStoriesChanged) with the page's OnStoryEvent. Both
// read one fresh snapshot of the channel and make one pass over the table, so the cost should
// grow linearly with the channel. Figures are milliseconds, the best of five; "growth" is the
// time divided by that of ten times fewer stories.
//
// Needs KvDC.dll and the client stand-in registered: run it in the test prefix after a test run,
//   build/<arch>/kvwine build/<arch>/bench/notification_bench.exe [sizes...]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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
    double added = 1e300, changed = 1e300;
};

Figures Measure(IClientControl* control, LONG stories) {
    control->Clear();
    control->PutChannel(1, Bstr(L"Bench").get(), Bstr(L"C:\\Channels\\Bench").get(), 0, 0, 0, Bstr(L"bench").get());
    double t0 = Now();
    for (LONG id = 1; id <= stories; ++id) AddStory(control, id);
    std::fprintf(stderr, "  built %ld stories in %.0f ms\n", stories, Now() - t0);
    t0 = Now();

    kv::browser::PageHost page(L"C:\\Channels\\Bench\\index.htm");
    page.Create(L"Korvane.Channel", {kv::browser::TextParam(L"Sort", L"-POSTED_TIME")});
    auto& binding = page.Bind(OSPFORMAT_HTML);
    page.PumpUntilIdle();
    std::fprintf(stderr, "  page bound in %.0f ms\n", Now() - t0);
    Figures f;
    LONG next = stories + 1;
    for (int round = 0; round < 5; ++round) {
        AddStory(control, next);
        LONG rows = binding.RowCount();
        LONG delivered = 0;
        double start = Now();
        control->FireStoriesAdded(1, *Variant::I4(next).get(), &delivered);
        page.PumpUntil([&] { return binding.RowCount() == rows + 1; }, 600000);
        f.added = std::min(f.added, Now() - start);
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
    std::printf("%10s %14s %8s %14s %8s\n", "stories", "added (ms)", "growth", "changed (ms)", "growth");
    Figures previous;
    bool first = true;
    for (LONG n : sizes) {
        Figures f = Measure(control.Get(), n);
        if (first)
            std::printf("%10ld %14.2f %8s %14.2f %8s\n", n, f.added, "", f.changed, "");
        else
            std::printf("%10ld %14.2f %8.1f %14.2f %8.1f\n", n, f.added, f.added / previous.added, f.changed,
                        f.changed / previous.changed);
        std::fflush(stdout);
        previous = f;
        first = false;
    }
    control->Clear();
    return 0;
}
