// Times the upgrade's update copy (CopyDirectory of "NewVersion" into "program", subfolders
// merged) of a new version of 10,000 files of 10 KB (100 MB) in 100 folders, against a plain
// copy of the same tree with CopyFileW (the floor), alternated, median of 3. Figures are ms.
//
//   upgrade_bench.exe               both, on a client installation in the prefix's temporary folder
//   upgrade_bench.exe make DIR      only builds the new version's tree at DIR (for cp -r)
//   upgrade_bench.exe update ROOT   only updates ROOT\program from ROOT\NewVersion, prints the time
//
// The client's App Paths entry is pointed at the installation for the run and put back after.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_summary.h"
#include "platform/file_tree.h"
#include "bench/file_tree_bench.h"
#include "platform/raii.h"
#include "platform/text.h"
#include "uninstall/upgrader.h"

namespace {

using kv::bench::MakeTree;
using kv::bench::Median;
using kv::bench::Now;

constexpr wchar_t kAppPaths[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvane.exe";

// The floor: the platform's own copy of each file, walking the tree with nothing checked.
void PlainCopy(const std::wstring& from, const std::wstring& to) {
    CreateDirectoryW(to.c_str(), nullptr);
    WIN32_FIND_DATAW found;
    kv::UniqueFindHandle find(FindFirstFileW((from + L"\\*").c_str(), &found));
    if (!find) return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) PlainCopy(from + L"\\" + name, to + L"\\" + name);
        else CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE);
    } while (FindNextFileW(find.get(), &found));
}

// Points the client's App Paths entry at `program` while it lives.
class Installation {
public:
    explicit Installation(const std::wstring& root) {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAppPaths, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key_.put(), nullptr);
        wchar_t old[4096] = {};
        DWORD size = sizeof old;
        had_ = RegQueryValueExW(key_.get(), L"Path", nullptr, nullptr, reinterpret_cast<BYTE*>(old), &size) ==
               ERROR_SUCCESS;
        old_ = old;
        Set(root + L"\\program");
        kv::CreateDirectoryTree(root + L"\\data");
    }
    ~Installation() {
        if (had_) Set(old_);
        else RegDeleteValueW(key_.get(), L"Path");
    }

private:
    void Set(const std::wstring& path) {
        RegSetValueExW(key_.get(), L"Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    }
    kv::UniqueHkey key_;
    bool had_ = false;
    std::wstring old_;
};

double Update(const std::wstring& root) {
    Installation installation(root);
    kv::CUpgrader upgrader(GetModuleHandleW(nullptr));
    DWORD context = 0;
    double start = Now();
    bool ok = upgrader.CopyDirectory(&context, "NewVersion", "program",
                                     kv::CUpgrader::kCopySubfolders | kv::CUpgrader::kKeepDestination);
    double ms = Now() - start;
    upgrader.Log();
    return ok ? ms : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3) {
        std::wstring dir = kv::ToWide(argv[2]);
        if (std::string(argv[1]) == "make") {
            MakeTree(dir);
            return 0;
        }
        double ms = Update(dir);
        std::printf("%.1f\n", ms);
        return ms < 0 ? 1 : 0;
    }
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"kvbench-upgrade", plain = std::wstring(temp) + L"kvbench-plain";
    kv::DeleteTree(root);
    MakeTree(root + L"\\NewVersion");
    std::vector<double> oursMs, floorMs;
    for (int round = 0; round < kv::bench::kRounds; ++round) {
        kv::DeleteTree(root + L"\\program");
        kv::DeleteTree(plain);
        kv::CreateDirectoryTree(root + L"\\program");
        auto floor = [&] {
            double start = Now();
            PlainCopy(root + L"\\NewVersion", plain);
            floorMs.push_back(Now() - start);
        };
        // Alternated, so that neither side always meets a warm cache.
        if (round % 2) floor();
        oursMs.push_back(Update(root));
        if (round % 2 == 0) floor();
    }
    kv::DeleteTree(root);
    kv::DeleteTree(plain);
    double o = Median(oursMs), f = Median(floorMs);
    std::printf("upgrade update copy (%s build): 10,000 files of 10 KB in 100 folders; median of 3, ms\n",
                sizeof(void*) == 8 ? "x64" : "x86");
    std::printf("  CopyDirectory    %8.1f\n  plain copy       %8.1f\n  x floor          %8.2f\n", o, f, o / f);
    kv::bench::Summary("upgrade_bench", "CopyDirectory x plain copy", o / f, 2);
    return 0;
}
