// Times the uninstaller's DeleteFolderTree on a tree of 10,000 files of 10 KB (100 MB) in 100
// folders, against the bare platform walk (FindFirstFile, DeleteFile, RemoveDirectory, no checks)
// on an identical tree, alternated, median of 3. Figures are milliseconds.
//
//   uninstall_bench.exe              both, in the prefix's temporary folder
//   uninstall_bench.exe make DIR     only builds the tree at DIR (for a comparison with rm -rf)
//   uninstall_bench.exe delete DIR   only deletes DIR with DeleteFolderTree and prints the time
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_summary.h"
#include "bench/file_tree_bench.h"
#include "platform/raii.h"
#include "platform/text.h"
#include "uninstall/folder_tree.h"

namespace {

using kv::bench::MakeTree;
using kv::bench::Median;
using kv::bench::Now;

// The floor: the platform's own walk, with nothing checked.
void BareDelete(const std::wstring& dir) {
    WIN32_FIND_DATAW found;
    kv::UniqueFindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &found));
    if (find) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) BareDelete(dir + L"\\" + name);
            else DeleteFileW((dir + L"\\" + name).c_str());
        } while (FindNextFileW(find.get(), &found));
    }
    find.reset();
    RemoveDirectoryW(dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3) {
        std::wstring dir = kv::ToWide(argv[2]);
        if (std::string(argv[1]) == "make") {
            MakeTree(dir);
            return 0;
        }
        double start = Now();
        bool gone = kv::DeleteFolderTree(dir);
        std::printf("%.1f\n", Now() - start);
        return gone ? 0 : 1;
    }
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring ours = std::wstring(temp) + L"kvbench-ours", floor = std::wstring(temp) + L"kvbench-floor";
    std::vector<double> oursMs, floorMs;
    for (int round = 0; round < kv::bench::kRounds; ++round) {
        MakeTree(ours);
        MakeTree(floor);
        // Alternated, so that neither side always meets a warm cache.
        double start = Now();
        if (round % 2 == 0) {
            kv::DeleteFolderTree(ours);
            oursMs.push_back(Now() - start);
            start = Now();
            BareDelete(floor);
            floorMs.push_back(Now() - start);
        } else {
            BareDelete(floor);
            floorMs.push_back(Now() - start);
            start = Now();
            kv::DeleteFolderTree(ours);
            oursMs.push_back(Now() - start);
        }
    }
    double o = Median(oursMs), f = Median(floorMs);
    std::printf("uninstall walk (%s build): 10,000 files of 10 KB in 100 folders; median of 3, ms\n",
                sizeof(void*) == 8 ? "x64" : "x86");
    std::printf("  DeleteFolderTree %8.1f\n  bare walk        %8.1f\n  x floor          %8.2f\n", o, f, o / f);
    kv::bench::Summary("uninstall_bench", "DeleteFolderTree x bare walk", o / f, 2);
    return 0;
}
