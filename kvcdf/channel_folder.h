// The extension's only access to the shell's channel store, Favorites\Channels: it lists the
// channel shortcuts there (cached by title), adds and deletes them through the channel manager,
// asks the Active Desktop to refresh, and watches the folder for folders the user adds, removes
// or renames.
//
// Threads: created and called on the worker thread. StartWatch starts a watcher thread that only
// posts (window, message, wParam = this) when the folder changes and clears the caches; the caches
// are guarded for that. Suspend/Resume bracket the worker's own changes: a notice that arrives
// while suspended is dropped, not delayed.
#pragma once

#include <windows.h>
#include <wininet.h>  // before shlobj.h: it declares the Active Desktop only after it
#include <shlobj.h>

#include <functional>
#include <map>
#include <set>
#include <vector>
#include <optional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/channel_manager.h"
#include "platform/com_object.h"
#include "platform/raii.h"
#include "kvcdf/shortcut_name.h"

namespace kv::cdf {

class ChannelFolder {
public:
    // Asks the Active Desktop to apply its changes; a failing HRESULT means there is no desktop.
    // The default creates CLSID_ActiveDesktop once and calls ApplyChanges(AD_APPLY_REFRESH |
    // AD_APPLY_FORCE).
    using DesktopRefresh = std::function<HRESULT()>;

    // Creates the channel manager and finds Favorites\Channels (made when it is missing). Throws
    // E_FAIL when the Favorites folder is not registered, the manager's HRESULT when it cannot be
    // created (E_NOINTERFACE leaves no manager: every use then throws E_POINTER).
    explicit ChannelFolder(DesktopRefresh refresh = {});
    ~ChannelFolder();
    ChannelFolder(const ChannelFolder&) = delete;
    ChannelFolder& operator=(const ChannelFolder&) = delete;

    // The channels folder, ending in a backslash.
    const std::wstring& Folder() const noexcept { return folder_; }

    void ClearCache();
    // Clears the caches and refreshes the desktop; false when there is no desktop (from then on).
    bool RefreshDesktop();

    // Titles are compared by their stored names (kvcdf/shortcut_name.h): "acme corp" finds the
    // shortcut made for "Acme Corp.". Usually one shortcut has a title; a person may have made
    // another of the same name in another folder.
    struct Shortcut {
        std::wstring title, path, url;
    };
    std::vector<Shortcut> Find(std::wstring_view title);
    bool IsPublished(std::wstring_view title) { return !Find(title).empty(); }
    // The path and URL of the shortcut of that title, empty when there is none.
    std::wstring LookupPath(std::wstring_view title);
    std::wstring LookupUrl(std::wstring_view title);
    // The shortcut at `relative` below the channels folder.
    std::optional<Shortcut> At(std::wstring_view relative);
    bool IsShortcut(std::wstring_view relative) { return At(relative).has_value(); }
    // The shortcut a Channels entry names: the one at that path below the channels folder. An
    // entry of a bare title from before entries held the category finds the one shortcut of
    // that title inside a category folder.
    std::optional<Shortcut> Recorded(std::wstring_view entry);
    // Whether anything, a shortcut or not, lies at `relative` below the channels folder.
    bool Exists(std::wstring_view relative) const;
    // The shortcuts whose URL is `url` (compared without regard to case), wherever they lie: the
    // kit's shortcut after a person moved it or renamed its category folder.
    std::vector<Shortcut> WithUrl(std::wstring_view url);
    // Whether the shortcut at `shortcut.path` names `shortcut.url` now: asked of the manager, not
    // of the cached listing, right before the shortcut is changed or removed. A person may have
    // put their own in its place since the listing.
    bool StillNames(const Shortcut& shortcut);

    // Adds a shortcut; "Category\Title" places it in a category folder. The manager is given the
    // stored name, with notices suspended. Throws the manager's HRESULT.
    void Add(std::wstring_view title, std::wstring_view url);
    // Deletes the one shortcut of that title by its path below the channels folder. True when
    // there was none or it was deleted; false when the manager found nothing, when several
    // shortcuts carry the title, when the shortcut holds other shortcuts, or when its path does
    // not lie inside the channels folder (then nothing is asked of the manager). A shortcut that
    // holds the user's files loses only its own files; the folder and theirs stay.
    bool Remove(std::wstring_view title);
    // The same for the shortcut at `path`, as listed.
    bool RemovePath(const std::wstring& path);
    // Adds the one shortcut of that title again, at the same place with the same URL, while it
    // still names that URL.
    void Reapply(std::wstring_view title);
    void Reapply(const Shortcut& shortcut);

    // Every channel shortcut: (title, path, url) until `visit` returns false. True when the
    // listing ran to its end.
    using Visitor = std::function<bool(const std::wstring& title, const std::wstring& path, const std::wstring& url)>;
    bool Enumerate(const Visitor& visit);
    // The same, for the shortcuts the channel manager lists for `url` (every one when null).
    bool EnumerateUrl(const wchar_t* url, const Visitor& visit);

    void StartWatch(HWND window, UINT message);
    void StopWatch();
    void Suspend();
    void Resume();
    // Whether a notice was held back since the last call (or is waiting for the watcher now).
    // A folder check asks it after its pass: such a notice may be a person's change that the
    // pass listed too early to see.
    bool TakeHeldNotice();

    // The path of `path` below `folder`, when it lies inside it (compared without regard to case):
    // "C:\F\Channels\Business\News" below "C:\f\channels\" is "Business\News". Nothing for paths
    // outside, the folder itself, or a result with a "." or ".." segment.
    static std::optional<std::wstring> RelativeTo(std::wstring_view folder, std::wstring_view path);

private:
    void FillCaches();
    // Whether other shortcuts lie inside the shortcut at `path`.
    bool HoldsShortcuts(const std::wstring& path);
    // The shortcut's own files at `path` (desktop.ini, icons); nothing when it holds anything else.
    static std::optional<std::vector<std::wstring>> OwnFiles(const std::wstring& path);
    static bool IsShortcutFile(std::wstring_view name) noexcept;
    IChannelMgr* Manager() const;
    static DWORD WINAPI WatchThread(void* self);
    void Watch();

    ComPtr<IChannelMgr> manager_;
    DesktopRefresh refresh_;
    ComPtr<IActiveDesktop> desktop_;
    bool desktopAvailable_ = true;

    std::mutex cacheLock_;
    bool filled_ = false;
    std::map<std::wstring, std::vector<Shortcut>, StoredNameLess> titles_;
    std::map<std::wstring, Shortcut, StoredNameLess> paths_;
    // Paths by URL, made from paths_ when first asked for: only a shortcut missing from its
    // place needs it.
    struct UrlLess {
        bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
    };
    bool urlsFilled_ = false;
    std::multimap<std::wstring, std::wstring, UrlLess> urls_;
    std::wstring folder_;

    UniqueHandleObj thread_;
    UniqueHandleObj stop_;
    UniqueChangeNotification change_;
    HWND window_ = nullptr;
    UINT message_ = 0;
    // Suspension and the decision to post are made under one lock, so that a notice for a change
    // made while suspended is dropped even when the watcher sees it only after Resume.
    std::mutex watchLock_;
    LONG suspended_ = 0;
    bool dropPending_ = false;
    bool held_ = false;
};

// Holds the watcher's notices for one scope, also when it is left by an exception.
class SuspendScope {
public:
    explicit SuspendScope(ChannelFolder& folder) : folder_(folder) { folder_.Suspend(); }
    ~SuspendScope() { folder_.Resume(); }
    SuspendScope(const SuspendScope&) = delete;
    SuspendScope& operator=(const SuspendScope&) = delete;

private:
    ChannelFolder& folder_;
};

}  // namespace kv::cdf
