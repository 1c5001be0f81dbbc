// SetupAids.dll: the helper functions the client's installer calls. Each export is a plain cdecl
// function with an undecorated name that answers 1 or 0; the library keeps no state between
// calls. Loading it registers the client's window messages. The installer cannot take a C++
// exception: each export answers as it does for its own failures when one reaches it.
#include <windows.h>
#include <ddeml.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/raii.h"
#include "setupaids/dde_exit.h"
#include "setupaids/launch.h"
#include "setupaids/version_checks.h"
#include "uninstall/client_messages.h"

namespace {

constexpr char kWarningCaption[] = "Warning";
constexpr char kNoBrowserText[] =
    "Neither Netscape Navigator nor Internet Explorer were found on your computer. You will encounter problems "
    "using Korvane. You can add the helper application manually to your browser later by running REGISTER.EXE "
    "from the Korvane Program directory.\n\nDo you want to continue the installation?";
constexpr char kCloseNetscapeText[] = "Make sure to close any open Netscape browsers before continuing.";

constexpr const char* kCompanionClasses[] = {"KorvaneInfocenterClass", "RQ_TBAR_WINDOW_CLASS",
                                             "RQ_CAPTEXE_WINDOW_CLASS"};
constexpr int kCompanionChecks = 10;
constexpr DWORD kCheckPeriodMs = 1000;
constexpr int kAfterCompanionsSeconds = 5;
constexpr DWORD kClientTimeoutMs = 20000;

bool KeyOpens(const char* path, REGSAM access) {
    kv::UniqueHkey key;
    return RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, access, key.put()) == ERROR_SUCCESS;
}

// The whole profile string, however long (the API truncates silently to the buffer it is given).
std::string ProfileString(const char* section, const char* key, const char* fallback) {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetProfileStringA(section, key, fallback, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length + 1 < buffer.size() || buffer.size() >= 65536) return std::string(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

bool AnyFileMatches(const std::string& name) {
    WIN32_FIND_DATAA found;
    return static_cast<bool>(kv::UniqueFindHandle(FindFirstFileA(name.c_str(), &found)));
}

HDDEDATA CALLBACK IgnoreDdeTransaction(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
    return nullptr;
}

// `body`'s answer, or `onFailure` when it throws.
template <class Body>
int Answer(int onFailure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return onFailure;
    }
}

}  // namespace

extern "C" {

int __cdecl CheckBrowsersExist() {
    return Answer(0, [&] {
        if (KeyOpens("Software\\Netscape\\Netscape Navigator", KEY_ALL_ACCESS)) return 0;
        std::string ini = ProfileString("Netscape", "ini", "!");
        if (ini != "!" && AnyFileMatches(ini)) return 0;
        if (!KeyOpens("Software\\Microsoft\\Internet Explorer", KEY_READ) &&
            MessageBoxA(nullptr, kNoBrowserText, kWarningCaption, MB_YESNO | MB_ICONWARNING) == IDNO)
            return 1;
        return 0;
    });
}

int __cdecl CloseKorvane() {
    return Answer(0, [&] {
        bool closedAny = false;
        for (const char* cls : kCompanionClasses) {
            if (HWND window = FindWindowA(cls, nullptr)) {
                HWND popup = GetLastActivePopup(window);
                if (popup && popup != window) PostMessageA(popup, WM_CLOSE, 0, 0);
                PostMessageA(window, WM_CLOSE, 0, 0);
                closedAny = true;
            }
        }
        for (const char* cls : kCompanionClasses) {
            for (int i = 0; i < kCompanionChecks && FindWindowA(cls, nullptr); ++i) Sleep(kCheckPeriodMs);
        }
        if (closedAny) {
            for (int i = 0; i < kAfterCompanionsSeconds; ++i) Sleep(kCheckPeriodMs);
        }
        for (const char* cls : kCompanionClasses) {
            if (FindWindowA(cls, nullptr)) return 0;
        }

        HWND client = FindWindowA(nullptr, kv::clientmsg::kMainWindowTitle);
        if (!client) return 1;
        DWORD_PTR answer = 0;
        // A client that does not answer in time counts as closed: the installer goes on.
        if (!SendMessageTimeoutA(client, kv::clientmsg::CanCloseUI, 0, 0, SMTO_NORMAL, kClientTimeoutMs, &answer))
            return 1;
        if (answer != 0) return 0;

        DWORD processId = 0;
        GetWindowThreadProcessId(client, &processId);
        kv::UniqueHandleObj process(OpenProcess(SYNCHRONIZE, FALSE, processId));
        if (PostMessageA(client, WM_CLOSE, 0, 0) && process &&
            WaitForSingleObject(process.get(), kClientTimeoutMs) == WAIT_OBJECT_0) {
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
            if (HMODULE helper = GetModuleHandleA("RovEzuv")) FreeLibrary(helper);
        }
        return 1;
    });
}

int __cdecl CloseNetscape() {
    return Answer(0, [&] {
        DWORD instance = 0;
        if (DdeInitializeA(&instance, IgnoreDdeTransaction, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) {
            MessageBoxA(nullptr, kCloseNetscapeText, kWarningCaption, MB_OK | MB_ICONWARNING);
            return 0;
        }
        // Opening a conversation on this topic is what asks each running Netscape to exit.
        int asked = kv::setupaids::ConnectToEveryServer("netscape", "WWW_Exit");
        DdeUninitialize(instance);
        return asked > 0 ? 1 : 0;
    });
}

int __cdecl IsIE301OrHigher() {
    return Answer(0, [&] {
        auto path = kv::setupaids::SystemFile("\\SHDOCVW.DLL");
        if (!path || GetFileAttributesA(path->c_str()) == INVALID_FILE_ATTRIBUTES) return 0;
        std::vector<char> version = kv::setupaids::ReadVersionResource(*path);
        if (version.empty()) return 0;
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(version.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
            length < sizeof(VS_FIXEDFILEINFO))
            return 0;
        return kv::setupaids::IsShellVersionIE301OrHigher(fixed->dwFileVersionMS, fixed->dwFileVersionLS) ? 1 : 0;
    });
}

int __cdecl IsOLEAUT32Available() {
    return Answer(0, [&] {
        auto path = kv::setupaids::SystemFile("\\OLEAUT32.DLL");
        if (!path || GetFileAttributesA(path->c_str()) == INVALID_FILE_ATTRIBUTES) return 0;
        // Present: only a version that can be read and proves too old says no.
        return Answer(1, [&] {
            std::vector<char> version = kv::setupaids::ReadVersionResource(*path);
            if (version.empty()) return 1;
            char* text = nullptr;
            UINT length = 0;
            if (!VerQueryValueA(version.data(), "\\StringFileInfo\\040904E4\\FileVersion",
                                reinterpret_cast<void**>(&text), &length) ||
                !text)
                return 1;
            std::string value(text, strnlen(text, length));
            return kv::setupaids::IsOleAutVersionTextNewEnough(value) ? 1 : 0;
        });
    });
}

int __cdecl LaunchApplication(const char* path, const char* arguments) {
    return Answer(0, [&] {
        std::string program = kv::setupaids::LaunchProgramPath(path);
        if (program.empty()) return 0;
        std::string line = kv::setupaids::LaunchCommandLine(program, arguments ? arguments : "");
        return kv::setupaids::RunAndWait(line) ? 1 : 0;
    });
}

}  // extern "C"
