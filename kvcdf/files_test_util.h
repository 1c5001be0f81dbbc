// Helpers of the tests that write and delete files: they run in a prefix of their own without
// the host's drive, with C:\kvtest as the current folder.
#pragma once

#include <windows.h>

#include <string>

#include "channelmgr_control.h"
#include "platform/channel_manager.h"
#include "platform/com_object.h"

#include "platform/file_tree.h"
#include "platform/hresult_error.h"
#include "platform/raii.h"

namespace kv::test {

inline void WriteFileText(const std::wstring& path, const std::string& text) {
    size_t cut = path.find_last_of(L'\\');
    CreateDirectoryTree(path.substr(0, cut));
    UniqueHandleObj f(CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!f || !WriteFile(f.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) ThrowLastError();
}

inline std::string ReadFileText(const std::wstring& path) {
    UniqueHandleObj f(CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    if (!f) return "<missing>";
    std::string text(GetFileSize(f.get(), nullptr), '\0');
    DWORD read = 0;
    ReadFile(f.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    text.resize(read);
    return text;
}

inline bool Exists(const std::wstring& path) { return PathAttributes(path) != INVALID_FILE_ATTRIBUTES; }

// A folder under C:\kvtest emptied for one test.
inline std::wstring FreshFolder(const std::wstring& name) {
    std::wstring folder = L"C:\\kvtest\\" + name;
    DeleteTree(folder);
    CreateDirectoryTree(folder);
    return folder + L"\\";
}

// The calls the channel manager stand-in received since the last time, one line each.
inline std::wstring ManagerCalls() {
    ComPtr<IChannelMgrControl> control;
    if (FAILED(CoCreateInstance(kClsidChannelMgr, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IChannelMgrControl),
                                reinterpret_cast<void**>(control.GetAddressOf()))))
        return L"<no channel manager>";
    Bstr calls;
    control->TakeCalls(calls.put());
    return calls.str();
}

}  // namespace kv::test
