// CUpgrader's upgrade run: the settings file, the folder walks (clean, copy, rename), the
// client's registration and restart, the restore of the previous version and the messages.
#include <windows.h>

#include <cstdio>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/raii.h"
#include "platform/text.h"
#include "uninstall/folder_tree.h"
#include "uninstall/uninstall_res.h"
#include "uninstall/upgrader.h"

namespace kv {

namespace {

constexpr char kSection[] = "upgrade";
constexpr char kMissing[] = "`";
constexpr DWORD kCopyBlock = 8192;
constexpr DWORD kRegisterTimeoutMs = 30000;
// The message boxes show at most this much text; the log keeps all of it.
constexpr size_t kMessageBytes = 256;

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
    return folder + "\\" + name;
}

std::wstring JoinWide(const std::wstring& folder, const wchar_t* name) { return folder + L"\\" + name; }

std::string LoadText(HINSTANCE module, UINT id, size_t size) {
    std::vector<char> buffer(size, '\0');
    int length = LoadStringA(module, id, buffer.data(), static_cast<int>(size));
    return std::string(buffer.data(), length > 0 ? static_cast<size_t>(length) : 0);
}

// Cuts `text` to what a message box of `bytes` bytes shows, without splitting a character.
std::string CutForDisplay(const std::string& text, size_t bytes) {
    if (text.size() < bytes) return text;
    size_t cut = 0;
    for (const char* p = text.c_str(); *p;) {
        const char* next = CharNextA(p);
        if (static_cast<size_t>(next - text.c_str()) >= bytes) break;
        cut = static_cast<size_t>(next - text.c_str());
        p = next;
    }
    return text.substr(0, cut);
}

bool IsSettingsFile(const wchar_t* name) { return EqualsNoCase(name, L"upgrade.dat"); }

}  // namespace

// --- Settings ---------------------------------------------------------------------------------

const std::string& CUpgrader::SettingsPath() {
    if (!settingsPathKnown_) {
        settingsPathKnown_ = true;
        std::vector<char> folder(32768);
        if (ResolvePath("NewVersion", folder.data(), folder.size())) settingsPath_ = Join(folder.data(), "upgrade.dat");
    }
    return settingsPath_;
}

int CUpgrader::IsUpdateMethod() {
    const std::string& settings = SettingsPath();
    // Without a settings file every key takes its default.
    char method[100] = {};
    if (!settings.empty()) GetPrivateProfileStringA(kSection, "method", kMissing, method, sizeof method, settings.c_str());
    if (settings.empty() || std::strcmp(method, kMissing) == 0) {
        std::strcpy(method, "replacement");
        if (!settings.empty())
            GetPrivateProfileStringA(kSection, "upgrade_method", "replacement", method, sizeof method, settings.c_str());
    }
    if (_stricmp(method, "replacement") == 0) {
        Log("Upgrade type - REPLACEMENT\n");
        return 0;
    }
    if (_stricmp(method, "update") == 0) {
        Log("Upgrade type - UPDATE\n");
        return 1;
    }
    Log("Invalid upgrade type\n");
    return 0;
}

bool CUpgrader::KeepBackup() {
    const std::string& settings = SettingsPath();
    bool keep = settings.empty() || GetPrivateProfileIntA(kSection, "keep-backup", 1, settings.c_str()) != 0;
    Log(keep ? "Keep backup TRUE\n" : "Keep backup FALSE\n");
    return keep;
}

bool CUpgrader::FixDatabase() { return true; }
bool CUpgrader::OnUpgradeStart() { return true; }
bool CUpgrader::OnUpgradeDone() { return true; }

bool CUpgrader::OnCopyProgress(int, const char*, const char*, ULONGLONG, ULONGLONG, DWORD*) { return true; }

// --- Messages ---------------------------------------------------------------------------------

void CUpgrader::ShowMessage(UINT id, UINT icon) {
    std::string text = LoadText(resources_, id, kMessageBytes);
    std::string caption = LoadText(resources_, IDS_UPGRADE_CAPTION, id == IDS_CLIENT_NOT_INSTALLED ? 128 : kMessageBytes);
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | icon | MB_SETFOREGROUND);
}

void CUpgrader::ReportUpgradeFailed(bool restored) {
    ShowMessage(restored ? IDS_UPGRADE_FAILED_RESTORED : IDS_UPGRADE_FAILED_REINSTALL, MB_ICONSTOP);
}
void CUpgrader::ReportBackupFailed() { ShowMessage(IDS_BACKUP_FAILED, MB_ICONSTOP); }
void CUpgrader::ReportUpgradeSucceeded() { ShowMessage(IDS_UPGRADE_SUCCEEDED, MB_ICONINFORMATION); }

void CUpgrader::ReportError(int index, const char* first, const char* second) {
    std::string format;
    if (index >= 0 && index <= 5) format = LoadText(resources_, IDS_ERROR_OPEN + static_cast<UINT>(index), kMessageBytes);
    if (format.empty()) format = "Unknown error - %s";
    const char* a = first ? first : "";
    const char* b = second ? second : "";
    // Paths may be far longer than a message box line: the whole text is formatted, logged in
    // full, and only cut for the box.
    int length = std::snprintf(nullptr, 0, format.c_str(), a, b);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::snprintf(text.data(), text.size() + 1, format.c_str(), a, b);
    Log("Report error: %s\n", text.c_str());
    std::string caption = LoadText(resources_, IDS_UPGRADE_CAPTION, 128);
    MessageBoxA(nullptr, CutForDisplay(text, kMessageBytes).c_str(), caption.c_str(),
                MB_OK | MB_ICONSTOP | MB_SETFOREGROUND);
}

// --- Folder walks -----------------------------------------------------------------------------

namespace {

// A name resolved to its logged (ANSI) form and the extended wide form the walks use.
struct Resolved {
    bool ok = false;
    std::string shown;
    std::wstring extended;
};

Resolved Resolve(const CUpgrader& upgrader, const char* name) {
    Resolved r;
    std::vector<char> buffer(32768);
    if (!name || !upgrader.ResolvePath(name, buffer.data(), buffer.size())) return r;
    r.shown = buffer.data();
    // The client's folder may be reached through a link or an alias drive: the walks work on its
    // final path, so that each entry's own final path can be compared with the path walked.
    std::wstring resolved = ParentResolvedPath(ToWide(r.shown));
    r.extended = resolved.empty() ? resolved : L"\\\\?\\" + resolved;
    r.ok = !r.extended.empty();
    return r;
}

}  // namespace

bool CUpgrader::CleanDirectory(const char* name) {
    Resolved folder = Resolve(*this, name);
    if (!folder.ok || IsProtectedFolder(ToWide(folder.shown))) {
        Log("Clean directory %s\n", folder.shown.c_str());
        Log("Clean directory failed\n");
        return false;
    }
    DWORD attributes = GetFileAttributesW(folder.extended.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
        Log("Clean directory %s\n", folder.shown.c_str());
        return true;  // nothing to clean
    }
    return CleanTree(folder.extended, folder.shown);
}

bool CUpgrader::CleanTree(const std::wstring& extended, const std::string& shown) {
    Log("Clean directory %s\n", shown.c_str());
    bool ok = true;
    // Only a real directory is entered: a link in place of the folder is refused, not followed.
    const DWORD self = GetFileAttributesW(extended.c_str());
    if (self == INVALID_FILE_ATTRIBUTES || !IsPlainDirectory(self) || !IsOwnEntry(extended)) ok = false;
    if (ok) {
        const std::wstring folder = FinalFolderPath(extended);
        ok = ForEachFolderEntry(extended, [&](const WIN32_FIND_DATAW& found) {
            std::wstring child = JoinWide(extended, found.cFileName);
            std::string childShown = Join(shown, ToAnsi(found.cFileName));
            const DWORD a = found.dwFileAttributes;
            bool removed;
            if (!IsOwnEntryIn(child, folder)) {
                removed = false;  // a link the system follows: deleting it would delete its target
            } else if (IsPlainDirectory(a)) {
                bool cleaned = CleanTree(child, childShown + "\\");
                if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(child.c_str(), a & ~DWORD{FILE_ATTRIBUTE_READONLY});
                removed = RemoveDirectoryW(child.c_str()) && cleaned;
            } else if (a & FILE_ATTRIBUTE_DIRECTORY) {
                removed = RemoveDirectoryW(child.c_str());  // a link: removed, its target never entered
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                removed = DeleteFileW(child.c_str());
            }
            if (!removed) {
                Log("Could not remove %s\n", childShown.c_str());
                ok = false;  // the first failure stays the result; the walk goes on
            }
        }) && ok;
    }
    if (!ok) Log("Clean directory failed\n");
    return ok;
}

bool CUpgrader::CopyDirectory(DWORD* context, const char* source, const char* destination, unsigned flags) {
    Resolved from = Resolve(*this, source);
    Resolved to = Resolve(*this, destination);
    if (!from.ok || !to.ok) {
        Log("Copy directory %s to %s\n", from.shown.c_str(), to.shown.c_str());
        Log("Copy directory failed\n");
        return false;
    }
    return CopyTree(context, from.extended, from.shown, to.extended, to.shown, flags);
}

bool CUpgrader::CopyTree(DWORD* context, const std::wstring& source, const std::string& sourceShown,
                         const std::wstring& destination, const std::string& destinationShown, unsigned flags) {
    Log("Copy directory %s to %s\n", sourceShown.c_str(), destinationShown.c_str());
    bool ok = true;
    const DWORD existing = GetFileAttributesW(destination.c_str());
    if (existing == INVALID_FILE_ATTRIBUTES) {
        if (!CreateDirectoryW(destination.c_str(), nullptr)) {
            ReportError(4, destinationShown.c_str());
            Log("Copy directory failed\n");
            return false;
        }
    } else if (!IsPlainDirectory(existing) || !IsOwnEntry(destination)) {
        // A file (or a link) stands where the folder must go.
        ReportError(4, destinationShown.c_str());
        Log("Copy directory failed\n");
        return false;
    } else if (!(flags & kKeepDestination)) {
        ok = CleanTree(destination, destinationShown);
    }
    const DWORD self = GetFileAttributesW(source.c_str());
    const std::wstring sourceFolder = FinalFolderPath(source);
    bool listed = self != INVALID_FILE_ATTRIBUTES && IsPlainDirectory(self) &&
                  ForEachFolderEntry(source, [&](const WIN32_FIND_DATAW& found) {
                      if (IsSettingsFile(found.cFileName)) return;
                      const DWORD a = found.dwFileAttributes;
                      std::wstring from = JoinWide(source, found.cFileName);
                      std::wstring to = JoinWide(destination, found.cFileName);
                      std::string name = ToAnsi(found.cFileName);
                      if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
                          Log(" Copy from %s to %s\n", sourceShown.c_str(), destinationShown.c_str());
                          if (!CopyFileAt(context, from, Join(sourceShown, name), to, Join(destinationShown, name),
                                          &sourceFolder))
                              ok = false;
                      } else if (!(flags & kCopySubfolders)) {
                          // Subfolders are not asked for.
                      } else if (!IsPlainDirectory(a) || !IsOwnEntry(from)) {
                          // A directory link cannot be copied as what it is: the copy fails
                          // rather than leave the new version without it.
                          ReportError(0, Join(sourceShown, name).c_str());
                          ok = false;
                      } else if (!CopyTree(context, from, Join(sourceShown, name), to, Join(destinationShown, name),
                                           flags)) {
                          ok = false;
                      }
                  });
    if (!listed) {
        ReportError(0, sourceShown.c_str());
        ok = false;
    }
    if (!ok) Log("Copy directory failed\n");
    return ok;
}

bool CUpgrader::CopyOneFile(DWORD* context, const char* sourceDirectory, const char* destinationDirectory,
                            const char* name, const char* destinationName) {
    Resolved from = Resolve(*this, sourceDirectory);
    Resolved to = Resolve(*this, destinationDirectory);
    Log(" Copy from %s to %s\n", from.shown.c_str(), to.shown.c_str());
    if (!from.ok || !to.ok || !name || !*name) {
        Log("CopyFile failed\n");
        return false;
    }
    const char* target = destinationName && *destinationName ? destinationName : name;
    return CopyFileAt(context, JoinWide(from.extended, ToWide(name).c_str()), Join(from.shown, name),
                      JoinWide(to.extended, ToWide(target).c_str()), Join(to.shown, target));
}

bool CUpgrader::CopyFileAt(DWORD* context, const std::wstring& source, const std::string& sourceShown,
                           const std::wstring& destination, const std::string& destinationShown,
                           const std::wstring* sourceFolder) {
    auto failed = [&] {
        Log("CopyFile failed\n");
        return false;
    };
    UniqueHandleObj in;
    // A file link is no file of the new version: what it points at is not copied.
    if (sourceFolder ? IsOwnEntryIn(source, *sourceFolder) : IsOwnEntry(source))
        in.reset(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (in.get() == INVALID_HANDLE_VALUE) in.release();
    if (!in) {
        ReportError(0, sourceShown.c_str());
        return failed();
    }
    LARGE_INTEGER size{};
    FILETIME accessed{}, written{};
    GetFileSizeEx(in.get(), &size);
    GetFileTime(in.get(), nullptr, &accessed, &written);
    const ULONGLONG total = static_cast<ULONGLONG>(size.QuadPart);
    if (!OnCopyProgress(1, sourceShown.c_str(), destinationShown.c_str(), total, 0, context)) return true;

    // The copy goes to a new name beside the destination and is renamed over it at the end: an
    // existing entry is never written through (a link would carry the bytes to its target), and
    // a copy that fails leaves the old file as it was.
    std::wstring fresh;
    UniqueHandleObj out;
    for (unsigned n = GetTickCount() & 0xffff, tries = 0; !out && tries < 100; ++n, ++tries) {
        wchar_t suffix[24];
        wsprintfW(suffix, L".%04x.kvnew", n);
        fresh = destination + suffix;
        out.reset(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (out.get() == INVALID_HANDLE_VALUE) out.release();
        if (!out && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    if (!out) {
        ReportError(1, destinationShown.c_str());
        return failed();
    }
    auto abandon = [&](int error) {
        out.reset();
        DeleteFileW(fresh.c_str());
        ReportError(error, error == 3 ? sourceShown.c_str() : destinationShown.c_str());
        return failed();
    };
    std::vector<char> buffer(kCopyBlock);
    ULONGLONG count = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.get(), buffer.data(), kCopyBlock, &got, nullptr)) return abandon(3);
        if (got == 0) break;
        DWORD put = 0;
        if (!WriteFile(out.get(), buffer.data(), got, &put, nullptr) || put < got) return abandon(2);
        count += put;
        if (!OnCopyProgress(2, sourceShown.c_str(), destinationShown.c_str(), total, count, context)) {
            out.reset();
            DeleteFileW(fresh.c_str());
            return failed();
        }
    }
    SetFileTime(out.get(), nullptr, &accessed, &written);
    if (!CloseHandle(out.release())) return abandon(2);
    // The old entry is replaced only when it is a file of its own, not a link or a folder. A
    // read-only (or hidden, or system) file of the old version is overwritten like any other.
    const DWORD old = GetFileAttributesW(destination.c_str());
    if (old != INVALID_FILE_ATTRIBUTES) {
        if ((old & FILE_ATTRIBUTE_DIRECTORY) || !IsOwnEntry(destination)) {
            DeleteFileW(fresh.c_str());
            ReportError(1, destinationShown.c_str());
            return failed();
        }
        if (old & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
            SetFileAttributesW(destination.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    if (!MoveFileExW(fresh.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (old != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(destination.c_str(), old);
        DeleteFileW(fresh.c_str());
        ReportError(1, destinationShown.c_str());
        return failed();
    }
    OnCopyProgress(3, sourceShown.c_str(), destinationShown.c_str(), total, count, context);
    return true;
}

bool CUpgrader::RenameDirectory(const char* from, const char* to, bool replace) {
    Resolved source = Resolve(*this, from);
    Resolved target = Resolve(*this, to);
    Log("Rename directory %s to %s\n", source.shown.c_str(), target.shown.c_str());
    auto failed = [&] {
        Log("Rename directory failed\n");
        return false;
    };
    if (!source.ok || !target.ok) return failed();
    // The version that works is never given up for a folder that is not there.
    // Nor for a link: under Wine, renaming a link moves what it points at.
    const DWORD self = GetFileAttributesW(source.extended.c_str());
    if (self == INVALID_FILE_ATTRIBUTES || !(self & FILE_ATTRIBUTE_DIRECTORY) || !IsOwnEntry(source.extended)) {
        ReportError(5, source.shown.c_str(), target.shown.c_str());
        return failed();
    }
    if (GetFileAttributesW(target.extended.c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (!replace || !CleanDirectory(target.shown.c_str())) return failed();
        RemoveDirectoryW(target.extended.c_str());
    }
    if (!MoveFileW(source.extended.c_str(), target.extended.c_str())) {
        ReportError(5, source.shown.c_str(), target.shown.c_str());
        return failed();
    }
    return true;
}

// --- The client's programs --------------------------------------------------------------------

bool CUpgrader::StartClient() {
    std::vector<char> folder(32768);
    bool resolved = ResolvePath("program", folder.data(), folder.size());
    std::string path = resolved ? Join(folder.data(), "Korvane.exe") : std::string();
    Log("Starting client at %s\n", path.c_str());
    if (!resolved) return true;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring program = ToWide(path);
    std::wstring directory = ToWide(folder.data());
    if (CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(), &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        Log("Client was started OK\n");
    } else {
        Log("Could not run client\n");
    }
    return true;
}

void CUpgrader::RegisterComponents() {
    std::vector<char> root(32768);
    GetClientDirectory(root.data(), root.size());
    const std::wstring folder = ToWide(Join(root.data(), "program"));

    // The switch is kvv.exe's first argument; a restore that follows must not find it running.
    const std::wstring kvv = folder + L"\\kvv.exe";
    std::wstring commandLine = L"\"" + kvv + L"\" /REGSERVER";
    STARTUPINFOW si{};
    GetStartupInfoW(&si);
    PROCESS_INFORMATION pi{};
    bool registered = false;
    if (CreateProcessW(kvv.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi)) {
        CloseHandle(pi.hThread);
        UniqueHandleObj process(pi.hProcess);
        DWORD code = 1;
        registered = WaitForSingleObject(process.get(), kRegisterTimeoutMs) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(process.get(), &code) && code == 0;
    }
    Log(registered ? "kvv.exe registered OK\n" : "Could not register kvv.exe\n");

    const wchar_t* transport = (GetVersion() & 0x80000000u) ? L"qtcc_w95.dll" : L"qtcc_wnt.dll";
    bool transportRegistered = false;
    if (UniqueModule library{LoadLibraryExW((folder + L"\\" + transport).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)}) {
        using Register = HRESULT(STDAPICALLTYPE*)();
        if (auto call = reinterpret_cast<Register>(reinterpret_cast<void*>(GetProcAddress(library.get(), "DllRegisterServer"))))
            transportRegistered = SUCCEEDED(call());
    }
    Log(transportRegistered ? "qtcc dll registered OK\n" : "Could not register qtcc dll\n");
}

// --- The run ----------------------------------------------------------------------------------

void CUpgrader::RemoveMarker(const char* name) {
    std::vector<char> data(32768);
    if (!ResolvePath("data", data.data(), data.size())) return;
    std::string path = Join(data.data(), name);
    Log("Remove %s\n", path.c_str());
    // Deleting a link would delete what it points at.
    if (IsPlainEntry(ToWide(data.data())) && IsPlainEntry(ToWide(path))) DeleteFileW(ToWide(path).c_str());
}

void CUpgrader::WriteMarker(const char* name) {
    std::vector<char> data(32768);
    if (!ResolvePath("data", data.data(), data.size())) return;
    if (!IsPlainEntry(ToWide(data.data())) || !IsPlainEntry(ToWide(Join(data.data(), name)))) return;
    UniqueHandleObj file(CreateFileW(ToWide(Join(data.data(), name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                     nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) file.release();
}

void CUpgrader::OnRunStep(const char*) {}

// --- The journal ------------------------------------------------------------------------------

namespace {

constexpr char kJournal[] = "upgrade.journal";

// Whether `name` is one the engine gives "program" when it moves it aside: "program.XXXX.old",
// four hexadecimal digits, directly in the client's folder.
bool IsAsideName(std::string_view name) {
    if (name.size() != 16 || !name.starts_with("program.") || !name.ends_with(".old")) return false;
    for (char c : name.substr(8, 4))
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool FolderExists(const Resolved& folder) {
    const DWORD a = folder.ok ? GetFileAttributesW(folder.extended.c_str()) : INVALID_FILE_ATTRIBUTES;
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Whether every file below `newer` (the settings file aside) is in `program` with the same bytes.
bool SameFiles(const std::wstring& newer, const std::wstring& program) {
    bool same = true;
    bool listed = ForEachFolderEntry(newer, [&](const WIN32_FIND_DATAW& found) {
        if (!same || IsSettingsFile(found.cFileName)) return;
        const std::wstring from = JoinWide(newer, found.cFileName), to = JoinWide(program, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            same = IsPlainDirectory(found.dwFileAttributes) && SameFiles(from, to);
            return;
        }
        UniqueHandleObj a(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        UniqueHandleObj b(CreateFileW(to.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (a.get() == INVALID_HANDLE_VALUE) a.release();
        if (b.get() == INVALID_HANDLE_VALUE) b.release();
        same = a && b;
        std::vector<char> x(kCopyBlock), y(kCopyBlock);
        while (same) {
            DWORD gotX = 0, gotY = 0;
            same = ReadFile(a.get(), x.data(), kCopyBlock, &gotX, nullptr) &&
                   ReadFile(b.get(), y.data(), kCopyBlock, &gotY, nullptr) && gotX == gotY &&
                   std::memcmp(x.data(), y.data(), gotX) == 0;
            if (gotX == 0) break;
        }
    });
    return listed && same;
}

// Whether nothing below `folder` is a link: a replacement moves the folder as it is, and a link
// in it would reach outside the client's folder.
bool HoldsNoLinks(const std::wstring& folder, const std::string& shown, std::string& link) {
    bool plain = true;
    bool listed = ForEachFolderEntry(folder, [&](const WIN32_FIND_DATAW& found) {
        if (!plain) return;
        const std::wstring entry = JoinWide(folder, found.cFileName);
        const std::string entryShown = Join(shown, ToAnsi(found.cFileName));
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsOwnEntry(entry)) {
            plain = false;
            link = entryShown;
        } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            plain = HoldsNoLinks(entry, entryShown, link);
        }
    });
    if (!listed && link.empty()) link = shown;
    return listed && plain;
}

}  // namespace

void CUpgrader::WriteJournal(const char* step, const std::string& aside) {
    Resolved journal = Resolve(*this, kJournal);
    const std::wstring fresh = journal.extended + L".new";
    if (journal.ok && IsPlainEntry(journal.extended) && IsPlainEntry(fresh)) {
        std::string text = std::string("[journal]\r\nstep=") + step + "\r\nmethod=" +
                           (runUpdate_ ? "update" : "replacement") + "\r\nbackup=" + (runBackup_ ? "1" : "0") +
                           "\r\naside=" + aside + "\r\n";
        // Written whole to a new name and renamed over the old journal: never half there.
        UniqueHandleObj file(CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
        DWORD put = 0;
        if (!file || !WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &put, nullptr) ||
            put != text.size() || !FlushFileBuffers(file.get()) || !CloseHandle(file.release()) ||
            !MoveFileExW(fresh.c_str(), journal.extended.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            Log("Could not write the upgrade journal\n");
    }
    OnRunStep(step);
}

bool CUpgrader::RemoveJournal() {
    Resolved journal = Resolve(*this, kJournal);
    if (!journal.ok) return false;
    const DWORD a = GetFileAttributesW(journal.extended.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
    // A journal left behind would have every later run finish this upgrade again.
    if (!IsPlainEntry(journal.extended) || (a & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(journal.extended.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(journal.extended.c_str())) return true;
    Log("Could not remove the upgrade journal %s\n", journal.shown.c_str());
    ReportError(0, journal.shown.c_str());
    return false;
}

std::string CUpgrader::AsideName() const {
    for (unsigned n = GetTickCount() & 0xffff, tries = 0; tries < 1000; ++n, ++tries) {
        char name[32];
        std::snprintf(name, sizeof name, "program.%04x.old", n);
        Resolved aside = Resolve(*this, name);
        if (aside.ok && GetFileAttributesW(aside.extended.c_str()) == INVALID_FILE_ATTRIBUTES) return name;
    }
    return {};
}

bool CUpgrader::PutBackupInPlace(const std::string& aside) {
    Resolved program = Resolve(*this, "program"), moved = Resolve(*this, aside.c_str());
    if (!program.ok || !moved.ok || !FolderExists(Resolve(*this, "PrevVersion"))) return false;
    if (FolderExists(program)) {
        if (!IsOwnEntry(program.extended)) return false;  // renaming a link would move its target
        // The failed version goes aside whole, open files, current folders and all; emptying it in
        // place could stop half-way and leave neither version.
        Log("Rename directory %s to %s\n", program.shown.c_str(), moved.shown.c_str());
        if (!MoveFileW(program.extended.c_str(), moved.extended.c_str())) {
            ReportError(5, program.shown.c_str(), moved.shown.c_str());
            Log("Rename directory failed\n");
            return false;
        }
        OnRunStep("set aside");
    }
    bool restored = RenameDirectory("PrevVersion", "program", true);
    if (restored) {
        OnRunStep("restored");
        DropAside(aside);
    } else if (FolderExists(moved) && !FolderExists(program)) {
        MoveFileW(moved.extended.c_str(), program.extended.c_str());  // the best there is
    }
    return restored;
}

void CUpgrader::DropAside(const std::string& aside) {
    if (!IsAsideName(aside)) return;
    Resolved moved = Resolve(*this, aside.c_str());
    if (FolderExists(moved) && CleanDirectory(aside.c_str())) RemoveDirectoryW(moved.extended.c_str());
}

bool CUpgrader::RecoverInterruptedRun(bool& result) {
    // Folders that "program" was moved aside to and that could not be deleted then (a file in
    // them was held open) go now; `keep` is one that still holds the only old version.
    auto sweep = [&](const std::string& keep) {
        Resolved root = Resolve(*this, "program");
        if (!root.ok) return;
        const std::wstring folder = root.extended.substr(0, root.extended.rfind(L'\\'));
        std::vector<std::string> stale;
        ForEachFolderEntry(folder, [&](const WIN32_FIND_DATAW& found) {
            std::string name = ToAnsi(found.cFileName);
            if (IsAsideName(name) && !EqualsNoCase(ToWide(name), ToWide(keep)) &&
                IsPlainDirectory(found.dwFileAttributes) && IsOwnEntry(folder + L"\\" + found.cFileName))
                stale.push_back(name);
        });
        for (const std::string& name : stale) DropAside(name);
    };
    Resolved journal = Resolve(*this, kJournal);
    if (!journal.ok || GetFileAttributesW(journal.extended.c_str()) == INVALID_FILE_ATTRIBUTES) {
        sweep({});
        return false;
    }
    auto read = [&](const char* key) {
        char value[MAX_PATH] = {};
        GetPrivateProfileStringA("journal", key, "", value, sizeof value, journal.shown.c_str());
        return std::string(value);
    };
    const std::string step = read("step");
    std::string aside = read("aside");
    if (!aside.empty() && !IsAsideName(aside)) {
        // The journal names no folder of the engine's: nothing it names is touched.
        Log("Ignoring the journal's aside folder %s\n", aside.c_str());
        aside.clear();
    }
    runUpdate_ = read("method") == "update";
    runBackup_ = read("backup") != "0";
    const bool programThere = FolderExists(Resolve(*this, "program"));
    const bool newThere = FolderExists(Resolve(*this, "NewVersion"));
    const bool prevThere = FolderExists(Resolve(*this, "PrevVersion"));
    // The new version is whole in "program" once it was placed: a replacement's rename went
    // through, or an update's copy ended.
    const bool placed = step == "installed" || (step == "install" && !runUpdate_ && programThere && !newThere);
    if (placed) {
        Log("Finishing an interrupted upgrade\n");
        sweep({});
        if (runUpdate_ && newThere && !SameFiles(Resolve(*this, "NewVersion").extended, Resolve(*this, "program").extended)) {
            // Not the version this journal installed: it waits for the next run.
            Log("A different new version waits in NewVersion: it is left for the next run\n");
        } else if (runUpdate_ && newThere) {
            CleanDirectory("NewVersion");
            if (Resolved emptied = Resolve(*this, "NewVersion"); emptied.ok) RemoveDirectoryW(emptied.extended.c_str());
        }
        RegisterComponents();
        Log("Upgrade SUCCEEDED\n");
        Log("Calling FixDatabase\n");
        if (!FixDatabase()) {
            Log("FilDatabase failed\n");
            result = false;
        } else {
            result = OnUpgradeDone();
        }
        if (!RemoveJournal()) result = false;
        return true;
    }
    Log("Rolling back an interrupted upgrade\n");
    if (runBackup_ && prevThere) {
        // A replacement's new version, if it had been moved in, goes back to wait in NewVersion.
        if (!runUpdate_ && programThere && !newThere && step != "backup")
            RenameDirectory("program", "NewVersion", true);
        if (!FolderExists(Resolve(*this, "program")))
            RenameDirectory("PrevVersion", "program", true);
        else if (runUpdate_ && step != "backup")
            PutBackupInPlace(aside.empty() ? AsideName() : aside);
    } else if (!runBackup_ && !runUpdate_ && !aside.empty() && FolderExists(Resolve(*this, aside.c_str()))) {
        // A replacement without a backup: the old version waits in the folder it was moved to.
        if (programThere && !newThere) RenameDirectory("program", "NewVersion", true);
        if (!FolderExists(Resolve(*this, "program"))) RenameDirectory(aside.c_str(), "program", false);
    }
    // A folder set aside by a restore that was cut short.
    const bool whole = FolderExists(Resolve(*this, "program"));
    sweep(whole ? std::string() : aside);
    if (!RemoveJournal()) {
        // The upgrade must not run under a journal that would send the next run astray.
        result = false;
        return true;
    }
    return false;
}

bool CUpgrader::RestorePreviousVersion() {
    bool restored = false;
    if (!runUpdate_ && !runBackup_ && !programAside_.empty()) {
        // A replacement without a backup: the old version is moved back from where it waited.
        WriteJournal("restore", programAside_);
        if (FolderExists(Resolve(*this, "program"))) RenameDirectory("program", "NewVersion", true);
        restored = !FolderExists(Resolve(*this, "program")) &&
                   RenameDirectory(programAside_.c_str(), "program", false);
    } else if (KeepBackup()) {
        const std::string aside = AsideName();
        WriteJournal("restore", aside);
        if (IsUpdateMethod() == 0) RenameDirectory("program", "NewVersion", true);
        restored = !aside.empty() && PutBackupInPlace(aside);
    }
    // The restored version's programs and libraries are registered again before the user is told.
    if (restored) RegisterComponents();
    ReportUpgradeFailed(restored);
    return restored;
}

bool CUpgrader::RunUpgrade() {
    RemoveMarker("upgrade.ver");
    std::vector<char> root(32768);
    if (!GetClientDirectory(root.data(), root.size())) {
        ShowMessage(IDS_CLIENT_NOT_INSTALLED, MB_ICONSTOP);
        Log("Korvane client is not installed\n");
        Log();
        return false;
    }
    bool result = false;
    const bool wasRunning = IsClientRunning();
    bool stopped = true;
    if (wasRunning) {
        stopped = StopClient();
    } else {
        Log("Client was not running\n");
    }
    if (stopped && RecoverInterruptedRun(result)) {
        if (result && wasRunning) StartClient();
    } else if (stopped && !FolderExists(Resolve(*this, "NewVersion"))) {
        // Nothing to install: the installation and its backup are left as they are.
        Resolved waiting = Resolve(*this, "NewVersion");
        Log("No new version in %s\n", waiting.shown.c_str());
        ReportError(0, waiting.shown.c_str());
    } else if (stopped) {
        bool attempted = false;
        DWORD context = 0;
        runUpdate_ = IsUpdateMethod() != 0;
        if (!runUpdate_) {
            runBackup_ = KeepBackup();
            // Without a backup the old version still goes aside whole, not emptied in place: it
            // is deleted only once the new one is in, and put back if that fails.
            const bool programThere = FolderExists(Resolve(*this, "program"));
            programAside_ = runBackup_ || !programThere ? std::string() : AsideName();
            WriteJournal("backup", programAside_);
            bool ready = runBackup_      ? RenameDirectory("program", "PrevVersion", true)
                         : !programThere ? true
                                         : !programAside_.empty() && RenameDirectory("program", programAside_.c_str(), false);
            if (!ready) {
                ReportBackupFailed();
            } else {
                OnRunStep("backed up");
                if (!OnUpgradeStart()) {
                    Log("OnUpgradeStart failed\n");
                } else {
                    WriteJournal("install", programAside_);
                    Resolved source = Resolve(*this, "NewVersion");
                    std::string link;
                    if (!source.ok || !HoldsNoLinks(source.extended, source.shown, link)) {
                        ReportError(0, link.empty() ? source.shown.c_str() : link.c_str());
                        result = false;
                    } else {
                        result = RenameDirectory("NewVersion", "program", true);
                    }
                    if (result) {
                        OnRunStep("placed");
                        WriteJournal("installed", programAside_);
                        DropAside(programAside_);
                    }
                }
                attempted = true;
            }
        } else {
            bool ready = true;
            runBackup_ = KeepBackup();
            WriteJournal("backup");
            if (runBackup_) {
                ready = CleanDirectory("PrevVersion");
                if (ready) {
                    OnCopyProgress(0, "program", "PrevVersion", 0, 0, &context);
                    ready = CopyDirectory(&context, "program", "PrevVersion", kCopySubfolders);
                    OnCopyProgress(4, nullptr, nullptr, 0, 0, &context);
                }
            }
            if (!ready) {
                ReportBackupFailed();
            } else if (OnRunStep("backed up"), !OnUpgradeStart()) {
                Log("OnUpgradeStart failed\n");
            } else {
                WriteJournal("install");
                OnCopyProgress(0, "NewVersion", "program", 0, 0, &context);
                result = CopyDirectory(&context, "NewVersion", "program", kCopySubfolders | kKeepDestination);
                OnCopyProgress(4, nullptr, nullptr, 0, 0, &context);
                attempted = true;
                if (result) {
                    OnRunStep("copied");
                    WriteJournal("installed");
                    CleanDirectory("NewVersion");
                    Resolved emptied = Resolve(*this, "NewVersion");
                    if (emptied.ok) RemoveDirectoryW(emptied.extended.c_str());
                    OnRunStep("NewVersion removed");
                }
            }
        }

        RegisterComponents();
        OnRunStep("registered");

        if (result) {
            Log("Upgrade SUCCEEDED\n");
            Log("Calling FixDatabase\n");
            if (!FixDatabase()) {
                Log("FilDatabase failed\n");
                result = false;
            } else {
                result = OnUpgradeDone();
            }
        } else if (attempted) {
            Log("Upgrade attempted but failed\n");
            if (RestorePreviousVersion() && wasRunning) StartClient();
        } else {
            Log("Upgrade was not attempted\n");
        }
        if (!RemoveJournal()) result = false;
        if (result && wasRunning) StartClient();
    }
    WriteMarker("upgrade.ok");
    if (result) ReportUpgradeSucceeded();
    Log();
    return result;
}

}  // namespace kv
