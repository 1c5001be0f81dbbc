// Times the expansion of a 100 MB channel template with one placeholder per 100 bytes against a
// plain copy of the same bytes (read the whole file, write it in 1 MB pieces), in the same run
// and the same folder. Each is run three times; the best time counts. The aim: the expansion
// takes at most twice the copy.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "bench/bench_summary.h"
#include "kvcdf/template_expander.h"
#include "platform/raii.h"

namespace {

constexpr size_t kSize = 100u << 20;

double Now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

void WriteAll(const std::wstring& path, const std::string& bytes) {
    kv::UniqueHandleObj f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!f) kv::ThrowLastError();
    for (size_t at = 0; at < bytes.size();) {
        DWORD n = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1u << 20)), written = 0;
        if (!WriteFile(f.get(), bytes.data() + at, n, &written, nullptr) || written != n) kv::ThrowLastError();
        at += n;
    }
}

std::string ReadAll(const std::wstring& path) {
    kv::UniqueHandleObj f(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!f) kv::ThrowLastError();
    LARGE_INTEGER size{};
    GetFileSizeEx(f.get(), &size);
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    for (size_t at = 0; at < bytes.size();) {
        DWORD n = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 16u << 20)), read = 0;
        if (!ReadFile(f.get(), bytes.data() + at, n, &read, nullptr) || read == 0) kv::ThrowLastError();
        at += read;
    }
    return bytes;
}

template <class F>
double Best(F&& run) {
    double best = 1e300;
    for (int i = 0; i < 3; ++i) {
        double start = Now();
        run();
        best = std::min(best, Now() - start);
    }
    return best;
}

}  // namespace

int main() try {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring source = std::wstring(temp) + L"template_bench.cdf";
    std::wstring copy = std::wstring(temp) + L"template_bench_copy.cdf";
    std::wstring expanded = std::wstring(temp) + L"template_bench_out.cdf";

    // 93 bytes of text and a 7-byte placeholder: one placeholder per 100 bytes.
    std::string text;
    text.reserve(kSize);
    const std::string filler = "<ITEM HREF=\"story.htm\"><TITLE>A story of the day</TITLE></ITEM> <!-- text text text text -->";
    while (text.size() + 100 <= kSize) text += filler.substr(0, 93) + "%TITLE%";
    WriteAll(source, text);
    text.clear();
    text.shrink_to_fit();

    auto values = std::make_shared<kv::cdf::TemplateValues>();
    values->Set(L"TITLE", L"Korvane");
    double copyMs = Best([&] { WriteAll(copy, ReadAll(source)); });
    double expandMs = Best([&] { kv::cdf::TemplateExpander(values).Expand(expanded, source); });

    std::printf("template_bench: %u MB, one placeholder per 100 bytes (best of 3)\n", static_cast<unsigned>(kSize >> 20));
    std::printf("  plain copy   %8.1f ms\n", copyMs);
    std::printf("  expansion    %8.1f ms   %.2fx the copy (aim: at most 2x)\n", expandMs, expandMs / copyMs);
    kv::bench::Summary("template_bench", "expansion x plain copy", expandMs / copyMs, 2);
    DeleteFileW(source.c_str());
    DeleteFileW(copy.c_str());
    DeleteFileW(expanded.c_str());
    return 0;
} catch (const kv::HResultError& e) {
    std::printf("template_bench failed: 0x%08lX\n", static_cast<unsigned long>(e.Code()));
    return 1;
}
