// What the two file-tree benchmarks share: a clock, the median of a few runs, and the tree they
// work on (10,000 files of 10 KB in 100 folders).
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/file_tree.h"
#include "platform/raii.h"

namespace kv::bench {

inline double Now() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

// Rounds of each comparison: three keep ./kvkit bench within its ten minutes on two cores (a
// round of these trees takes half a minute under Wine).
constexpr int kRounds = 3;

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// 100 folders of 100 files of 10 KB below `root` (made with the folders above it).
inline void MakeTree(const std::wstring& root) {
    static const std::string data(10 * 1024, 'k');
    CreateDirectoryTree(root);
    for (int d = 0; d < 100; ++d) {
        std::wstring dir = root + L"\\folder" + std::to_wstring(d);
        CreateDirectoryW(dir.c_str(), nullptr);
        for (int f = 0; f < 100; ++f) {
            UniqueHandleObj file(CreateFileW((dir + L"\\file" + std::to_wstring(f) + L".dat").c_str(), GENERIC_WRITE,
                                             0, nullptr, CREATE_ALWAYS, 0, nullptr));
            DWORD written = 0;
            WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        }
    }
}

}  // namespace kv::bench
