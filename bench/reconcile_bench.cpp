// Times the extension's pass with nothing to change (the Channels pass and the client-channel
// pass of start-up) over N recorded channels, each published and recorded, against a floor over
// the same data in the same run: one walk of the Channels list in the registry, one walk of the
// channel manager's shortcuts and one walk of the client's channels reading each name. N = 500
// (aim: at most 3 times the floor) and 5,000 (growth stays linear). Median of 5 runs each.
// Needs the client and channel manager stand-ins registered (the test prefix):
//   build/<arch>/kvwine build/<arch>/bench/reconcile_bench.exe
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_summary.h"
#include "client_control.h"
#include "framework/client_boundary.h"
#include "kvcdf/reconciler.h"
#include "platform/raii.h"

namespace {

using kv::Bstr;
using kv::ComPtr;

double Now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

template <class F>
double Median(F&& run) {
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        double start = Now();
        run();
        times.push_back(Now() - start);
    }
    std::sort(times.begin(), times.end());
    return times[2];
}

std::wstring Name(int i) { return L"Channel " + std::to_wstring(i); }

// N channels in the client, each recorded in the Channels list and published.
void Prepare(IClientControl* client, int n) {
    client->Clear();
    client->SetClientFolder(Bstr(L"C:\\kvbench-reconcile\\data").get());
    RegDeleteTreeW(HKEY_CURRENT_USER, kv::cdf::kChannelsKey);
    kv::UniqueHkey key;
    RegCreateKeyW(HKEY_CURRENT_USER, kv::cdf::kChannelsKey, key.put());
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane\\Global", L"ChnDirUpdateChannel", REG_SZ, L"GUIDE",
                    12);
    kv::cdf::ChannelFolder folder([] { return S_OK; });
    std::vector<std::wstring> stale;
    folder.Enumerate([&](const std::wstring& title, const std::wstring&, const std::wstring&) {
        stale.push_back(title);
        return true;
    });
    for (const auto& title : stale) folder.Remove(title);
    kv::cdf::RegistryValueList channels = kv::cdf::OpenChannelsList();
    for (int i = 1; i <= n; ++i) {
        std::wstring name = Name(i), local = L"C:\\kvbench-reconcile\\" + std::to_wstring(i);
        client->PutChannel(i, Bstr(name).get(), Bstr(local).get(), 0, 0, 0, Bstr(L"").get());
        VARIANT title;
        title.vt = VT_BSTR;
        title.bstrVal = SysAllocString(name.c_str());
        client->SetChannelProperty(i, 1, title);
        VariantClear(&title);
        channels.Set(name, static_cast<DWORD>(i));
        folder.Add(name, L"file://" + local + L"\\default.cdf");
    }
}

struct Figures {
    double pass, floor;
};

Figures Measure(IClientControl* client, int n) {
    Prepare(client, n);
    kv::cdf::ShellFiles shell;
    kv::cdf::Reconciler reconciler(GetModuleHandleW(nullptr), shell, [] { return S_OK; });
    size_t seen = 0;
    Figures f{};
    f.pass = Median([&] {
        reconciler.Folder().ClearCache();
        reconciler.ChannelsPass();
        reconciler.ClientChannelPass();
    });
    kv::cdf::ChannelFolder folder([] { return S_OK; });
    kv::cdf::ClientChannelSource source(GetModuleHandleW(nullptr));
    f.floor = Median([&] {
        kv::cdf::OpenChannelsList().Enumerate([&](const std::wstring&, DWORD) { return ++seen, true; });
        folder.Enumerate([&](const std::wstring&, const std::wstring&, const std::wstring&) { return ++seen, true; });
        source.Enumerate([&](IClientChannel2* channel) {
            BSTR name = nullptr;
            channel->GetName(&name);
            SysFreeString(name);
            return ++seen, true;
        });
    });
    if (seen != static_cast<size_t>(n) * 3 * 5) std::printf("  (the floor saw %zu items, not %d)\n", seen, n * 15);
    return f;
}

}  // namespace

int main() try {
    kv::CoInitScope com;
    ComPtr<IClientControl> client;
    kv::ThrowIfFailed(kv::CreateClientObject(L"Korvane", IID_IClientControl, reinterpret_cast<void**>(client.GetAddressOf())));
    std::printf("A pass with nothing to change against its floor (median of 5, ms)\n");
    Figures small = Measure(client.Get(), 500);
    std::printf("  500 channels:   pass %8.1f   floor %8.1f   x floor %.2f (aim: at most 3)\n", small.pass, small.floor,
                small.pass / small.floor);
    Figures large = Measure(client.Get(), 5000);
    std::printf("  5,000 channels: pass %8.1f   floor %8.1f   x floor %.2f\n", large.pass, large.floor,
                large.pass / large.floor);
    std::printf("  growth from 500 to 5,000 channels: pass x%.1f, floor x%.1f (linear: about 10)\n",
                large.pass / small.pass, large.floor / small.floor);
    kv::bench::Summary("reconcile_bench", "500 channels x floor", small.pass / small.floor, 3);
    kv::bench::Summary("reconcile_bench", "5,000 channels x floor", large.pass / large.floor, 3);
    Prepare(client.Get(), 0);
    client->Clear();
    return 0;
} catch (const kv::HResultError& e) {
    std::printf("reconcile_bench: failed with 0x%08lX\n", static_cast<unsigned long>(e.Code()));
    return 1;
}
