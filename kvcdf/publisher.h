// Publishes one channel as an Active Channel: its template folder copied into the channel's
// folder, the template's .cdf expanded there (%BASE_URL%, %TITLE%, %ABSTRACT%, and %STORY_LIST%
// for a parcel channel), and the channel shortcut added to Favorites\Channels, in its category
// folder. A parcel whose description says data_type=ie/cdf is a channel file of its own and is
// expanded in place.
//
// Runs on the worker thread, one publication at a time. Failures are thrown as HResultError;
// files already written stay.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <string_view>

#include "framework/category_map.h"
#include "korvane_client.h"
#include "kvcdf/channel_folder.h"
#include "kvcdf/channel_records.h"
#include "kvcdf/client_channel_source.h"
#include "kvcdf/registry_value_list.h"

namespace kv::cdf {

// Whether copying the folder `from` into `to` (both ending in a backslash) writes only inside
// `to`: `to` (or, while it is missing, the nearest folder above it) lies where named, with no link
// on its path, and so does every entry there that the copy would write.
bool CopyStaysWhereNamed(const std::wstring& from, const std::wstring& to);

// The shell calls whose outcome Wine does not report: the product uses this class as it is, a
// test observes the calls through a subclass.
class ShellFiles {
public:
    virtual ~ShellFiles() = default;
    // SHFileOperation; its result.
    virtual int FileOperation(SHFILEOPSTRUCTW& operation);
    // SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATH, folder).
    virtual void FolderChanged(const std::wstring& folder);
};

struct PublisherSetup {
    HINSTANCE module;  // strings 103 and 105-109
    const ClientChannelSource& source;
    ChannelFolder& folder;
    ChannelRecords& channels;  // the Channels list
    const ExcludeList& exclude;
    const CategoryMap& categories;
    std::wstring directoryUpdateChannel;  // ChnDirUpdateChannel: the directory channel's key
    ShellFiles& shell;
};

class Publisher {
public:
    static constexpr DWORD kExcludeParcels = 2;
    // What a publication throws when a folder it would write in is a link, or lies below one.
    static constexpr HRESULT kLeadsElsewhere = HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE);
    // Every shell file operation runs without a word to the user: a dialog on the hidden worker
    // would wait for ever.
    static constexpr FILEOP_FLAGS kCopyFlags = FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI;

    explicit Publisher(const PublisherSetup& setup);

    // The channel's template (its own folder under the template root, else "Default", or
    // "Directory" for the directory channel) into its folder, expanded, and its shortcut added
    // (or, when the shortcut of `entry` exists, the shell told that it changed). `entry` is the
    // channel's Channels entry: its shortcut's path below the channels folder ("News",
    // "Business\\News (2)"); empty for a channel not yet published, whose shortcut is given the
    // first title that nothing else in the channels folder or the Channels list carries ("News",
    // "News (2)", ...) and recorded under its path with the channel's id before it is added.
    // Returns the entry; empty when the record could not be written (nothing was added).
    std::wstring PublishChannel(IClientChannel* channel, std::wstring_view name, std::wstring_view entry = {});

    // Publishes the parcel when its description's [presentation] data_type is "ie/cdf" (any case)
    // and its channel's Exclude flags lack 2; then refreshes the desktop if a publication asked
    // for it.
    enum class ParcelResult { NotChannelFile, Excluded, Published };
    ParcelResult PublishIfCdfParcel(IClientParcel* parcel);
    void PublishCdfParcel(IClientChannel* channel, IClientParcel* parcel);

    bool DesktopRefreshNeeded() const noexcept { return refreshNeeded_; }
    // Refreshes the desktop when a publication asked for it.
    void RefreshDesktopIfNeeded();

private:
    std::wstring TemplateFolder(IClientChannel* channel, std::wstring_view name, bool directoryFlag) const;
    // A title for a new shortcut of the kit: `name`, or "name (k)", that no shortcut, record or
    // file of the channels folder (at the top or in `category`) carries.
    std::wstring FreeTitle(std::wstring_view name, std::wstring_view category);
    // `category`, or "category (k)", that is no shortcut and no file: a category folder is never
    // made inside a shortcut.
    std::wstring FreeCategory(std::wstring_view category);
    // Records `entry` under `id` with `url`, then adds the shortcut at `placed`; the record goes
    // again when the shortcut cannot be added. False when the record could not be written.
    bool RecordAndAdd(const std::wstring& entry, LONG id, const std::wstring& placed, const std::wstring& url);
    // Adds the shortcut of channel `id` (whose folder is `local`) at its entry's path (a new one
    // in `category` when the entry is empty or its place is taken, also by a shortcut that is not
    // the kit's); the entry, or empty when it could not be written.
    std::wstring AddShortcut(LONG id, std::wstring_view name, std::wstring_view entry, std::wstring_view category,
                             const std::wstring& url, const std::wstring& local);

    PublisherSetup s_;
    std::wstring defaultTemplate_, directoryTemplate_;
    std::wstring baseUrlName_, titleName_, abstractName_, storyListName_, storyPage_;
    bool refreshNeeded_ = false;
};

// "file://" and the short form of `path` (the long form when there is none), of any length;
// backslashes stay, and a trailing backslash is kept.
std::wstring FileUrl(const std::wstring& path);

// The short (8.3) name of the file `path`, or its long name when it has none; E_FAIL when missing.
std::wstring ShortName(const std::wstring& path);

// The first file of `folder` (ending in a backslash) whose long name ends in ".cdf" (any case):
// its long and short names. Nothing when there is none.
struct FoundFile {
    std::wstring longName, shortName;
};
std::optional<FoundFile> FindChannelFile(const std::wstring& folder);

// Whether `name` is one path component that names nothing but itself: not empty, not "." or
// "..", none of \ / : * ? " < > | or control characters, and not empty once the file system has
// trimmed its trailing dots and blanks, and not a device's name before its first dot ("CON",
// "lpt1.txt").
bool IsPlainComponent(std::wstring_view name) noexcept;

// When `name` is a device's name before its first dot, the length of that part; otherwise 0.
size_t DeviceStem(std::wstring_view name) noexcept;

// The k-th distinct name for `name`: "News (2)", and for a device's name "CON (2).News".
std::wstring NumberedComponent(std::wstring_view name, int k);

// Whether `url`, listed for the shortcut of Channels entry `entry`, still names what the kit wrote
// there: the address recorded with the entry (compared without regard to case) or, for an entry
// recorded before addresses were kept, a file directly inside `localFolder`, the folder of the
// entry's channel (nothing when it is not known). A shortcut a person put in the place of the
// kit's names their own file: it is not the kit's.
bool IsOwnShortcut(ChannelRecords& records, std::wstring_view entry, std::wstring_view url, std::wstring_view localFolder);

// Whether a shortcut title is `name` itself or a distinct name made from it: "News", "News (2)"
// and "CON (2).News" are names of "News" and "CON.News"; "News (2)" is not a name of "News (3)".
bool IsNameOf(std::wstring_view shortcut, std::wstring_view name);

// Whether the title `name` takes (StoredTitle) is plain or becomes plain once numbered: a
// shortcut can be made for it.
bool IsPublishableComponent(std::wstring_view name) noexcept;

// A shortcut title: plain components separated by single backslashes.
bool IsPlainTitle(std::wstring_view title) noexcept;

// "C:\..." or "\\server\share\...".
bool IsAbsoluteFolder(std::wstring_view folder) noexcept;

}  // namespace kv::cdf
