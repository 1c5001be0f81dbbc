// The uninstaller's walks, registry clean-up and the program itself, driven through its dialogs.
// Runs in a sandbox prefix: no Z: drive, the current directory C:\kvtest beside this program,
// uninstall.exe, kvsetup.exe and KvDC.dll.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/raii.h"
#include "platform/text.h"
#include "tests/support/child_process.h"
#include "tests/support/dialog_clicker.h"
#include "uninstall/folder_tree.h"
#include "uninstall/registry_cleanup.h"
#include "uninstall/sandbox_check.h"
#include "uninstall/uninstall_res.h"
#include "uninstall/uninstall_run.h"

namespace {

using kv::test::ChildProcess;

const auto* const kSealed = ::testing::AddGlobalTestEnvironment(new kv::test::SealedSandbox);

std::wstring Here() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(0, p.rfind(L'\\'));
}

std::wstring ShellFolder(int id) {
    wchar_t path[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, id | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

void Write(const std::wstring& path, const std::string& text = "x") {
    std::ofstream(path.c_str(), std::ios::binary) << text;
}

bool Exists(const std::wstring& path) {
    wchar_t full[4096];
    DWORD n = GetFullPathNameW(path.c_str(), 4096, full, nullptr);
    return n && n < 4096 && GetFileAttributesW((L"\\\\?\\" + std::wstring(full)).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeDirs(const std::wstring& path) { SHCreateDirectoryExW(nullptr, path.c_str(), nullptr); }

void SetText(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    kv::UniqueHkey k;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

bool KeyExists(HKEY root, const std::wstring& key) {
    kv::UniqueHkey k;
    return RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, k.put()) == ERROR_SUCCESS;
}

// --- Folders ----------------------------------------------------------------------------------

TEST(FolderTree, RefusesFoldersWhoseLossReachesBeyondTheClient) {
    const std::wstring windows = ShellFolder(CSIDL_WINDOWS), profile = ShellFolder(CSIDL_PROFILE);
    const std::wstring programFiles = ShellFolder(CSIDL_PROGRAM_FILES);
    const std::vector<std::wstring> canaries = {L"C:\\kvcanary.txt", windows + L"\\kvcanary.txt",
                                                profile + L"\\kvcanary.txt", programFiles + L"\\kvcanary.txt",
                                                ShellFolder(CSIDL_DESKTOPDIRECTORY) + L"\\kvcanary.txt"};
    for (const auto& c : canaries) Write(c);
    wchar_t shortProgramFiles[MAX_PATH] = {};
    GetShortPathNameW(programFiles.c_str(), shortProgramFiles, MAX_PATH);
    const std::wstring hostile[] = {
        L"", L"kvtest", L"..", L"\\", L"C:", L"C:\\", L"c:/", L"C:\\windows\\system32\\..", L"C:/WINDOWS/",
        windows + L"\\system32", programFiles, shortProgramFiles, programFiles + L"\\..\\users",
        profile, ShellFolder(CSIDL_DESKTOPDIRECTORY), ShellFolder(CSIDL_PROGRAMS) + L"\\", L"C:\\kvtest\\*",
        L"C:\\kv?est",
    };
    for (const auto& path : hostile) {
        EXPECT_TRUE(kv::IsProtectedFolder(path)) << kv::ToAnsi(path);
        EXPECT_FALSE(kv::DeleteFolderTree(path)) << kv::ToAnsi(path);
    }
    for (const auto& c : canaries) {
        EXPECT_TRUE(Exists(c)) << kv::ToAnsi(c);
        DeleteFileW(c.c_str());
    }
    EXPECT_FALSE(kv::IsProtectedFolder(programFiles + L"\\Korvane\\Korvane\\"));
    EXPECT_TRUE(Exists(L"C:\\kvtest\\uninstall.exe"));
}

TEST(FolderTree, DeletesEveryKindOfEntryButNeverEntersALink) {
    const std::wstring root = L"C:\\kvtree";
    MakeDirs(root + L"\\a\\b\\c");
    Write(root + L"\\.hidden");
    Write(root + L"\\a\\readonly.txt");
    SetFileAttributesW((root + L"\\a\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((root + L"\\a\\b").c_str(), FILE_ATTRIBUTE_READONLY);
    Write(root + L"\\a\\b\\c\\system.txt");
    SetFileAttributesW((root + L"\\a\\b\\c\\system.txt").c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN);
    // A chain of folders deeper than 260 characters.
    std::wstring deep = L"\\\\?\\" + root;
    for (int i = 0; i < 12; ++i) {
        deep += L"\\" + std::wstring(40, static_cast<wchar_t>(L'a' + i));
        CreateDirectoryW(deep.c_str(), nullptr);
    }
    Write(deep + L"\\deep.txt");
    ASSERT_TRUE(Exists(deep.substr(4) + L"\\deep.txt"));
    ASSERT_TRUE(kv::test::IsLink(root + L"\\a\\link"));
    ASSERT_TRUE(kv::test::IsLink(root + L"\\a\\b\\link.txt"));

    {
        // A file held open stays; everything else goes and the walk completes.
        kv::UniqueHandleObj held(CreateFileW((root + L"\\a\\held.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, 0, nullptr));
        ASSERT_NE(INVALID_HANDLE_VALUE, held.get());
        EXPECT_FALSE(kv::DeleteFolderTree(root));
        EXPECT_FALSE(Exists(root + L"\\a\\b\\c"));
        EXPECT_FALSE(Exists(root + L"\\.hidden"));
        EXPECT_FALSE(Exists(deep.substr(4)));
    }
    // The links stay (under Wine, deleting one deletes its target), and so do the folders that
    // hold them; everything else went.
    EXPECT_FALSE(kv::DeleteFolderTree(root + L"\\"));
    EXPECT_TRUE(Exists(root + L"\\a\\link"));
    EXPECT_TRUE(Exists(root + L"\\a\\b\\link.txt"));
    EXPECT_FALSE(Exists(root + L"\\a\\held.txt"));
    EXPECT_EQ(kv::test::kHostCanaries, kv::test::HostCanaries());
    EXPECT_TRUE(kv::DeleteFolderTree(L"C:\\kvtree-gone")) << "a folder that is not there is no failure";
}

// A walk finds its folder's final path once: an entry counts as the folder's own only under it.
TEST(FolderTree, AnEntryIsItsFoldersOwnOnlyUnderThatFoldersFinalPath) {
    MakeDirs(L"C:\\kvown\\a");
    MakeDirs(L"C:\\kvown\\b");
    Write(L"C:\\kvown\\a\\f.txt");
    Write(L"C:\\kvown\\b\\f.txt");
    const std::wstring entry = L"\\\\?\\C:\\kvown\\a\\f.txt";
    EXPECT_TRUE(kv::IsOwnEntry(entry));
    EXPECT_TRUE(kv::IsOwnEntryIn(entry, kv::FinalFolderPath(L"C:\\kvown\\a")));
    EXPECT_FALSE(kv::IsOwnEntryIn(entry, kv::FinalFolderPath(L"C:\\kvown\\b"))) << "another folder's final path";
    EXPECT_FALSE(kv::IsOwnEntryIn(entry, L"")) << "a folder without one";
    EXPECT_TRUE(kv::DeleteFolderTree(L"C:\\kvown"));
    EXPECT_FALSE(Exists(L"C:\\kvown"));
}

// --- Registry and win.ini ---------------------------------------------------------------------

TEST(Registry, DeleteKeyTreeDeletesEverythingBelowButNeverARoot) {
    EXPECT_EQ(ERROR_INVALID_PARAMETER, kv::DeleteKeyTree(HKEY_CURRENT_USER, L""));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, kv::DeleteKeyTree(HKEY_LOCAL_MACHINE, L""));
    const std::wstring longKey(250, L'k'), longValue(1000, L'v');
    SetText(HKEY_CURRENT_USER, L"Software\\KvTree\\a\\" + longKey, longValue.c_str(), L"v");
    SetText(HKEY_CURRENT_USER, L"Software\\KvTree\\b", L"x", L"v");
    SetText(HKEY_CURRENT_USER, L"Software\\KvTree", L"top", L"v");
    EXPECT_EQ(ERROR_SUCCESS, kv::DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\KvTree"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\KvTree"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, kv::DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\KvTree"));
}

TEST(Registry, CompanyKeyGoesOnlyWhenTheClientIsTheLastProductInIt) {
    const struct {
        std::vector<const wchar_t*> products;
        bool companyKept;
    } cases[] = {{{L"Korvane"}, false}, {{L"Korvane", L"Other"}, true}, {{L"Other"}, true}};
    for (const auto& c : cases) {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            for (const wchar_t* p : c.products) SetText(root, std::wstring(L"Software\\Korvane\\") + p, L"v", L"1");
        }
        SetText(HKEY_CURRENT_USER, L"Software\\Korvane\\ClientExtensions", L"v", L"1");
        kv::RemoveRegistryEntries();
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            EXPECT_EQ(c.companyKept, KeyExists(root, L"Software\\Korvane")) << c.products.size();
            EXPECT_FALSE(KeyExists(root, L"Software\\Korvane\\Korvane"));
            EXPECT_EQ(c.companyKept, KeyExists(root, L"Software\\Korvane\\Other"));
            kv::DeleteKeyTree(root, L"Software\\Korvane");
        }
    }
}

TEST(Registry, ViewersListLongerThan260BytesLosesOnlyTheClientsTypes) {
    WriteProfileStringW(L"Netscape", L"ini", L"C:\\windows\\netscape.ini");
    for (int i = 0; i < 40; ++i) WriteProfileStringW(L"Viewers", (L"TYPE" + std::to_wstring(i)).c_str(), L"text/plain");
    WriteProfileStringW(L"Viewers", L"TYPE40", L"application/x-kvpreview");
    WriteProfileStringW(L"Viewers", L"type41", L"application/x-doz");
    WriteProfileStringW(L"Viewers", L"TYPE42", L"application/X-DOZ");
    kv::RemoveNavigatorIniEntries();
    wchar_t value[64];
    auto entry = [&](const wchar_t* key) {
        GetProfileStringW(L"Viewers", key, L"-", value, 64);
        return std::wstring(value);
    };
    EXPECT_EQ(L"text/plain", entry(L"TYPE0"));
    EXPECT_EQ(L"text/plain", entry(L"TYPE39"));
    EXPECT_EQ(L"-", entry(L"TYPE40"));
    EXPECT_EQ(L"-", entry(L"type41"));
    EXPECT_EQ(L"application/X-DOZ", entry(L"TYPE42")) << "the type is compared with its case";
    WriteProfileStringW(L"Viewers", nullptr, nullptr);
    WriteProfileStringW(L"Netscape", nullptr, nullptr);
}

TEST(Registry, WallpaperComesBackFromTheSavedValues) {
    SetText(HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane\\FallBack", L"WallPaper", L"C:\\windows\\kvold.bmp");
    kv::UniqueHkey fallBack;
    RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane\\FallBack", 0, KEY_SET_VALUE, fallBack.put());
    DWORD tiled = 0x1a;
    RegSetValueExW(fallBack.get(), L"WallPaperIsTiled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&tiled), 4);
    kv::RestoreWallpaper();
    wchar_t text[MAX_PATH] = {};
    DWORD size = sizeof text;
    RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"Wallpaper", RRF_RT_REG_SZ, nullptr, text, &size);
    EXPECT_STREQ(L"C:\\windows\\kvold.bmp", text);
    size = sizeof text;
    RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"TileWallPaper", RRF_RT_REG_SZ, nullptr, text, &size);
    EXPECT_STREQ(L"1a", text);
    kv::DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Korvane");
}

// --- Names ------------------------------------------------------------------------------------

TEST(Names, CompanyFolderOnlyAboveKorvaneKorvane) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\Program Files\\Korvane\\Korvane\\", L"C:\\Program Files\\Korvane\\"},
        {L"C:\\Program Files\\korvane\\KORVANE\\", L"C:\\Program Files\\korvane\\"},
        {L"c:\\Program Files\\Korvane\\Korvane", L""},
        {L"D:\\Apps\\Korvane\\", L""},
        {L"Korvane\\Korvane\\", L""},
        {L"", L""},
    };
    for (auto [install, company] : cases) EXPECT_EQ(company, kv::CompanyFolder(install)) << kv::ToAnsi(install);
}

TEST(Names, HostileApplicationNamesDeleteNoOtherShortcut) {
    EXPECT_TRUE(kv::IsPlainFileName(L"Korvane Agent"));
    const std::wstring desktop = ShellFolder(CSIDL_DESKTOPDIRECTORY);
    for (const wchar_t* name : {L"..\\kvx", L"*", L"kv?", L"..", L"", L"C:kvx"}) {
        EXPECT_FALSE(kv::IsPlainFileName(name)) << kv::ToAnsi(name);
        Write(desktop + L"\\..\\kvx.lnk");
        Write(desktop + L"\\kva.lnk");
        Write(desktop + L"\\Korvane.lnk");
        kv::RemoveShortcuts(name);
        EXPECT_TRUE(Exists(desktop + L"\\..\\kvx.lnk")) << kv::ToAnsi(name);
        EXPECT_TRUE(Exists(desktop + L"\\kva.lnk")) << kv::ToAnsi(name);
        EXPECT_FALSE(Exists(desktop + L"\\Korvane.lnk")) << kv::ToAnsi(name);
    }
    DeleteFileW((desktop + L"\\..\\kvx.lnk").c_str());
    DeleteFileW((desktop + L"\\kva.lnk").c_str());
}

// --- The program, as a person runs it ---------------------------------------------------------

// What the kit and the installer touch, as lines: registry subtrees with their values, win.ini,
// and every file of drive C: outside the test's own folder (path, size, attributes).
class Snapshot {
public:
    static std::set<std::wstring> Take() {
        std::set<std::wstring> lines;
        const std::pair<HKEY, const wchar_t*> keys[] = {
            {HKEY_CURRENT_USER, L"Software\\Korvane"},
            {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane"},
            {HKEY_CURRENT_USER, L"Software\\Netscape"},
            {HKEY_CURRENT_USER, L"Control Panel\\Desktop"},
            {HKEY_CLASSES_ROOT, L"iadfile"},
            {HKEY_CLASSES_ROOT, L".doz"},
            {HKEY_CLASSES_ROOT, L"kvpfile"},
            {HKEY_CLASSES_ROOT, L".kvp"},
            {HKEY_CLASSES_ROOT, L"MIME\\Database\\Content Type"},
            {HKEY_CLASSES_ROOT, L"CLSID\\{60FB349E-0CD8-11D1-9D7B-00C0F018612C}"},
            {HKEY_CLASSES_ROOT, L"Korvane.Channel"},
            {HKEY_CLASSES_ROOT, L"TypeLib\\{60FB3490-0CD8-11D1-9D7B-00C0F018612C}"},
            {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths"},
            {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"},
            {HKEY_LOCAL_MACHINE, L"SOFTWARE\\McAfee"},
        };
        for (auto [root, path] : keys) Dump(root, path, path, lines);
        for (const wchar_t* section : {L"Netscape", L"Viewers", L"Suffixes"}) {
            wchar_t text[4096] = {};
            DWORD n = GetProfileSectionW(section, text, 4096);
            for (const wchar_t* p = text; p < text + n && *p; p += wcslen(p) + 1)
                lines.insert(std::wstring(L"win.ini [") + section + L"] " + p);
        }
        Files(L"C:", lines);
        return lines;
    }

private:
    static void Dump(HKEY root, const std::wstring& path, const std::wstring& name, std::set<std::wstring>& out) {
        kv::UniqueHkey key;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
        out.insert(name);
        for (DWORD i = 0;; ++i) {
            wchar_t value[1024];
            BYTE data[2048];
            DWORD valueLen = 1024, dataLen = sizeof data, type = 0;
            if (RegEnumValueW(key.get(), i, value, &valueLen, nullptr, &type, data, &dataLen) != ERROR_SUCCESS) break;
            std::wstring text = type == REG_SZ ? reinterpret_cast<wchar_t*>(data) : std::to_wstring(dataLen);
            out.insert(name + L":" + value + L"=" + text);
        }
        for (DWORD i = 0;; ++i) {
            wchar_t sub[1024];
            DWORD subLen = 1024;
            if (RegEnumKeyExW(key.get(), i, sub, &subLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            Dump(root, path + L"\\" + sub, name + L"\\" + sub, out);
        }
    }
    static void Files(const std::wstring& dir, std::set<std::wstring>& out) {
        WIN32_FIND_DATAW found;
        kv::UniqueFindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &found));
        if (!find) return;
        do {
            std::wstring name = found.cFileName, path = dir + L"\\" + name;
            if (name == L"." || name == L".." || _wcsicmp(path.c_str(), L"C:\\kvtest") == 0) continue;
            out.insert(path + L" " + std::to_wstring(found.nFileSizeLow) + L" " +
                       std::to_wstring(found.dwFileAttributes));
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                Files(path, out);
        } while (FindNextFileW(find.get(), &found));
    }
};

std::vector<std::wstring> Difference(const std::set<std::wstring>& a, const std::set<std::wstring>& b) {
    std::vector<std::wstring> out;
    for (const auto& line : a)
        if (!b.count(line)) out.push_back(L"- " + line);
    for (const auto& line : b)
        if (!a.count(line)) out.push_back(L"+ " + line);
    return out;
}

std::string Lines(const std::vector<std::wstring>& lines) {
    std::string text;
    for (const auto& l : lines) text += kv::ToAnsi(l) + "\n";
    return text;
}

int RunToEnd(const std::wstring& commandLine, DWORD ms = 60000) {
    ChildProcess child(kv::ToAnsi(commandLine));
    if (!child.Started() || !child.WaitExit(ms)) return -1;
    DWORD code = 0;
    GetExitCodeProcess(child.Handle(), &code);
    return static_cast<int>(code);
}

struct OwnedSearch {
    HWND owner, found;
};

BOOL CALLBACK MatchOwned(HWND w, LPARAM p) {
    auto* s = reinterpret_cast<OwnedSearch*>(p);
    wchar_t cls[16] = {};
    GetClassNameW(w, cls, 16);
    if (GetWindow(w, GW_OWNER) != s->owner || lstrcmpW(cls, L"#32770") != 0) return TRUE;
    s->found = w;
    return FALSE;
}

// A message box that `owner` shows, or null.
HWND OwnedDialog(HWND owner) {
    OwnedSearch search{owner, nullptr};
    EnumWindows(MatchOwned, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring StaticText(HWND dialog) {
    std::wstring text;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[16] = {}, line[1024] = {};
        GetClassNameW(child, cls, 16);
        if (lstrcmpiW(cls, L"Static") == 0 && GetWindowTextW(child, line, 1024) > 0) text += line;
    }
    return text;
}

HWND WaitForDialog(const wchar_t* caption, DWORD ms = 20000) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(20))
        if (HWND w = kv::test::FindDialog(caption)) return w;
    return nullptr;
}

// Runs uninstall.exe, answers its confirmation with `answer` and, after Yes, watches the rows
// tick and clicks Finished. Returns the rows in the order they were seen ticked, or "stopped"
// when the run ended with "Finished" disabled and a message box (clicked away) instead.
struct UninstallRun {
    std::vector<int> ticked;
    std::wstring message;
    bool finishedEnabled = false;
    int exitCode = -1;
};

UninstallRun Uninstall(int answer) {
    static constexpr int kChecks[] = {IDC_CHECK1, IDC_CHECK2, IDC_CHECK3, IDC_CHECK4, IDC_CHECK5};
    UninstallRun run;
    ChildProcess program(kv::ToAnsi(Here() + L"\\uninstall.exe"));
    if (!program.Started()) return run;
    kv::test::DialogClicker confirm(L"Uninstall", answer);
    EXPECT_TRUE(confirm.Wait());
    EXPECT_NE(std::wstring::npos, confirm.Text().find(L"Are you sure you want to uninstall Korvane ?"));
    if (answer == IDOK) {
        HWND progress = WaitForDialog(L"Uninstalling Korvane");
        EXPECT_NE(nullptr, progress);
        for (DWORD start = GetTickCount(); progress && GetTickCount() - start < 60000; Sleep(10)) {
            if (!IsWindowVisible(progress)) continue;
            for (int row = 1; row <= 5; ++row)
                if (IsWindowVisible(GetDlgItem(progress, kChecks[row - 1])) &&
                    std::find(run.ticked.begin(), run.ticked.end(), row) == run.ticked.end())
                    run.ticked.push_back(row);
            run.finishedEnabled = IsWindowEnabled(GetDlgItem(progress, IDOK));
            if (HWND box = OwnedDialog(progress)) {
                // The box exists before its text does: wait for the text (a busy machine is slow).
                for (DWORD seen = GetTickCount(); run.message.empty() && GetTickCount() - seen < 10000; Sleep(20))
                    if (IsWindowVisible(box)) run.message = StaticText(box);
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                Sleep(200);
                break;
            }
            if (run.finishedEnabled) break;
        }
        if (progress) {
            EXPECT_TRUE(IsWindowVisible(progress)) << "the progress dialog is shown";
            PostMessageW(progress, WM_COMMAND, run.finishedEnabled ? IDOK : IDCANCEL, 0);
        }
    }
    if (program.WaitExit(20000)) {
        DWORD code = 0;
        GetExitCodeProcess(program.Handle(), &code);
        run.exitCode = static_cast<int>(code);
    }
    return run;
}

std::wstring Install(const std::wstring& switches = L"") {
    const std::wstring here = Here();
    EXPECT_EQ(0, RunToEnd(L"\"" + here + L"\\kvsetup.exe\" /register:" + here + L"\\KvDC.dll " + switches));
    return ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Korvane\\Korvane";
}

TEST(UninstallProgram, RemovesAnInstallationAndLeavesTheMachineAsItWas) {
    // The machine the client is installed on already has Navigator, a virus scanner and the
    // system's MIME database: the installer only adds to their keys, and the uninstaller takes
    // only its own entries back out.
    SetText(HKEY_CURRENT_USER, L"Software\\Netscape\\Netscape Navigator\\Viewers", L"text/plain", L"notepad.exe");
    SetText(HKEY_CURRENT_USER, L"Software\\Netscape\\Netscape Navigator\\Suffixes", L"text/plain", L"txt");
    WriteProfileStringW(L"Netscape", L"ini", L"C:\\windows\\netscape.ini");
    SetText(HKEY_CLASSES_ROOT, L"MIME\\Database\\Content Type\\text/plain", L"Extension", L".txt");
    SetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\McAfee\\VirusScan", L"Installed", L"1");
    auto before = Snapshot::Take();
    std::wstring root = Install(L"\"/appname:Korvane Agent\"");
    auto installed = Snapshot::Take();
    ASSERT_GT(Difference(before, installed).size(), 30u) << "the installer wrote the installation";

    // "No" changes nothing.
    UninstallRun no = Uninstall(IDCANCEL);
    EXPECT_EQ(0, no.exitCode);
    EXPECT_EQ("", Lines(Difference(installed, Snapshot::Take())));

    UninstallRun yes = Uninstall(IDOK);
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), yes.ticked);
    EXPECT_TRUE(yes.finishedEnabled);
    EXPECT_EQ(L"", yes.message);
    EXPECT_EQ(0, yes.exitCode);
    EXPECT_FALSE(Exists(root));
    EXPECT_FALSE(Exists(root + L"\\..")) << "the company folder goes when it is empty";

    // What stays, and why:
    // - the wallpaper the client had replaced is put back in the desktop settings;
    // - win.ini keeps the headers of sections whose last entry went (its entries are compared
    //   one by one above), so its size changes.
    std::vector<std::wstring> leftovers;
    for (const auto& line : Difference(before, Snapshot::Take()))
        if (line.find(L"Control Panel\\Desktop:") == std::wstring::npos &&
            line.find(L" C:\\windows\\win.ini ") == std::wstring::npos)
            leftovers.push_back(line);
    EXPECT_EQ("", Lines(leftovers));
}

TEST(UninstallProgram, AClientThatCannotBeStoppedChangesNothing) {
    Install();
    // The client answers that it may close, then ignores WM_CLOSE: the wait for it runs out.
    ChildProcess client(kv::ToAnsi(L"\"" + Here() + L"\\Korvane.exe\" /refuse-close"));
    ASSERT_TRUE(client.Started());
    ASSERT_NE(nullptr, client.WaitForTopWindow(nullptr, "Korvane Agent"));
    auto installed = Snapshot::Take();
    UninstallRun run = Uninstall(IDOK);
    EXPECT_NE(std::wstring::npos, run.message.find(L"Failed to shut down Korvane.")) << kv::ToAnsi(run.message);
    EXPECT_NE(std::wstring::npos, run.message.find(L"Aborting uninstall.")) << kv::ToAnsi(run.message);
    EXPECT_TRUE(run.ticked.empty());
    EXPECT_FALSE(run.finishedEnabled);
    // Only the log of the attempt is new.
    std::vector<std::wstring> changed;
    for (const auto& line : Difference(installed, Snapshot::Take()))
        if (line.find(L"\\data\\upgrade.log ") == std::wstring::npos) changed.push_back(line);
    EXPECT_EQ("", Lines(changed));
    EXPECT_TRUE(client.Running());
    client.Kill();
    kv::DeleteFolderTree(ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Korvane");
}

// --- What a root is, not how it is spelled ----------------------------------------------------

// The run without its dialog: every wait ends at once.
class NoDialog : public kv::UninstallProgress {
public:
    void WaitForTick() override {}
    void TickRow(int) override {}
    void PostTickAndWait() override {}
    void EnableFinished() override { finished = true; }
    HWND Owner() override { return nullptr; }
    bool finished = false;
};

bool RunWithAppPath(const std::wstring& path) {
    SetText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvane.exe", L"Path", path);
    NoDialog progress;
    kv::RunUninstall(GetModuleHandleW(nullptr), progress);
    return progress.finished;
}

TEST(UninstallRoots, HostileRootsDeleteNothingOutsideTheClient) {
    const std::wstring profile = ShellFolder(CSIDL_PROFILE), windows = ShellFolder(CSIDL_WINDOWS);
    const std::wstring users = profile.substr(0, profile.rfind(L'\\')), me = profile.substr(users.size() + 1);
    const std::wstring sibling = ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Korvane\\Sibling";
    for (const wchar_t* other : {L"\\alice", L"\\Default", L"\\Public"}) MakeDirs(users + other);
    MakeDirs(sibling);
    const std::vector<std::wstring> canaries = {profile + L"\\kvcanary.txt",  users + L"\\alice\\kvcanary.txt",
                                                users + L"\\Default\\kvcanary.txt", users + L"\\Public\\kvcanary.txt",
                                                sibling + L"\\kvcanary.txt", windows + L"\\kvcanary.txt",
                                                L"C:\\kvcanary.txt"};
    const std::wstring roots[] = {
        L"\\\\.\\" + profile + L"\\program",  L"\\\\?\\" + profile + L"\\program",     L"\\\\.\\" + profile,
        users + L"\\alice\\program",           users + L"\\Default\\program",           users + L"\\Public\\program",
        L"Y:\\users\\" + me + L"\\program",    L"C:\\kvalias\\" + me + L"\\program",    L"Y:\\program",
        L"C:\\kvalias\\program",               L"\\\\?\\UNC\\localhost\\C$\\program",   L"\\\\localhost\\C$\\program",
        L"\\\\.\\pipe\\program",               L"C:\\",                                 L"C:\\program",
        L"C:\\windows\\program",               L"",                                     L"program",
        L"..",                                 L"C:\\kv*\\program",                     L"\\program",
        L"C:\\users\\..\\program",             profile + L"\\.\\program",              L"c:\\USERS\\" + me + L"\\PROGRAM",
    };
    for (const std::wstring& root : roots) {
        for (const auto& c : canaries) Write(c);
        EXPECT_TRUE(RunWithAppPath(root)) << kv::ToAnsi(root);
        for (const auto& c : canaries) EXPECT_TRUE(Exists(c)) << kv::ToAnsi(root) << ": " << kv::ToAnsi(c);
        EXPECT_TRUE(Exists(windows + L"\\system32\\kernel32.dll")) << kv::ToAnsi(root);
    }
    for (const auto& c : canaries) DeleteFileW(c.c_str());
    RemoveDirectoryW(sibling.c_str());
}

TEST(UninstallRoots, AClientInstalledUnderAnyPlainSpellingIsRemoved) {
    for (const wchar_t* prefix : {L"", L"\\\\?\\", L"\\\\.\\"}) {
        const std::wstring root = L"C:\\kvplain\\Korvane\\Korvane";
        MakeDirs(root + L"\\program\\skins");
        Write(root + L"\\program\\skins\\blue.txt");
        EXPECT_TRUE(RunWithAppPath(prefix + root + L"\\program"));
        EXPECT_FALSE(Exists(root)) << kv::ToAnsi(prefix);
        EXPECT_FALSE(Exists(L"C:\\kvplain\\Korvane")) << "the company folder goes too";
        RemoveDirectoryW(L"C:\\kvplain");
    }
}

TEST(UninstallRoots, LinksInTheInstallationAreLeftAndWhatTheyReachSurvives) {
    const std::wstring root = L"C:\\kvlinked\\Korvane";
    MakeDirs(root + L"\\program\\skins");
    Write(root + L"\\program\\Korvane.exe");
    for (const wchar_t* link : {L"\\readme.txt", L"\\data", L"\\program\\qtcc_wnt.dll", L"\\program\\skins\\blue",
                                L"\\notes.txt"})
        ASSERT_TRUE(kv::test::IsLink(root + link));
    // notes.txt leads to C:\KVLINKED\Korvane\notes.txt: the same name but for case, another file.
    const std::wstring sibling = L"C:\\KVLINKED\\Korvane\\notes.txt";
    EXPECT_TRUE(RunWithAppPath(root + L"\\program"));
    EXPECT_EQ(kv::test::kHostCanaries, kv::test::HostCanaries());
    EXPECT_EQ("case canary\n", kv::test::FileText(sibling));
    EXPECT_FALSE(Exists(root + L"\\program\\Korvane.exe"));
}

// A registry link (REG_LINK) under the client's key, or in its place.
void MakeRegistryLink(HKEY root, const wchar_t* path, const wchar_t* target) {
    kv::UniqueHkey link;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, link.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                                            reinterpret_cast<const BYTE*>(target),
                                            static_cast<DWORD>(wcslen(target) * sizeof(wchar_t))));
}

TEST(Registry, ALinkUnderTheClientsKeyGoesAsALinkAndItsTargetStays) {
    constexpr wchar_t kTarget[] = L"\\Registry\\Machine\\Software\\KvLinkTarget";
    const struct {
        HKEY root;
        const wchar_t* link;
    } cases[] = {
        {HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane\\Linked"},
        {HKEY_CURRENT_USER, L"Software\\Korvane\\ClientExtensions"},
        {HKEY_CURRENT_USER, L"Software\\Korvane\\Viewers"},
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvane.exe"},
        {HKEY_CLASSES_ROOT, L".doz"},
    };
    for (const auto& c : cases) {
        SetText(HKEY_LOCAL_MACHINE, L"Software\\KvLinkTarget\\Below", L"kept", L"1");
        SetText(HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane", L"v", L"1");
        MakeRegistryLink(c.root, c.link, kTarget);
        ASSERT_TRUE(KeyExists(c.root, std::wstring(c.link) + L"\\Below")) << "the link leads to its target";
        kv::RemoveRegistryEntries();
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\KvLinkTarget\\Below")) << kv::ToAnsi(c.link);
        kv::UniqueHkey link;
        EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(c.root, c.link, REG_OPTION_OPEN_LINK, KEY_READ, link.put()))
            << kv::ToAnsi(c.link) << ": the link itself went";
        kv::DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\KvLinkTarget");
    }
}

// --- Shortcut groups --------------------------------------------------------------------------

TEST(Shortcuts, AGroupGoesWholeOnlyWhileItHoldsNothingButShortcuts) {
    constexpr wchar_t kCommon[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    const std::wstring programFiles = ShellFolder(CSIDL_PROGRAM_FILES);
    const std::wstring commonPrograms = ShellFolder(CSIDL_COMMON_PROGRAMS);
    // A wrong "Common Programs": the group "<Common Programs>\Korvane" is then the company folder
    // of the client's installation, with a sibling product in it.
    SetText(HKEY_LOCAL_MACHINE, kCommon, L"Common Programs", programFiles);
    MakeDirs(programFiles + L"\\Korvane\\Sibling");
    Write(programFiles + L"\\Korvane\\Sibling\\sibling.exe");
    Write(programFiles + L"\\Korvane\\Sibling\\Sibling.lnk");
    Write(programFiles + L"\\Korvane\\Korvane.lnk");
    // The per-user group holds only shortcuts, one folder deep.
    const std::wstring group = ShellFolder(CSIDL_PROGRAMS) + L"\\Korvane";
    MakeDirs(group + L"\\Help");
    Write(group + L"\\Korvane.lnk");
    Write(group + L"\\Help\\Site.url");
    kv::RemoveShortcuts(L"Korvane");
    SetText(HKEY_LOCAL_MACHINE, kCommon, L"Common Programs", commonPrograms);
    EXPECT_TRUE(Exists(programFiles + L"\\Korvane\\Sibling\\sibling.exe"));
    EXPECT_TRUE(Exists(programFiles + L"\\Korvane\\Sibling\\Sibling.lnk"));
    EXPECT_FALSE(Exists(programFiles + L"\\Korvane\\Korvane.lnk")) << "the client's own shortcut goes";
    EXPECT_FALSE(Exists(group));
    kv::DeleteFolderTree(programFiles + L"\\Korvane");
}

}  // namespace
