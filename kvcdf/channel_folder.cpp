#include "kvcdf/channel_folder.h"

#include <cstring>
#include <vector>

#include "platform/file_tree.h"
#include "platform/hresult_error.h"
#include "platform/text.h"

namespace kv::cdf {
namespace {

constexpr DWORD kContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD kEnumFlags = CHANENUM_CHANNELFOLDER | CHANENUM_SOFTUPDATEFOLDER | CHANENUM_DESKTOPFOLDER |
                             CHANENUM_TITLE | CHANENUM_PATH | CHANENUM_URL;

// Favorites where the channel manager finds it: the shell's answer, not its cache of folder
// names, which may spell the folder otherwise or still name a place the user moved it from.
std::wstring FavoritesFolder() {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_FAVORITES | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path)) ||
        !path[0])
        ThrowHr(E_FAIL);
    // One spelling for every path compared with the manager's: no doubled separators.
    std::wstring value;
    for (const wchar_t* c = path; *c; ++c)
        if (!(*c == L'\\' && !value.empty() && value.back() == L'\\' && value.size() > 1)) value += *c;
    return value;
}

// CoTaskMemFree for the strings of one enumeration record.
struct EnumRecord : ChannelEnumInfo {
    EnumRecord() : ChannelEnumInfo{} { cbSize = sizeof(ChannelEnumInfo); }
    ~EnumRecord() {
        CoTaskMemFree(pszTitle);
        CoTaskMemFree(pszPath);
        CoTaskMemFree(pszURL);
    }
    EnumRecord(const EnumRecord&) = delete;
    EnumRecord& operator=(const EnumRecord&) = delete;
};

std::wstring Text(const wchar_t* s) { return s ? std::wstring(s) : std::wstring(); }

}  // namespace

ChannelFolder::ChannelFolder(DesktopRefresh refresh) : refresh_(std::move(refresh)) {
    ComPtr<IUnknown> unknown;
    HRESULT hr = CoCreateInstance(kClsidChannelMgr, nullptr, kContext, IID_IUnknown,
                                  reinterpret_cast<void**>(unknown.GetAddressOf()));
    if (SUCCEEDED(hr)) hr = OleRun(unknown.Get());
    if (SUCCEEDED(hr)) hr = unknown.As(&manager_);
    if (FAILED(hr) && hr != E_NOINTERFACE) ThrowHr(hr);

    folder_ = FavoritesFolder();
    if (folder_.back() != L'\\') folder_ += L'\\';
    folder_ += L"channels\\";
    CreateDirectoryTree(folder_);  // a fresh profile has none yet
}

ChannelFolder::~ChannelFolder() { StopWatch(); }

IChannelMgr* ChannelFolder::Manager() const { return ThrowIfNull(manager_.Get()); }

void ChannelFolder::ClearCache() {
    std::lock_guard lock(cacheLock_);
    filled_ = false;
    titles_.clear();
    paths_.clear();
    urlsFilled_ = false;
    urls_.clear();
}

bool ChannelFolder::UrlLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_LESS_THAN;
}

std::vector<ChannelFolder::Shortcut> ChannelFolder::WithUrl(std::wstring_view url) {
    std::lock_guard lock(cacheLock_);
    FillCaches();
    if (!urlsFilled_) {
        for (const auto& [path, shortcut] : paths_) urls_.emplace(shortcut.url, path);
        urlsFilled_ = true;
    }
    std::vector<Shortcut> out;
    auto [first, last] = urls_.equal_range(std::wstring(url));
    for (auto it = first; it != last; ++it) out.push_back(paths_.at(it->second));
    return out;
}

bool ChannelFolder::RefreshDesktop() {
    ClearCache();
    if (!desktopAvailable_) return false;
    if (!refresh_) {
        if (!desktop_ && FAILED(CoCreateInstance(CLSID_ActiveDesktop, nullptr, kContext, IID_IActiveDesktop,
                                                 reinterpret_cast<void**>(desktop_.GetAddressOf())))) {
            desktopAvailable_ = false;
            return false;
        }
        desktop_->ApplyChanges(AD_APPLY_REFRESH | AD_APPLY_FORCE);  // the shell's answer changes nothing here
        return true;
    }
    if (FAILED(refresh_())) {
        desktopAvailable_ = false;
        return false;
    }
    return true;
}

void ChannelFolder::FillCaches() {
    // Called with the cache lock held: a notice arriving meanwhile clears after the fill.
    if (filled_) return;
    titles_.clear();
    paths_.clear();
    urlsFilled_ = false;
    urls_.clear();
    Enumerate([this](const std::wstring& title, const std::wstring& path, const std::wstring& url) {
        titles_[title].push_back({title, path, url});
        paths_.emplace(path, Shortcut{title, path, url});
        return true;
    });
    filled_ = true;
}

std::vector<ChannelFolder::Shortcut> ChannelFolder::Find(std::wstring_view title) {
    std::lock_guard lock(cacheLock_);
    FillCaches();
    auto it = titles_.find(title);
    return it == titles_.end() ? std::vector<Shortcut>() : it->second;
}

std::wstring ChannelFolder::LookupPath(std::wstring_view title) {
    auto found = Find(title);
    return found.empty() ? std::wstring() : found.front().path;
}

std::wstring ChannelFolder::LookupUrl(std::wstring_view title) {
    auto found = Find(title);
    return found.empty() ? std::wstring() : found.front().url;
}

std::optional<ChannelFolder::Shortcut> ChannelFolder::At(std::wstring_view relative) {
    std::lock_guard lock(cacheLock_);
    FillCaches();
    auto it = paths_.find(folder_ + std::wstring(relative));
    if (it == paths_.end()) return std::nullopt;
    return it->second;
}

std::optional<ChannelFolder::Shortcut> ChannelFolder::Recorded(std::wstring_view entry) {
    if (auto shortcut = At(entry)) return shortcut;
    if (entry.find(L'\\') != std::wstring_view::npos) return std::nullopt;
    auto found = Find(entry);
    if (found.size() != 1) return std::nullopt;
    auto relative = RelativeTo(folder_, found.front().path);
    if (!relative || relative->find(L'\\') == std::wstring::npos) return std::nullopt;
    return found.front();
}

bool ChannelFolder::Exists(std::wstring_view relative) const {
    return PathAttributes(folder_ + StoredName(relative)) != INVALID_FILE_ATTRIBUTES;
}

bool ChannelFolder::HoldsShortcuts(const std::wstring& path) {
    std::lock_guard lock(cacheLock_);
    FillCaches();
    std::wstring inside = path + L"\\";
    auto it = paths_.lower_bound(inside);
    return it != paths_.end() && it->first.size() > inside.size() &&
           SameStoredName(std::wstring_view(it->first).substr(0, inside.size() - 1), path);
}

bool ChannelFolder::IsShortcutFile(std::wstring_view name) noexcept {
    return EqualsNoCase(name, L"desktop.ini") ||
           (name.size() > 4 && EqualsNoCase(name.substr(name.size() - 4), L".ico"));
}

std::optional<std::vector<std::wstring>> ChannelFolder::OwnFiles(const std::wstring& path) {
    // The manager does not list what lies inside a shortcut: anything there but its desktop.ini
    // and icons is someone else's.
    std::vector<std::wstring> own;
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(FindFirstFileW(ExtendedPath(path + L"\\*").c_str(), &found));
    if (!find) return own;
    do {
        std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsShortcutFile(name)) return std::nullopt;
        own.emplace_back(name);
    } while (FindNextFileW(find.get(), &found));
    return own;
}

void ChannelFolder::Add(std::wstring_view title, std::wstring_view url) {
    std::wstring t = StoredName(title), u(url);
    CHANNELSHORTCUTINFO info{};
    info.cbSize = sizeof info;
    info.pszTitle = t.data();
    info.pszURL = u.data();
    info.bIsSoftware = FALSE;
    // The shortcut's own folder, and a category folder made for it, are no news for the watcher.
    SuspendScope suspended(*this);
    ThrowIfFailed(Manager()->AddChannelShortcut(&info));
}

std::optional<std::wstring> ChannelFolder::RelativeTo(std::wstring_view folder, std::wstring_view path) {
    if (folder.empty() || path.size() <= folder.size()) return std::nullopt;
    if (CompareStringOrdinal(folder.data(), static_cast<int>(folder.size()), path.data(),
                             static_cast<int>(folder.size()), TRUE) != CSTR_EQUAL)
        return std::nullopt;
    std::wstring relative(path.substr(folder.size()));
    if (folder.back() != L'\\') {
        if (relative.front() != L'\\') return std::nullopt;  // "C:\F\Channels2" is not inside "C:\F\Channels"
        relative.erase(0, 1);
    }
    size_t start = 0;
    for (;;) {
        size_t end = relative.find(L'\\', start);
        std::wstring_view segment = std::wstring_view(relative).substr(start, end == std::wstring::npos ? relative.npos : end - start);
        if (segment.empty() || segment == L"." || segment == L".." || segment.find(L'/') != segment.npos ||
            segment.find(L':') != segment.npos)
            return std::nullopt;
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return relative;
}

bool ChannelFolder::Remove(std::wstring_view title) {
    auto found = Find(title);
    if (found.empty()) return true;
    if (found.size() > 1) return false;  // which one is the kit's is not known: none is touched
    return RemovePath(found.front().path);
}

bool ChannelFolder::RemovePath(const std::wstring& path) {
    auto relative = RelativeTo(folder_, path);
    if (!relative) return false;  // never ask for a deletion outside the channels folder
    // The manager deletes the shortcut's folder with what it holds: never another shortcut, and
    // never the user's own files. With those in it, only the shortcut's own files go.
    if (HoldsShortcuts(path)) return false;
    SuspendScope suspended(*this);
    if (!OwnFiles(path)) {
        for (const char* pattern : {"desktop.ini", "*.ico"}) {
            WIN32_FIND_DATAW found;
            std::wstring wildcard = path + L"\\" + std::wstring(pattern, pattern + strlen(pattern));
            UniqueFindHandle find(FindFirstFileW(ExtendedPath(wildcard).c_str(), &found));
            if (!find) continue;
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsShortcutFile(found.cFileName)) {
                    std::wstring file = ExtendedPath(path + L"\\" + found.cFileName);
                    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileW(file.c_str());
                }
            } while (FindNextFileW(find.get(), &found));
        }
        ClearCache();
        return PathAttributes(path + L"\\desktop.ini") == INVALID_FILE_ATTRIBUTES;
    }
    HRESULT hr = ThrowIfFailed(Manager()->DeleteChannelShortcut(relative->data()));
    return hr == S_OK;
}

void ChannelFolder::Reapply(std::wstring_view title) {
    auto found = Find(title);
    if (found.size() == 1) Reapply(found.front());
}

bool ChannelFolder::StillNames(const Shortcut& shortcut) {
    bool named = false;
    EnumerateUrl(shortcut.url.c_str(), [&](const std::wstring&, const std::wstring& path, const std::wstring& url) {
        named = SameStoredName(path, shortcut.path) && EqualsNoCase(url, shortcut.url);
        return !named;
    });
    return named;
}

void ChannelFolder::Reapply(const Shortcut& shortcut) {
    auto relative = RelativeTo(folder_, shortcut.path);
    if (!relative || !StillNames(shortcut)) return;
    SuspendScope suspended(*this);
    Add(*relative, shortcut.url);
}

bool ChannelFolder::Enumerate(const Visitor& visit) { return EnumerateUrl(nullptr, visit); }

bool ChannelFolder::EnumerateUrl(const wchar_t* url, const Visitor& visit) {
    ComPtr<IEnumChannels> channels;
    ThrowIfFailed(Manager()->EnumChannels(kEnumFlags, url, channels.GetAddressOf()));
    ThrowIfNull(channels.Get());
    for (;;) {
        EnumRecord record;
        ULONG fetched = 0;
        if (channels->Next(1, reinterpret_cast<CHANNELENUMINFO*>(static_cast<ChannelEnumInfo*>(&record)), &fetched) !=
                S_OK ||
            fetched != 1)
            return true;
        if (!visit(Text(record.pszTitle), Text(record.pszPath), Text(record.pszURL))) return false;
    }
}

void ChannelFolder::StartWatch(HWND window, UINT message) {
    StopWatch();
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_) ThrowHr(E_FAIL);
    std::wstring folder = folder_.substr(0, folder_.size() - 1);
    change_.reset(FindFirstChangeNotificationW(ExtendedPath(folder).c_str(), TRUE, FILE_NOTIFY_CHANGE_DIR_NAME));
    if (!change_) ThrowHr(E_FAIL);
    window_ = window;
    message_ = message;
    thread_.reset(CreateThread(nullptr, 0, &ChannelFolder::WatchThread, this, CREATE_SUSPENDED, nullptr));
    if (!thread_) ThrowHr(E_FAIL);
    if (ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) {
        TerminateThread(thread_.get(), 0);  // it never ran: nothing of it is left behind
        thread_.reset();
        ThrowHr(E_FAIL);
    }
}

void ChannelFolder::StopWatch() {
    if (stop_) {
        SetEvent(stop_.get());
        // The thread uses this object: it must be gone before the object can go. It waits for
        // nothing but its two handles, so it ends at once.
        if (thread_) WaitForSingleObject(thread_.get(), INFINITE);
        stop_.reset();
    }
    change_.reset();
    thread_.reset();
}

void ChannelFolder::Suspend() {
    std::lock_guard lock(watchLock_);
    ++suspended_;
}

void ChannelFolder::Resume() {
    std::lock_guard lock(watchLock_);
    if (suspended_ > 0 && --suspended_ == 0 && change_ && WaitForSingleObject(change_.get(), 0) == WAIT_OBJECT_0)
        dropPending_ = true;  // the change was made while suspended; the watcher has not seen it yet
}

bool ChannelFolder::TakeHeldNotice() {
    std::lock_guard lock(watchLock_);
    bool held = held_ || (change_ && WaitForSingleObject(change_.get(), 0) == WAIT_OBJECT_0);
    held_ = false;
    return held;
}

DWORD WINAPI ChannelFolder::WatchThread(void* self) {
    static_cast<ChannelFolder*>(self)->Watch();
    return 0;
}

void ChannelFolder::Watch() {
    HANDLE handles[] = {change_.get(), stop_.get()};
    for (;;) {
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) return;
        {
            std::lock_guard lock(watchLock_);
            bool drop = suspended_ > 0 || dropPending_;
            dropPending_ = false;
            held_ = held_ || drop;
            if (!drop && !PostMessageW(window_, message_, reinterpret_cast<WPARAM>(this), 0)) return;
            if (!FindNextChangeNotification(change_.get())) return;
        }
        ClearCache();
    }
}

}  // namespace kv::cdf
