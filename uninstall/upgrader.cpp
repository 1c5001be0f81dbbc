#include "uninstall/upgrader.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/raii.h"
#include "platform/text.h"
#include "uninstall/folder_tree.h"
#include "uninstall/client_messages.h"
#include "uninstall/uninstall_res.h"
#include "uninstall/wait_for_ui_dialog.h"

namespace kv {

namespace {

constexpr char kAppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvane.exe";
constexpr DWORD kAnswerTimeoutMs = 40000;
constexpr DWORD kExitTimeoutMs = 40000;
constexpr DWORD kSettleMs = 1000;

// The one upgrade log of the process, shared by every CUpgrader.
FILE* g_log = nullptr;

bool IsAbsolute(const char* name) {
    auto slash = [](char c) { return c == '\\' || c == '/'; };
    if (slash(name[0])) return true;
    return name[0] != '\0' && name[1] == ':' && slash(name[2]);
}

// A path that names its drive: "X:\..." or "\\server\...".
bool IsFullPath(const char* path) {
    auto slash = [](char c) { return c == '\\' || c == '/'; };
    return (path[0] != '\0' && path[1] == ':' && slash(path[2])) || (slash(path[0]) && slash(path[1]));
}

// Copies `text` with its terminating zero; false (and an empty buffer) when it does not fit.
bool CopyText(const char* text, char* buffer, size_t size) {
    size_t length = std::strlen(text);
    if (length >= size) {
        if (size) buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, text, length + 1);
    return true;
}

}  // namespace

CUpgrader::~CUpgrader() { Log(); }

bool CUpgrader::GetClientDirectory(char* buffer, size_t size) const {
    if (!buffer || size == 0) return false;
    buffer[0] = '\0';
    UniqueHkey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAppPathsKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD bytes = static_cast<DWORD>(size > MAXDWORD ? MAXDWORD : size);
    if (RegQueryValueExA(key.get(), "Path", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        buffer[0] = '\0';
        return false;
    }
    // A stored value need not carry its terminating zero; it must still fit with one.
    if (bytes == 0 || buffer[bytes - 1] != '\0') {
        if (bytes >= size) {
            buffer[0] = '\0';
            return false;
        }
        buffer[bytes] = '\0';
    }
    // An empty or relative value would name the current drive's root or folder: no client there.
    if (!IsFullPath(buffer)) {
        buffer[0] = '\0';
        return false;
    }
    if (char* last = std::strrchr(buffer, '\\'); last && _stricmp(last + 1, "program") == 0) last[1] = '\0';
    return true;
}

bool CUpgrader::ResolvePath(const char* name, char* buffer, size_t size) const {
    if (!name || !buffer || size == 0) return false;
    if (IsAbsolute(name)) return CopyText(name, buffer, size);
    if (!GetClientDirectory(buffer, size)) return false;
    size_t root = std::strlen(buffer);
    bool needSeparator = root == 0 || buffer[root - 1] != '\\';
    size_t length = std::strlen(name);
    if (root + (needSeparator ? 1 : 0) + length >= size) {
        buffer[0] = '\0';
        return false;
    }
    if (needSeparator) buffer[root++] = '\\';
    std::memcpy(buffer + root, name, length + 1);
    return true;
}

void CUpgrader::Log(const char* format, ...) {
    if (!format) {
        Log();
        return;
    }
    if (!g_log) {
        char path[MAX_PATH];
        if (!ResolvePath("data", path, sizeof path)) return;
        size_t length = std::strlen(path);
        constexpr char kFile[] = "\\upgrade.log";
        const char* file = length && path[length - 1] == '\\' ? kFile + 1 : kFile;
        if (length + std::strlen(file) >= sizeof path) return;
        std::strcat(path, file);
        // Never through a link: opening it would empty what it points at.
        std::wstring wide = ToWide(path);
        if (!IsPlainEntry(wide.substr(0, wide.rfind(L'\\'))) || !IsPlainEntry(wide)) return;
        // Binary: the lines reach the file exactly as formatted.
        g_log = std::fopen(path, "wb");
        if (!g_log) return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(g_log, format, args);
    va_end(args);
    // Kept on disk at once: the log is what is left to read when a stop or upgrade goes wrong.
    std::fflush(g_log);
}

void CUpgrader::Log() {
    if (g_log) {
        std::fclose(g_log);
        g_log = nullptr;
    }
}

bool CUpgrader::IsClientRunning() const { return FindWindowA(nullptr, clientmsg::kMainWindowTitle) != nullptr; }

bool CUpgrader::StopClient() {
    Log("Stopping client\n");
    HWND client = FindWindowA(nullptr, clientmsg::kMainWindowTitle);
    if (!client) return true;
    // The process is opened now, while its window surely exists: a user who quits the client
    // while the wait dialog is up leaves no window to find the process by afterwards.
    DWORD processId = 0;
    GetWindowThreadProcessId(client, &processId);
    UniqueHandleObj process(processId ? OpenProcess(SYNCHRONIZE, FALSE, processId) : nullptr);

    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(client, clientmsg::CanCloseUI, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs, &answer))
        return false;
    if (answer != 0) {
        Log("Tell user to close the UI\n");
        WaitForUiDialog dialog(resources_, IDD_WAIT_FOR_UI, client);
        dialog.Run();
    }

    Log("Sending WM_CLOSE to client\n");
    if (!process) {
        Log("OpenProcess failed\n");
        return false;
    }
    // A client whose window has gone meanwhile is already on its way out: it is only waited for.
    bool told = PostMessageA(client, WM_CLOSE, 0, 0) || !IsWindow(client);
    bool stopped = false;
    if (told && WaitForSingleObject(process.get(), kExitTimeoutMs) == WAIT_OBJECT_0) {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
        if (HMODULE helper = GetModuleHandleA("RovEzuv")) FreeLibrary(helper);
        stopped = true;
    }
    process.reset();
    Sleep(kSettleMs);
    Log(stopped ? "Stop client OK\n" : "Stop client FAILED\n");
    return stopped;
}

}  // namespace kv
