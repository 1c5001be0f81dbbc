// The channel manager stand-in: CLSID_ChannelMgr answering IChannelMgr over the user's
// Favorites\Channels folder. A channel shortcut is a folder named by the channel's title holding
// a desktop.ini whose [.ShellClassInfo] CDFURL names the channel file; a title "A\B" puts the
// shortcut in the category folder A, a folder without a desktop.ini. Titles and paths that would
// leave the channels folder are refused.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "channelmgr_control.h"
#include "comserver/server_module.h"
#include "platform/channel_manager.h"
#include "platform/file_tree.h"
#include "platform/raii.h"
#include "platform/text.h"

namespace {

using kv::Bstr;
using kv::ComObject;
using kv::ComPtr;

// The calls and armed failures every instance of the process shares.
class Journal {
public:
    static Journal& Get() {
        static Journal journal;
        return journal;
    }
    // The armed failure for this call of `method`, or S_OK; `holdMs` receives how long an armed
    // hold keeps the call from returning. Holds are counted apart from failures.
    HRESULT Enter(const std::wstring& method, const std::wstring& line, DWORD* holdMs = nullptr) {
        std::lock_guard lock(lock_);
        calls_ += line + L"\n";
        for (auto& h : holds_)
            if (h.method == method && h.nth > 0 && --h.nth == 0 && holdMs) *holdMs = h.ms;
        for (auto& f : failures_) {
            if (f.method != method) continue;
            if (f.nth == 0) return f.hr;
            if (--f.nth == 0) {
                HRESULT hr = f.hr;
                f.method.clear();
                return hr;
            }
        }
        return S_OK;
    }
    void Fail(std::wstring method, LONG nth, HRESULT hr) {
        std::lock_guard lock(lock_);
        failures_.push_back({std::move(method), nth, hr});
    }
    void Hold(std::wstring method, LONG nth, DWORD ms) {
        std::lock_guard lock(lock_);
        holds_.push_back({std::move(method), nth, ms});
    }
    void ClearFailures() {
        std::lock_guard lock(lock_);
        failures_.clear();
        holds_.clear();
    }
    std::wstring Calls() {
        std::lock_guard lock(lock_);
        return calls_;
    }
    void ClearCalls() {
        std::lock_guard lock(lock_);
        calls_.clear();
    }
    std::wstring TakeCalls() {
        std::lock_guard lock(lock_);
        return std::exchange(calls_, std::wstring());
    }

private:
    struct Failure {
        std::wstring method;
        LONG nth;
        HRESULT hr;
    };
    struct ArmedHold {
        std::wstring method;
        LONG nth;
        DWORD ms;
    };
    std::mutex lock_;
    std::wstring calls_;
    std::vector<Failure> failures_;
    std::vector<ArmedHold> holds_;
};

bool IsPlainComponent(std::wstring_view name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name)
        if (c < 32 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos) return false;
    return true;
}

// "A\B\C" of plain components only: a path that stays inside the channels folder.
bool IsInsidePath(std::wstring_view path) {
    for (;;) {
        size_t cut = path.find(L'\\');
        if (!IsPlainComponent(path.substr(0, cut))) return false;
        if (cut == std::wstring_view::npos) return true;
        path.remove_prefix(cut + 1);
    }
}

std::wstring ChannelsFolder() {
    wchar_t favorites[MAX_PATH];
    kv::ThrowIfFailed(SHGetFolderPathW(nullptr, CSIDL_FAVORITES | CSIDL_FLAG_CREATE, nullptr, 0, favorites));
    std::wstring folder = std::wstring(favorites) + L"\\channels";
    if (!kv::CreateDirectoryTree(folder)) kv::ThrowHr(E_FAIL);
    return folder;
}

std::wstring IniOf(const std::wstring& folder) { return kv::ExtendedPath(folder + L"\\desktop.ini"); }

// The channel file address of a shortcut folder; nothing when the folder is not a shortcut.
std::optional<std::wstring> ShortcutUrl(const std::wstring& folder) {
    if (kv::PathAttributes(folder + L"\\desktop.ini") == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    std::vector<wchar_t> url(32768);
    DWORD n = GetPrivateProfileStringW(L".ShellClassInfo", L"CDFURL", L"", url.data(), static_cast<DWORD>(url.size()),
                                       IniOf(folder).c_str());
    if (n == 0) return std::nullopt;
    return std::wstring(url.data(), n);
}

wchar_t* TaskString(const std::wstring& text) {
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* p = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (!p) kv::ThrowHr(E_OUTOFMEMORY);
    memcpy(p, text.c_str(), bytes);
    return p;
}

struct Shortcut {
    std::wstring title, path, url;
};

void Collect(const std::wstring& folder, std::vector<Shortcut>& out) {
    WIN32_FIND_DATAW found;
    kv::UniqueFindHandle find(FindFirstFileW(kv::ExtendedPath(folder + L"\\*").c_str(), &found));
    if (!find) return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L".." || !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        std::wstring path = folder + L"\\" + name;
        if (auto url = ShortcutUrl(path))
            out.push_back({name, path, *url});
        else
            Collect(path, out);  // a category folder
    } while (FindNextFileW(find.get(), &found));
}

class ChannelEnum : public ComObject<ChannelEnum, IEnumChannels> {
public:
    ChannelEnum(std::vector<Shortcut> items, DWORD flags) : items_(std::move(items)), flags_(flags) {}

    STDMETHODIMP Next(ULONG count, CHANNELENUMINFO* records, ULONG* fetched) override try {
        auto* out = reinterpret_cast<kv::ChannelEnumInfo*>(records);
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        // The caller states the size of the records it gives, as the shell's manager requires.
        for (ULONG i = 0; i < count; ++i)
            if (out[i].cbSize != sizeof(kv::ChannelEnumInfo)) return E_INVALIDARG;
        ULONG n = 0;
        for (; n < count && next_ < items_.size(); ++n, ++next_) {
            const Shortcut& s = items_[next_];
            kv::ChannelEnumInfo info{};
            info.cbSize = sizeof info;
            if (flags_ & CHANENUM_TITLE) info.pszTitle = TaskString(s.title);
            if (flags_ & CHANENUM_PATH) info.pszPath = TaskString(s.path);
            if (flags_ & CHANENUM_URL) info.pszURL = TaskString(s.url);
            info.stSubscriptionState = SUBSTATE_NOTSUBSCRIBED;
            out[n] = info;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    } catch (...) {
        return kv::CaughtHResult();
    }
    STDMETHODIMP Skip(ULONG count) override {
        next_ = std::min(items_.size(), next_ + static_cast<size_t>(count));
        return next_ < items_.size() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumChannels** copy) override try {
        if (!copy) return E_POINTER;
        auto c = kv::MakeObject<ChannelEnum>(items_, flags_);
        c->next_ = next_;
        *copy = c.Detach();
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }

private:
    std::vector<Shortcut> items_;
    DWORD flags_;
    size_t next_ = 0;
};

class ChannelManager : public ComObject<ChannelManager, IChannelMgr, IChannelMgrControl> {
public:
    STDMETHODIMP AddChannelShortcut(CHANNELSHORTCUTINFO* info) override try {
        if (!info) return E_POINTER;
        std::wstring title = info->pszTitle ? info->pszTitle : L"";
        std::wstring url = info->pszURL ? info->pszURL : L"";
        HRESULT hr = Journal::Get().Enter(
            L"AddChannelShortcut",
            L"AddChannelShortcut " + std::to_wstring(info->cbSize) + L" " + title + L" " + url);
        if (FAILED(hr)) return hr;
        if (info->cbSize < offsetof(CHANNELSHORTCUTINFO, pszLogo) || !IsInsidePath(title) || url.empty())
            return E_INVALIDARG;
        std::wstring folder = ChannelsFolder() + L"\\" + title;
        if (!kv::CreateDirectoryTree(folder)) return E_FAIL;
        if (!WritePrivateProfileStringW(L".ShellClassInfo", L"CDFURL", url.c_str(), IniOf(folder).c_str()))
            return E_FAIL;
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }
    STDMETHODIMP DeleteChannelShortcut(LPWSTR path) override try {
        std::wstring relative = path ? path : L"";
        HRESULT hr = Journal::Get().Enter(L"DeleteChannelShortcut", L"DeleteChannelShortcut " + relative);
        if (FAILED(hr)) return hr;
        if (!IsInsidePath(relative)) return E_INVALIDARG;
        std::wstring folder = ChannelsFolder() + L"\\" + relative;
        if (!ShortcutUrl(folder)) return S_FALSE;
        return kv::DeleteTree(folder) ? S_OK : E_FAIL;
    } catch (...) {
        return kv::CaughtHResult();
    }
    STDMETHODIMP AddCategory(CHANNELCATEGORYINFO*) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteCategory(LPWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP EnumChannels(DWORD flags, LPCWSTR url, IEnumChannels** out) override try {
        if (!out) return E_POINTER;
        *out = nullptr;
        wchar_t hex[16];
        wsprintfW(hex, L"%X", flags);
        DWORD hold = 0;
        HRESULT hr = Journal::Get().Enter(L"EnumChannels", L"EnumChannels " + std::wstring(hex), &hold);
        if (FAILED(hr)) return hr;
        std::vector<Shortcut> items;
        if (flags & CHANENUM_CHANNELFOLDER) Collect(ChannelsFolder(), items);
        if (url) std::erase_if(items, [&](const Shortcut& s) { return !kv::EqualsNoCase(s.url, url); });
        *out = kv::MakeObject<ChannelEnum>(std::move(items), flags).Detach();
        if (hold) Sleep(hold);  // the folder listed, the caller not yet told
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }

    STDMETHODIMP FailCall(BSTR method, LONG nth, LONG hr) override try {
        Journal::Get().Fail(method ? method : L"", nth, hr);
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }
    STDMETHODIMP TakeCalls(BSTR* calls) override try {
        if (!calls) return E_POINTER;
        *calls = Bstr(Journal::Get().TakeCalls()).Detach();
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }
    STDMETHODIMP HoldCall(BSTR method, LONG nth, LONG ms) override try {
        // Only the listing holds; a hold longer than a test's wait for the worker is no use.
        if (!method || std::wstring_view(method) != L"EnumChannels" || nth < 1 || ms <= 0 || ms > 10000)
            return E_INVALIDARG;
        Journal::Get().Hold(method, nth, static_cast<DWORD>(ms));
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }
    STDMETHODIMP ClearFailures() override {
        Journal::Get().ClearFailures();
        return S_OK;
    }
    STDMETHODIMP GetCalls(BSTR* calls) override try {
        if (!calls) return E_POINTER;
        *calls = Bstr(Journal::Get().Calls()).Detach();
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }
    STDMETHODIMP ClearCalls() override {
        Journal::Get().ClearCalls();
        return S_OK;
    }
};

const kv::ServerClass kClass = {&kv::kClsidChannelMgr, &kv::CreateObject<ChannelManager>};

}  // namespace

extern "C" {
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) { return kv::ServerDllMain(instance, reason, kClass); }
STDAPI DllCanUnloadNow() { return kv::ServerCanUnloadNow(); }
STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) { return kv::ServerGetClassObject(clsid, riid, ppv); }
STDAPI DllRegisterServer() { return kv::ServerRegister(); }
STDAPI DllUnregisterServer() {
    kv::ServerUnregister();
    return S_OK;
}
}
