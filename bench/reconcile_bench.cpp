// Times the extension's pass with nothing to change (the Channels pass and the client-channel
// pass of start-up) over N recorded channels, each published and recorded, against a floor over
// the same data in the same run: one walk of the Channels list in the registry, one walk of the
// channel manager's shortcuts and one walk of the client's channels reading each name. N = 500
// (aim: at most 3 times the floor) and 5,000 (growth stays linear). Median of 5 runs each.
// Then the extension's shutdown over 500 channels right after a burst of 200 client events, once
// while it starts and once while it works, against the shutdown of the same extension when idle
// (the floor); every shutdown must also stay under 2 s.
// Needs the client and channel manager stand-ins and KvCDF registered (the test prefix):
//   build/<arch>/kvwine build/<arch>/bench/reconcile_bench.exe
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_summary.h"
#include "client_control.h"
#include "framework/client_boundary.h"
#include "kvcdf.h"
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

bool PumpUntil(const std::function<bool()>& done, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
        if (done()) return true;
        if (GetTickCount() - start > ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

bool Unloadable() {
    auto f = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"KvCDF.dll"), "DllCanUnloadNow")));
    return !f || f() == S_OK;
}

// How long the client waits from OnShutdown until the extension is gone (worker ended), in ms.
double Shutdown(ComPtr<IKorvaneCDF>& cdf) {
    double start = Now();
    cdf->OnShutdown();
    cdf.Reset();
    PumpUntil(Unloadable, 20000);
    return Now() - start;
}

// The extension started over the prepared channels; `settle`: once it has handled a resync,
// which comes after its start-up and its first folder check.
ComPtr<IKorvaneCDF> StartExtension(IClientControl* client, bool settle) {
    ComPtr<IKorvaneCDF> cdf;
    kv::ThrowIfFailed(CoCreateInstance(CLSID_KorvaneCDF, nullptr, CLSCTX_INPROC_SERVER, IID_IKorvaneCDF,
                                       reinterpret_cast<void**>(cdf.GetAddressOf())));
    kv::ThrowIfFailed(cdf->Initialize());
    if (settle) {
        const wchar_t* probe = L"C:\\kvbench-reconcile\\1\\default.cdf";
        DeleteFileW(probe);
        LONG delivered = 0;
        client->FireChannelResync(1, 0, &delivered);
        if (!PumpUntil([&] { return GetFileAttributesW(probe) != INVALID_FILE_ATTRIBUTES; }, 120000))
            std::printf("  (the extension did not settle)\n");
    }
    return cdf;
}

void Burst(IClientControl* client, int events) {
    LONG delivered = 0;
    for (int i = 0; i < events; ++i) client->FireChannelResync(1 + (i * 7) % 500, 0, &delivered);
}

struct ShutdownFigures {
    double idle, starting, working;
};

ShutdownFigures MeasureShutdown(IClientControl* client) {
    Prepare(client, 500);
    HANDLE file = CreateFileW(L"C:\\kvbench-reconcile\\CDF\\Default\\default.cdf", GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        CreateDirectoryW(L"C:\\kvbench-reconcile\\CDF", nullptr);
        CreateDirectoryW(L"C:\\kvbench-reconcile\\CDF\\Default", nullptr);
        file = CreateFileW(L"C:\\kvbench-reconcile\\CDF\\Default\\default.cdf", GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, 0, nullptr);
    }
    const char text[] = "<CHANNEL BASE=\"%BASE_URL%\"><TITLE>%TITLE%</TITLE></CHANNEL>";
    DWORD written = 0;
    WriteFile(file, text, sizeof text - 1, &written, nullptr);
    CloseHandle(file);
    std::vector<double> idle, starting, working;
    for (int i = 0; i < 3; ++i) {
        auto cdf = StartExtension(client, true);
        idle.push_back(Shutdown(cdf));
        cdf = StartExtension(client, false);
        Burst(client, 200);
        starting.push_back(Shutdown(cdf));
        cdf = StartExtension(client, true);
        Burst(client, 200);
        PumpUntil([] { return false; }, 50);  // the worker is in the middle of its work
        working.push_back(Shutdown(cdf));
    }
    for (auto* v : {&idle, &starting, &working}) std::sort(v->begin(), v->end());
    return {idle[1], starting[1], working[1]};
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

    std::printf("The extension's shutdown after a burst of 200 events, 500 channels (median of 3, ms)\n");
    ShutdownFigures down = MeasureShutdown(client.Get());
    std::printf("  idle (floor) %8.1f   while starting %8.1f   while working %8.1f   (aim: under 2,000)\n", down.idle,
                down.starting, down.working);
    std::printf("  x floor: while starting %.2f, while working %.2f\n", down.starting / down.idle,
                down.working / down.idle);
    kv::bench::Summary("reconcile_bench", "shutdown while starting x floor", down.starting / down.idle, 3);
    kv::bench::Summary("reconcile_bench", "shutdown while working x floor", down.working / down.idle, 3);
    Prepare(client.Get(), 0);
    client->Clear();
    return 0;
} catch (const kv::HResultError& e) {
    std::printf("reconcile_bench: failed with 0x%08lX\n", static_cast<unsigned long>(e.Code()));
    return 1;
}
