#include "kvcdf/publisher.h"

#include <shlobj.h>

#include <algorithm>
#include <memory>

#include "kvcdf/channel_properties.h"
#include "kvcdf/template_expander.h"
#include "platform/comma_list.h"
#include "platform/file_tree.h"
#include "platform/raii.h"
#include "platform/text.h"

namespace kv::cdf {
namespace {

// How many numbered names are tried before a channel is reported as not publishable.
constexpr int kMaxNumber = 1000;

constexpr UINT kTemplatesString = 103, kBaseUrlString = 105, kTitleString = 106, kAbstractString = 107,
               kStoryListString = 108, kStoryPageString = 109;

std::wstring WithBackslash(std::wstring folder) {
    if (folder.empty() || folder.back() != L'\\') folder += L'\\';
    return folder;
}

std::wstring BstrText(HRESULT hr, Bstr& text) {
    ThrowIfFailed(hr);
    return text.str();
}

// The final path of what `path` names ("C:\\...", "\\\\server\\..."), links resolved; empty when it
// cannot be opened or lies on no drive (Wine's "\\\\?\\unix\\..." for what lies outside them).
std::wstring FinalPath(const std::wstring& path) {
    UniqueHandleObj handle(CreateFileW(ExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return {};
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetFinalPathNameByHandleW(handle.get(), text.data(), static_cast<DWORD>(text.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return {};
        if (n < text.size()) {
            text.resize(n);
            break;
        }
        text.resize(n + 1);
    }
    if (text.starts_with(L"\\\\?\\UNC\\")) return L"\\" + text.substr(7);
    if (text.starts_with(L"\\\\?\\")) text.erase(0, 4);
    bool drive = text.size() >= 2 && text[1] == L':';
    return drive ? text : std::wstring();
}

std::wstring_view WithoutTrailingBackslash(std::wstring_view path) {
    while (path.size() > 1 && path.back() == L'\\' && !(path.size() == 3 && path[1] == L':')) path.remove_suffix(1);
    return path;
}

// Whether what `path` names is that entry itself, reached through no link: its final path is its
// own. A drive that is another name for a folder (an alias drive) counts as that folder; a link
// (symbolic or a junction) in the path, or at the entry itself, leads elsewhere.
bool LiesWhereNamed(const std::wstring& path) {
    if (PathAttributes(path) & FILE_ATTRIBUTE_REPARSE_POINT) return false;  // also when it is missing
    std::wstring final = FinalPath(path);
    if (final.empty()) return false;
    std::wstring named = path;
    if (DWORD n = GetLongPathNameW(path.c_str(), nullptr, 0); n > 0) {
        std::wstring expanded(n, L'\0');
        DWORD got = GetLongPathNameW(path.c_str(), expanded.data(), n);
        if (got > 0 && got < n) named = expanded.substr(0, got);
    }
    if (named.size() >= 3 && named[1] == L':' && named[2] == L'\\') {
        std::wstring root = FinalPath(named.substr(0, 3));
        if (root.empty()) return false;
        while (!root.empty() && root.back() == L'\\') root.pop_back();
        named = root + named.substr(2);
    }
    return EqualsNoCase(WithoutTrailingBackslash(final), WithoutTrailingBackslash(named));
}

// `path`, or the nearest folder above it that exists.
std::wstring NearestExisting(std::wstring path) {
    while (PathAttributes(path) == INVALID_FILE_ATTRIBUTES) {
        std::wstring_view trimmed = WithoutTrailingBackslash(path);
        size_t cut = trimmed.find_last_of(L'\\');
        if (cut == std::wstring_view::npos || trimmed.size() <= 3) break;
        path = std::wstring(trimmed.substr(0, cut + 1));
    }
    return path;
}

}  // namespace

bool CopyStaysWhereNamed(const std::wstring& from, const std::wstring& to) {
    // A folder the copy is still to make lies where its nearest existing folder lies.
    if (!LiesWhereNamed(NearestExisting(to))) return false;
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(FindFirstFileW(ExtendedPath(from + L"*").c_str(), &found));
    if (!find) return true;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring target = to + name;
        if (PathAttributes(target) == INVALID_FILE_ATTRIBUTES) continue;
        if (!LiesWhereNamed(target)) return false;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            !CopyStaysWhereNamed(from + name + L"\\", target + L"\\"))
            return false;
    } while (FindNextFileW(find.get(), &found));
    return true;
}

namespace {

// A double-NUL-terminated list of one path.
std::wstring PathList(const std::wstring& path) { return path + L'\0'; }

}  // namespace

int ShellFiles::FileOperation(SHFILEOPSTRUCTW& operation) { return SHFileOperationW(&operation); }

void ShellFiles::FolderChanged(const std::wstring& folder) {
    SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHW, folder.c_str(), nullptr);
}

size_t DeviceStem(std::wstring_view name) noexcept {
    size_t end = std::min(name.find(L'.'), name.size());
    std::wstring_view stem = name.substr(0, end);
    while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
    auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; };
    auto is = [&](std::wstring_view word) {
        if (stem.size() < word.size()) return false;
        for (size_t i = 0; i < word.size(); ++i)
            if (upper(stem[i]) != word[i]) return false;
        return true;
    };
    bool device = (stem.size() == 3 && (is(L"CON") || is(L"PRN") || is(L"AUX") || is(L"NUL"))) ||
                  (stem.size() == 4 && (is(L"COM") || is(L"LPT")) && stem[3] >= L'1' && stem[3] <= L'9');
    return device ? end : 0;
}

bool IsPlainComponent(std::wstring_view name) noexcept {
    if (name.empty() || name == L"." || name == L"..") return false;
    if (name.find_last_not_of(L". ") == std::wstring_view::npos) return false;
    for (wchar_t c : name)
        if (c < 32 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos) return false;
    return DeviceStem(name) == 0;
}

std::wstring NumberedComponent(std::wstring_view name, int k) {
    // "CON.News (2)" still names the device: the number goes after the device's name.
    size_t stem = DeviceStem(name);
    if (stem == 0) return NumberedName(name, k);
    return NumberedName(name.substr(0, stem), k) + std::wstring(name.substr(stem));
}

bool IsNameOf(std::wstring_view shortcut, std::wstring_view name) {
    std::wstring base = StoredTitle(name);
    if (SameStoredName(shortcut, base)) return true;
    size_t stem = DeviceStem(base);
    if (stem == 0) {
        std::wstring_view unnumbered = UnnumberedName(shortcut);
        if (SameStoredName(unnumbered, base)) return true;
        // A long title numbered gave up its end to the number.
        return unnumbered.size() != shortcut.size() && shortcut.size() + 1 >= kMaxTitle &&
               unnumbered.size() < base.size() && SameStoredName(unnumbered, std::wstring_view(base).substr(0, unnumbered.size()));
    }
    // "CON (2).News" for "CON.News".
    std::wstring_view rest = std::wstring_view(base).substr(stem);
    std::wstring shortcutName = StoredName(shortcut);
    std::wstring_view s = shortcutName;
    if (s.size() < rest.size() || !SameStoredName(s.substr(s.size() - rest.size()), rest)) return false;
    s.remove_suffix(rest.size());
    std::wstring_view unnumbered = UnnumberedName(s);
    return unnumbered.size() != s.size() && SameStoredName(unnumbered, std::wstring_view(base).substr(0, stem));
}

bool IsPublishableComponent(std::wstring_view name) noexcept {
    try {
        std::wstring title = StoredTitle(name);
        return IsPlainComponent(title) || IsPlainComponent(NumberedComponent(title, 2));
    } catch (...) {
        return false;
    }
}

bool IsPlainTitle(std::wstring_view title) noexcept {
    for (;;) {
        size_t cut = title.find(L'\\');
        if (!IsPlainComponent(title.substr(0, cut))) return false;
        if (cut == std::wstring_view::npos) return true;
        title.remove_prefix(cut + 1);
    }
}

bool IsAbsoluteFolder(std::wstring_view folder) noexcept {
    bool drive = folder.size() >= 3 && ((folder[0] | 0x20) >= L'a' && (folder[0] | 0x20) <= L'z') &&
                 folder[1] == L':' && folder[2] == L'\\';
    bool share = folder.size() >= 5 && folder.starts_with(L"\\\\") && folder[2] != L'\\' && folder[2] != L'?' &&
                 folder.find(L'\\', 2) != std::wstring_view::npos;
    return drive || share;
}

bool IsOwnShortcut(ChannelRecords& records, std::wstring_view entry, std::wstring_view url, std::wstring_view localFolder) {
    std::wstring address = records.Address(entry);
    if (!address.empty()) return EqualsNoCase(address, url);
    if (localFolder.empty()) return false;
    std::wstring folder = WithBackslash(std::wstring(localFolder));
    // The kit writes the short form; the long one is tried first, as it costs no file system call.
    for (int form = 0; form < 2; ++form) {
        std::wstring prefix = form == 0 ? L"file://" + folder : FileUrl(folder);
        if (url.size() > prefix.size() && EqualsNoCase(url.substr(0, prefix.size()), prefix) &&
            url.find(L'\\', prefix.size()) == std::wstring_view::npos)
            return true;
    }
    return false;
}

std::wstring FileUrl(const std::wstring& path) {
    std::wstring text = path;
    DWORD n = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (n > 0) {
        std::wstring shortPath(n, L'\0');
        DWORD got = GetShortPathNameW(path.c_str(), shortPath.data(), n);
        if (got > 0 && got < n) {
            shortPath.resize(got);
            if (!path.empty() && path.back() == L'\\' && shortPath.back() != L'\\') shortPath += L'\\';
            text = std::move(shortPath);
        }
    }
    return L"file://" + text;
}

std::wstring ShortName(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(FindFirstFileW(ExtendedPath(path).c_str(), &found));
    if (!find) ThrowHr(E_FAIL);
    return found.cAlternateFileName[0] ? found.cAlternateFileName : found.cFileName;
}

std::optional<FoundFile> FindChannelFile(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(FindFirstFileW(ExtendedPath(folder + L"*.cdf").c_str(), &found));
    if (!find) return std::nullopt;
    do {
        std::wstring_view name = found.cFileName;
        // The pattern also matches "x.cdfx" through the short name: the long name decides.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name.size() < 4 ||
            !EqualsNoCase(name.substr(name.size() - 4), L".cdf"))
            continue;
        std::wstring longName(name);
        std::wstring shortName = found.cAlternateFileName[0] ? found.cAlternateFileName : longName;
        return FoundFile{longName, shortName};
    } while (FindNextFileW(find.get(), &found));
    return std::nullopt;
}

Publisher::Publisher(const PublisherSetup& setup) : s_(setup) {
    auto templates = LoadCommaList(s_.module, kTemplatesString);
    if (templates.size() < 2) ThrowHr(E_FAIL);
    defaultTemplate_ = templates[0];
    directoryTemplate_ = templates[1];
    baseUrlName_ = LoadStringResource(s_.module, kBaseUrlString);
    titleName_ = LoadStringResource(s_.module, kTitleString);
    abstractName_ = LoadStringResource(s_.module, kAbstractString);
    storyListName_ = LoadStringResource(s_.module, kStoryListString);
    storyPage_ = LoadStringResource(s_.module, kStoryPageString);
}

std::wstring Publisher::TemplateFolder(IClientChannel* channel, std::wstring_view name, bool directoryFlag) const {
    const std::wstring& root = s_.source.CdfRoot();
    if (!IsAbsoluteFolder(root)) ThrowHr(E_FAIL);
    // Only a name that stays one component below the root may pick a folder of its own.
    if (IsPlainComponent(name) && IsDirectory(root + std::wstring(name))) return root + std::wstring(name) + L"\\";
    bool isDirectoryChannel = false;
    if (directoryFlag) {
        Bstr key;
        isDirectoryChannel = EqualsNoCase(BstrText(channel->GetDirectoryKey(key.put()), key), s_.directoryUpdateChannel);
    }
    return root + (isDirectoryChannel ? directoryTemplate_ : defaultTemplate_) + L"\\";
}

std::wstring Publisher::PublishChannel(IClientChannel* channel, std::wstring_view name, std::wstring_view title) {
    ThrowIfNull(channel);
    ChannelProperties properties(channel);
    bool directoryFlag = properties.Flag(ChannelProperties::kDirectoryChannel);
    std::wstring templateFolder = TemplateFolder(channel, name, directoryFlag);

    Bstr local;
    std::wstring destination = WithBackslash(BstrText(channel->GetLocalFolder(local.put()), local));
    if (!IsAbsoluteFolder(destination)) ThrowHr(E_FAIL);  // "\" would put the copy at the drive's root

    // The shell's copy takes paths of at most MAX_PATH characters: a longer one fails, it is never cut.
    std::wstring from = PathList(templateFolder + L"*.*"), to = PathList(destination);
    if (from.size() > MAX_PATH || to.size() > MAX_PATH) ThrowHr(E_FAIL);
    // With one file to copy and no folder there, the shell would make the file's copy under the
    // folder's name: the folder is made first.
    // A channel folder that is a link, or lies below one, would take the copy and the .cdf to
    // the link's target: that channel is not published. Its folders are not made through one.
    if (!LiesWhereNamed(NearestExisting(destination))) ThrowHr(kLeadsElsewhere);
    if (!CreateDirectoryTree(destination)) ThrowHr(E_FAIL);
    if (!CopyStaysWhereNamed(templateFolder, destination)) ThrowHr(kLeadsElsewhere);
    SHFILEOPSTRUCTW copy{};
    copy.wFunc = FO_COPY;
    copy.pFrom = from.c_str();
    copy.pTo = to.c_str();
    copy.fFlags = kCopyFlags;
    if (s_.shell.FileOperation(copy) != 0 || copy.fAnyOperationsAborted) ThrowHr(E_FAIL);

    std::wstring baseUrl = FileUrl(destination);
    auto values = std::make_shared<TemplateValues>();
    values->Set(baseUrlName_, XmlEscape(baseUrl));
    values->Set(titleName_, XmlEscape(name));
    values->Set(abstractName_, XmlEscape(properties.Text(ChannelProperties::kAbstract)));

    auto file = FindChannelFile(templateFolder);
    if (!file) ThrowHr(E_FAIL);
    TemplateExpander(values).Expand(destination + file->longName, templateFolder + file->longName);

    std::wstring category;
    if (!directoryFlag) category = s_.categories.Lookup(properties.Text(ChannelProperties::kCategoryPath));
    LONG id = 0;
    ThrowIfFailed(channel->GetId(&id));
    // Short names are made per folder: the copy's own short name, not the template's.
    std::wstring placed =
        AddShortcut(id, name, title, category, baseUrl + ShortName(destination + file->longName), destination);
    if (!placed.empty()) refreshNeeded_ = true;
    return placed;
}

std::wstring Publisher::FreeCategory(std::wstring_view category) {
    std::wstring base = StoredTitle(category);
    for (int k = 1; k <= kMaxNumber; ++k) {
        std::wstring candidate = k == 1 ? base : NumberedComponent(base, k);
        if (!IsPlainComponent(candidate) || s_.folder.IsShortcut(candidate)) continue;
        DWORD attributes = PathAttributes(s_.folder.Folder() + candidate);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        // A folder that leads elsewhere (a link) would take the shortcut out of the channels folder.
        if (attributes != INVALID_FILE_ATTRIBUTES && !LiesWhereNamed(s_.folder.Folder() + candidate)) continue;
        return candidate;
    }
    ThrowHr(E_FAIL);  // every name taken, or none the file system takes as a folder
}

std::wstring Publisher::FreeTitle(std::wstring_view name, std::wstring_view category) {
    std::wstring base = StoredTitle(name);
    for (int k = 1; k <= kMaxNumber; ++k) {
        std::wstring candidate = k == 1 ? base : NumberedComponent(base, k);
        if (!IsPlainComponent(candidate) || s_.folder.IsPublished(candidate) || s_.channels.HasTitle(candidate) || s_.folder.Exists(candidate) ||
            (!category.empty() && s_.folder.Exists(std::wstring(category) + L"\\" + candidate)))
            continue;
        return candidate;
    }
    ThrowHr(E_FAIL);  // the channel is not publishable: it stops no other
}

std::wstring Publisher::AddShortcut(LONG id, std::wstring_view name, std::wstring_view entry,
                                    std::wstring_view category, const std::wstring& url, const std::wstring& local) {
    if (!entry.empty()) {
        if (auto existing = s_.folder.Recorded(entry)) {
            if (IsOwnShortcut(s_.channels, entry, existing->url, local)) {
                s_.shell.FolderChanged(existing->path);
                return std::wstring(entry);
            }
        } else {
            // The recorded place is taken again while nothing else took it.
            size_t cut = entry.find_last_of(L'\\');
            bool parentFree = cut == std::wstring_view::npos || !s_.folder.IsShortcut(entry.substr(0, cut));
            if (parentFree && !s_.folder.Exists(entry) && IsPlainTitle(entry)) {
                try {
                    if (!s_.channels.SetAddress(entry, url)) ThrowHr(E_FAIL);
                    s_.folder.Add(entry, url);
                } catch (...) {
                    s_.channels.Remove(entry);  // no shortcut: not taken for one the user deleted
                    throw;
                }
                return std::wstring(entry);
            }
        }
    }
    // A name that would lead the shortcut out of the channels folder gets none.
    if (!IsPublishableComponent(name)) ThrowHr(E_INVALIDARG);
    std::wstring folder = category.empty() ? std::wstring() : FreeCategory(category);
    std::wstring title = FreeTitle(name, folder);
    std::wstring placed = folder.empty() ? title : folder + L"\\" + title;
    if (!entry.empty()) s_.channels.Remove(entry);
    if (!RecordAndAdd(placed, id, placed, url)) return {};
    return placed;
}

bool Publisher::RecordAndAdd(const std::wstring& title, LONG id, const std::wstring& placed, const std::wstring& url) {
    if (!s_.channels.Set(title, static_cast<DWORD>(id))) return false;
    try {
        if (!s_.channels.SetAddress(title, url)) ThrowHr(E_FAIL);
        s_.folder.Add(placed, url);
    } catch (...) {
        // A record without its shortcut would read as a shortcut the user deleted.
        s_.channels.Remove(title);
        throw;
    }
    return true;
}

Publisher::ParcelResult Publisher::PublishIfCdfParcel(IClientParcel* parcel) {
    ThrowIfNull(parcel);
    Bstr description;
    ThrowIfFailed(parcel->GetDescriptionFile(description.put()));
    wchar_t type[MAX_PATH] = {};
    GetPrivateProfileStringW(L"presentation", L"data_type", L"", type, MAX_PATH, description.str().c_str());
    ParcelResult result = ParcelResult::NotChannelFile;
    if (type[0] && EqualsNoCase(type, L"ie/cdf")) {
        result = ParcelResult::Excluded;
        ComPtr<IClientChannel> channel;
        ThrowIfFailed(parcel->GetChannel(channel.GetAddressOf()));
        ThrowIfNull(channel.Get());
        Bstr name;
        ThrowIfFailed(channel->GetName(name.put()));
        LONG flags = 0;
        ThrowIfFailed(channel->GetFlags(&flags));
        // A hidden channel has no shortcut: neither has its parcel.
        if (!(flags & ClientChannelSource::kHiddenChannel) && !(s_.exclude.Lookup(name.view()) & kExcludeParcels)) {
            PublishCdfParcel(channel.Get(), parcel);
            result = ParcelResult::Published;
        }
    }
    RefreshDesktopIfNeeded();
    return result;
}

void Publisher::PublishCdfParcel(IClientChannel* channel, IClientParcel* parcel) {
    ThrowIfNull(channel);
    ThrowIfNull(parcel);
    ChannelProperties properties(channel);
    std::wstring title = properties.Text(ChannelProperties::kTitle);
    if (title.empty()) return;

    Bstr folderText;
    std::wstring folder = WithBackslash(BstrText(parcel->GetFolder(folderText.put()), folderText));
    if (!IsAbsoluteFolder(folder)) ThrowHr(E_FAIL);
    Bstr localText;
    std::wstring local = WithBackslash(BstrText(channel->GetLocalFolder(localText.put()), localText));

    std::wstring baseUrl = FileUrl(folder);
    auto values = std::make_shared<TemplateValues>();
    values->Set(baseUrlName_, XmlEscape(baseUrl));
    values->Set(titleName_, XmlEscape(title));
    values->Set(abstractName_, XmlEscape(properties.Text(ChannelProperties::kAbstract)));
    values->Set(storyListName_, L" HREF=\"" + XmlEscape(FileUrl(local)) + XmlEscape(storyPage_) + L"\" ");

    auto file = FindChannelFile(folder);
    if (!file) ThrowHr(E_FAIL);
    if (!LiesWhereNamed(folder) || !LiesWhereNamed(folder + file->longName)) ThrowHr(kLeadsElsewhere);
    TemplateExpander(values).Expand(folder + file->longName, folder + file->longName);

    if (!IsPublishableComponent(title)) ThrowHr(E_INVALIDARG);  // no record and no shortcut out of the channels folder
    LONG id = 0;
    ThrowIfFailed(channel->GetId(&id));
    std::wstring url = baseUrl + ShortName(folder + file->longName);
    // The parcel's own shortcut from an earlier delivery takes the new address; a shortcut of
    // that title that the kit did not make for this channel stays as it is.
    if (auto own = s_.channels.OwnRecord(title, static_cast<DWORD>(id))) {
        auto existing = s_.folder.Recorded(own->name);
        if (existing && IsOwnShortcut(s_.channels, own->name, existing->url, local) && s_.folder.StillNames(*existing)) {
            if (auto relative = ChannelFolder::RelativeTo(s_.folder.Folder(), existing->path)) {
                // The address changes with the shortcut: the old one again if the shortcut keeps it.
                std::wstring before = s_.channels.Address(own->name);
                if (!s_.channels.SetAddress(own->name, url)) ThrowHr(E_FAIL);
                try {
                    s_.folder.Add(*relative, url);
                } catch (...) {
                    s_.channels.SetAddress(own->name, before.empty() ? existing->url : before);
                    throw;
                }
                s_.shell.FolderChanged(existing->path);
                refreshNeeded_ = true;
                return;
            }
        }
        s_.channels.Remove(own->name);
    }
    std::wstring chosen = FreeTitle(title, {});
    if (!RecordAndAdd(chosen, id, chosen, url)) return;
    s_.shell.FolderChanged(s_.folder.Folder() + chosen);
    refreshNeeded_ = true;
}

void Publisher::RefreshDesktopIfNeeded() {
    if (!refreshNeeded_) return;
    refreshNeeded_ = false;
    s_.folder.RefreshDesktop();
}

}  // namespace kv::cdf
