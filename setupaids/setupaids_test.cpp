// The installer helpers as the installer sees them: exports of SetupAids.dll found by their
// undecorated names, talking to stand-in programs in processes of their own.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/module_path.h"
#include "platform/raii.h"
#include "setupaids/launch.h"
#include "tests/support/child_process.h"
#include "tests/support/dialog_clicker.h"
#include "tests/support/korvane_client.h"

namespace {

using kv::test::ChildProcess;
using kv::test::WinPath;

using Check = int(__cdecl*)();
using Launch = int(__cdecl*)(const char*, const char*);

class SetupAids : public testing::Test {
protected:
    void SetUp() override {
        module_.reset(LoadLibraryA(WinPath(KV_SETUPAIDS_DLL).c_str()));
        ASSERT_TRUE(module_);
        for (auto [slot, name] : {std::pair{&checkBrowsers_, "CheckBrowsersExist"}, {&closeKorvane_, "CloseKorvane"},
                                  {&closeNetscape_, "CloseNetscape"}}) {
            *slot = kv::GetProc<Check>(module_.get(), name);
            ASSERT_TRUE(*slot) << name;
        }
        launch_ = kv::GetProc<Launch>(module_.get(), "LaunchApplication");
        ASSERT_TRUE(launch_);
    }
    kv::UniqueModule module_;
    Check checkBrowsers_ = nullptr;
    Check closeKorvane_ = nullptr;
    Check closeNetscape_ = nullptr;
    Launch launch_ = nullptr;
};

// --- Browser detection -------------------------------------------------------------------------

constexpr char kNetscapeKey[] = "Software\\Netscape\\Netscape Navigator";
constexpr char kIeKey[] = "Software\\Microsoft\\Internet Explorer";
constexpr char kSavedIeKey[] = "Software\\KvKitTest\\SavedInternetExplorer";

bool KeyExists(const char* path) {
    kv::UniqueHkey key;
    return RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// Starts each test with neither browser's key nor a win.ini entry, and puts back afterwards
// whatever the prefix had.
class Browsers {
public:
    Browsers() {
        // A run that was killed between here and the destructor left the key only in the saved
        // copy: put it back before anything else.
        if (KeyExists(kSavedIeKey)) {
            if (!KeyExists(kIeKey)) {
                kv::UniqueHkey ie;
                RegCreateKeyExA(HKEY_CURRENT_USER, kIeKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, ie.put(), nullptr);
                RegCopyTreeA(HKEY_CURRENT_USER, kSavedIeKey, ie.get());
            }
            RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\KvKitTest");
        }
        char value[4096] = {};
        GetProfileStringA("Netscape", "ini", "\x01", value, sizeof value);
        hadIni_ = std::string(value) != "\x01";
        ini_ = value;
        hadNetscape_ = KeyExists(kNetscapeKey);
        hadIe_ = KeyExists(kIeKey);
        if (hadIe_) {
            kv::UniqueHkey saved;
            RegCreateKeyExA(HKEY_CURRENT_USER, kSavedIeKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, saved.put(), nullptr);
            savedIe_ = RegCopyTreeA(HKEY_CURRENT_USER, kIeKey, saved.get()) == ERROR_SUCCESS;
        }
        WriteProfileStringA("Netscape", "ini", nullptr);
        if (hadIe_ && savedIe_) RegDeleteTreeA(HKEY_CURRENT_USER, kIeKey);
    }
    ~Browsers() {
        WriteProfileStringA("Netscape", "ini", hadIni_ ? ini_.c_str() : nullptr);
        if (!hadNetscape_) RegDeleteKeyA(HKEY_CURRENT_USER, kNetscapeKey);
        if (hadIe_ && savedIe_) {
            RegDeleteTreeA(HKEY_CURRENT_USER, kIeKey);
            kv::UniqueHkey ie;
            RegCreateKeyExA(HKEY_CURRENT_USER, kIeKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, ie.put(), nullptr);
            RegCopyTreeA(HKEY_CURRENT_USER, kSavedIeKey, ie.get());
            RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\KvKitTest");
        } else if (!hadIe_) {
            RegDeleteKeyA(HKEY_CURRENT_USER, kIeKey);
        }
    }
    bool Ready() const { return !hadIe_ || savedIe_; }
    static void AddKey(const char* path) {
        kv::UniqueHkey key;
        RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    }

private:
    bool hadIni_ = false, hadNetscape_ = false, hadIe_ = false, savedIe_ = false;
    std::string ini_;
};

TEST_F(SetupAids, BrowserFoundMeansGoOnWithoutAsking) {
    kv::test::TempFolder folder("kvbrowsers");
    std::string ini = folder.Path() + "\\netscape.ini";
    std::ofstream(ini) << "[Main]\n";
    const struct {
        const char* what;
        bool netscapeKey, ieKey;
        std::string iniValue;
    } cases[] = {
        {"Netscape key alone", true, false, ""},
        {"win.ini names an existing Netscape settings file", false, false, ini},
        {"Internet Explorer key alone", false, true, ""},
        {"Netscape key and win.ini naming a missing file", true, false, folder.Path() + "\\missing.ini"},
    };
    for (const auto& c : cases) {
        Browsers browsers;
        ASSERT_TRUE(browsers.Ready());
        if (c.netscapeKey) Browsers::AddKey(kNetscapeKey);
        if (c.ieKey) Browsers::AddKey(kIeKey);
        if (!c.iniValue.empty()) WriteProfileStringA("Netscape", "ini", c.iniValue.c_str());
        kv::test::DialogClicker noOne(L"Warning", IDNO, kv::test::kUntilStopped);
        EXPECT_EQ(0, checkBrowsers_()) << c.what;
        EXPECT_FALSE(noOne.Stop()) << c.what << ": asked the user";
    }
}

TEST_F(SetupAids, NoBrowserAsksWhetherToContinue) {
    kv::test::TempFolder folder("kvnobrowser");
    for (auto [answer, expected] : {std::pair{IDYES, 0}, {IDNO, 1}}) {
        Browsers browsers;
        ASSERT_TRUE(browsers.Ready());
        // A win.ini entry that names no existing file counts for nothing.
        WriteProfileStringA("Netscape", "ini", (folder.Path() + "\\gone.ini").c_str());
        kv::test::DialogClicker user(L"Warning", answer);
        EXPECT_EQ(expected, checkBrowsers_());
        ASSERT_TRUE(user.Wait());
        EXPECT_NE(std::wstring::npos, user.Text().find(L"Neither Netscape Navigator nor Internet Explorer"));
        EXPECT_NE(std::wstring::npos, user.Text().find(L"Do you want to continue the installation?"));
    }
}

// --- Closing Netscape --------------------------------------------------------------------------

TEST_F(SetupAids, CloseNetscapeAsksEveryRunningInstanceToExit) {
    for (int running : {0, 1, 2}) {
        std::vector<ChildProcess> browsers;
        for (int i = 0; i < running; ++i) {
            browsers.emplace_back(WinPath(KV_NETSCAPE_EXE));
            ASSERT_TRUE(browsers.back().Started());
            WaitForInputIdle(browsers.back().Handle(), 10000);
        }
        kv::test::DialogClicker warning(L"Warning", IDOK, kv::test::kUntilStopped);
        EXPECT_EQ(running ? 1 : 0, closeNetscape_()) << running << " running";
        for (auto& browser : browsers) EXPECT_TRUE(browser.WaitExit(10000)) << running << " running";
        EXPECT_FALSE(warning.Stop()) << "nothing running is no reason to warn";
    }
}

// The installer may free the library and load it again, and the second copy need not sit where
// the first did: nothing the first left behind may stand in the second's way.
TEST(SetupAidsReloaded, CloseNetscapeReachesTheBrowserFromACopyLoadedElsewhere) {
    std::string dll = WinPath(KV_SETUPAIDS_DLL);
    kv::UniqueModule first(LoadLibraryA(dll.c_str()));
    ASSERT_TRUE(first);
    EXPECT_EQ(0, kv::GetProc<Check>(first.get(), "CloseNetscape")()) << "nothing running";
    auto* base = reinterpret_cast<BYTE*>(first.get());
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    SIZE_T size = nt->OptionalHeader.SizeOfImage;
    first.reset();
    // Where the first copy was is now taken, so the second is loaded at another address.
    void* taken = VirtualAlloc(base, size, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_EQ(base, taken);
    kv::UniqueModule second(LoadLibraryA(dll.c_str()));
    ASSERT_TRUE(second);
    EXPECT_NE(reinterpret_cast<BYTE*>(second.get()), base);
    ChildProcess browser(WinPath(KV_NETSCAPE_EXE));
    ASSERT_TRUE(browser.Started());
    WaitForInputIdle(browser.Handle(), 10000);
    kv::test::DialogClicker warning(L"Warning", IDOK, 1500);
    EXPECT_EQ(1, kv::GetProc<Check>(second.get(), "CloseNetscape")());
    EXPECT_TRUE(browser.WaitExit(10000));
    EXPECT_FALSE(warning.Wait());
    second.reset();
    VirtualFree(taken, 0, MEM_RELEASE);
}

// --- Starting a program ------------------------------------------------------------------------

TEST(LaunchCommandLine, ArgumentsGlueOnAndBlanksInTheProgramAreQuoted) {
    using kv::setupaids::LaunchCommandLine;
    EXPECT_EQ("C:\\PROGRA~1\\KORVANE\\SETUP.EXE /s", LaunchCommandLine("C:\\PROGRA~1\\KORVANE\\SETUP.EXE", " /s"));
    EXPECT_EQ("C:\\KV\\SETUP.EXE/s", LaunchCommandLine("C:\\KV\\SETUP.EXE", "/s"));
    EXPECT_EQ("C:\\KV\\SETUP.EXE", LaunchCommandLine("C:\\KV\\SETUP.EXE", ""));
    // Without quotes "C:\Program.exe" would be started if it existed.
    EXPECT_EQ("\"C:\\Program Files\\Korvane\\setup.exe\" /s",
              LaunchCommandLine("C:\\Program Files\\Korvane\\setup.exe", " /s"));
    std::string longArguments = " " + std::string(1000, 'a');
    EXPECT_EQ("C:\\KV\\SETUP.EXE" + longArguments, LaunchCommandLine("C:\\KV\\SETUP.EXE", longArguments));
}

struct ProbeRun {
    DWORD processId = 0;
    std::string commandLine;
};

class ProbeOutput {
public:
    ProbeOutput() : folder_("kvlaunch") {
        path_ = folder_.Path() + "\\probe.txt";
        SetEnvironmentVariableA("KV_PROBE_OUT", path_.c_str());
    }
    ~ProbeOutput() { SetEnvironmentVariableA("KV_PROBE_OUT", nullptr); }
    // What the probe wrote; a probe still starting on a busy machine is given time to write it.
    ProbeRun Read() const {
        ProbeRun run;
        for (DWORD start = GetTickCount(); GetTickCount() - start < 20000; Sleep(50)) {
            std::ifstream in(path_, std::ios::binary);
            run = {};
            in >> run.processId;
            if (in.get() != '\n') continue;
            std::ostringstream rest;
            rest << in.rdbuf();
            run.commandLine = rest.str();
            if (run.processId) break;
        }
        return run;
    }

private:
    kv::test::TempFolder folder_;
    std::string path_;
};

std::string ShortPath(const std::string& path) {
    char buffer[MAX_PATH * 2] = {};
    GetShortPathNameA(path.c_str(), buffer, sizeof buffer);
    return buffer;
}

// A window of the installer's thread that counts the messages posted to it.
class CountingWindow {
public:
    CountingWindow() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "KvKitLaunchTestWindow";
        RegisterClassA(&wc);
        window_.reset(CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr));
        count_ = 0;
    }
    HWND get() const { return window_.get(); }
    static int Count() { return count_; }

private:
    static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
        if (m == WM_APP) ++count_;
        return DefWindowProcA(w, m, wp, lp);
    }
    kv::UniqueHwnd window_;
    static inline std::atomic<int> count_{0};
};

TEST_F(SetupAids, LaunchRunsTheProgramToItsEndWhileMessagesFlow) {
    ProbeOutput out;
    CountingWindow window;
    ASSERT_TRUE(window.get());
    std::string probe = WinPath(KV_LAUNCH_PROBE_EXE);
    std::thread poster([hwnd = window.get()] {
        for (int i = 0; i < 5; ++i) {
            Sleep(100);
            PostMessageA(hwnd, WM_APP, 0, 0);
        }
    });
    DWORD start = GetTickCount();
    int result = launch_(probe.c_str(), " /sleep:1500 \"two words\"");
    DWORD took = GetTickCount() - start;
    int seenDuringLaunch = CountingWindow::Count();
    poster.join();
    EXPECT_EQ(1, result);
    EXPECT_GE(took, 1400u);
    EXPECT_EQ(5, seenDuringLaunch);
    ProbeRun run = out.Read();
    EXPECT_EQ(ShortPath(probe) + " /sleep:1500 \"two words\"", run.commandLine);
}

TEST_F(SetupAids, LaunchGluesTheArgumentTextAsGiven) {
    ProbeOutput out;
    std::string probe = WinPath(KV_LAUNCH_PROBE_EXE);
    // No blank is put in: a tab the caller gives is all that separates the argument.
    EXPECT_EQ(1, launch_(probe.c_str(), "\t/x:1"));
    EXPECT_EQ(ShortPath(probe) + "\t/x:1", out.Read().commandLine);
}

TEST_F(SetupAids, QuitMessageEndsTheWait) {
    ProbeOutput out;
    std::string probe = WinPath(KV_LAUNCH_PROBE_EXE);
    DWORD thread = GetCurrentThreadId();
    std::thread quitter([thread] {
        Sleep(500);
        PostThreadMessageA(thread, WM_QUIT, 0, 0);
    });
    DWORD start = GetTickCount();
    EXPECT_EQ(1, launch_(probe.c_str(), " /sleep:60000"));
    EXPECT_LT(GetTickCount() - start, 20000u);
    quitter.join();
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit message is consumed";
    ProbeRun run = out.Read();
    ASSERT_NE(0u, run.processId);
    kv::UniqueHandleObj left(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, run.processId));
    ASSERT_TRUE(left) << "the program still runs";
    TerminateProcess(left.get(), 0);
    WaitForSingleObject(left.get(), 5000);
}

// Takes the process's free address space for its lifetime, all but one spare region of
// `spare` bytes and holes smaller than 64 KB: small allocations still find room, a larger one
// fails as it would on a machine out of memory.
class AddressSpaceTaken {
public:
    explicit AddressSpaceTaken(SIZE_T spare) {
        void* kept = nullptr;
        for (SIZE_T size = SIZE_T(1) << (sizeof(void*) == 8 ? 46 : 30); size >= 0x10000; size /= 2) {
            while (void* p = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS)) {
                if (size == spare && !kept) kept = p;
                else taken_.push_back(p);
            }
        }
        if (kept) VirtualFree(kept, 0, MEM_RELEASE);
    }
    ~AddressSpaceTaken() {
        for (void* p : taken_) VirtualFree(p, 0, MEM_RELEASE);
    }

private:
    std::vector<void*> taken_;
};

TEST_F(SetupAids, ExportsAnswerTheirFailureWhenMemoryRunsOut) {
    // Running out of memory is brought about by taking the address space; a 64-bit process has
    // far too much of it (and Wine itself fails first). The boundary code is the same on both.
    if (sizeof(void*) == 8) GTEST_SKIP() << "the address space of a 64-bit process cannot be used up";
    std::string probe = WinPath(KV_LAUNCH_PROBE_EXE);
    std::string arguments(32 << 20, 'a');
    arguments[0] = ' ';
    int answer = -1;
    {
        AddressSpaceTaken full(8 << 20);
        answer = launch_(probe.c_str(), arguments.c_str());
    }
    EXPECT_EQ(0, answer) << "a command line that cannot be built starts nothing";
}

TEST_F(SetupAids, LaunchOfNothingStartsNothing) {
    kv::test::TempFolder folder("kvlaunchnone");
    EXPECT_EQ(0, launch_((folder.Path() + "\\missing.exe").c_str(), " /s"));
    EXPECT_EQ(0, launch_("", ""));
    // A path that exists but is no program.
    EXPECT_EQ(0, launch_(folder.Path().c_str(), ""));
}

}  // namespace
