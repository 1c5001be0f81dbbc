#include "kvcdf/reconciler.h"

#include <cwchar>
#include <iterator>
#include <map>
#include <vector>

#include "kvcdf/channel_properties.h"
#include "platform/comma_list.h"
#include "platform/raii.h"

namespace kv::cdf {

namespace {

constexpr wchar_t kGlobalKey[] = L"Software\\Korvane\\Korvane\\Global";
constexpr wchar_t kExtensionKey[] = L"Software\\Korvane\\ClientExtensions\\{B5D1EAF1-286B-11D1-9D7B-00C0F018612C}";
// How many times a folder check lists the folder again for changes made while it ran; changes
// beyond that wait for the folder's next change.
constexpr int kRelists = 3;

// "0x80004005", for the debugger's output.
std::wstring HexCode(HRESULT hr) {
    wchar_t code[16];
    swprintf(code, std::size(code), L"0x%08lX", static_cast<unsigned long>(hr));
    return code;
}

bool SameTextIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring ReadDirectoryChannel() {
    UniqueHkey global;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kGlobalKey, 0, KEY_ALL_ACCESS, global.put()) != ERROR_SUCCESS)
        ThrowHr(E_FAIL);
    // Read at whatever length it has: a long key names no channel, it does not stop the extension.
    for (;;) {
        DWORD size = 0;
        if (RegGetValueW(global.get(), nullptr, L"ChnDirUpdateChannel", RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
            ERROR_SUCCESS)
            ThrowHr(E_FAIL);
        std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        LSTATUS status = RegGetValueW(global.get(), nullptr, L"ChnDirUpdateChannel", RRF_RT_REG_SZ, nullptr,
                                      text.data(), &size);
        if (status == ERROR_MORE_DATA) continue;  // it grew meanwhile
        if (status != ERROR_SUCCESS) ThrowHr(E_FAIL);
        text.resize(wcslen(text.c_str()));
        return text;
    }
}

LONG ChannelId(IClientChannel* channel) {
    LONG id = 0;
    ThrowIfFailed(channel->GetId(&id));
    return id;
}

std::wstring ChannelName(IClientChannel* channel) {
    Bstr name;
    ThrowIfFailed(channel->GetName(name.put()));
    return name.str();
}

LONG ChannelFlags(IClientChannel* channel) {
    LONG flags = 0;
    ThrowIfFailed(channel->GetFlags(&flags));
    return flags;
}

}  // namespace

Reconciler::Reconciler(HINSTANCE module, ShellFiles& shell, ChannelFolder::DesktopRefresh refresh)
    : module_(module), shell_(shell) {
    channels_.emplace(OpenChannelsList());
    records_.emplace(*channels_);
    exclude_.emplace();
    privileged_.emplace();
    folder_ = std::make_unique<ChannelFolder>(std::move(refresh));
    source_ = std::make_unique<ClientChannelSource>(module);
    categories_.emplace(module);
    directoryChannel_ = ReadDirectoryChannel();
    homeChannels_ = LoadStringResource(module, kHomeChannelString);
    publisher_.emplace(PublisherSetup{module, *source_, *folder_, *records_, *exclude_, *categories_,
                                      directoryChannel_, shell_});
}

void Reconciler::Begin() {
    records_->Reload();
    relisted_ = false;
    clientLoaded_ = false;
    clientById_.clear();
    clientByName_.clear();
}

void Reconciler::LoadClient() {
    if (clientLoaded_) return;
    // A listing that failed half way is made again whole.
    clientById_.clear();
    clientByName_.clear();
    source_->Enumerate([this](IClientChannel2* channel) {
        LONG id = ChannelId(channel);
        std::wstring name = ChannelName(channel);
        clientByName_.emplace(name, id);
        clientById_[id] = ClientChannel{ComPtr<IClientChannel2>(channel), std::move(name)};
        return true;
    });
    clientLoaded_ = true;
}

const Reconciler::ClientChannel* Reconciler::ChannelById(LONG id) {
    LoadClient();
    auto it = clientById_.find(id);
    return it == clientById_.end() ? nullptr : &it->second;
}

const Reconciler::ClientChannel* Reconciler::ChannelByName(std::wstring_view name) {
    LoadClient();
    auto it = clientByName_.find(name);
    return it == clientByName_.end() ? nullptr : ChannelById(it->second);
}

void Reconciler::StartUp() {
    Begin();
    // A pass the client or the channel manager cut short leaves its rest to the next pass; the
    // extension stays up, and the upgrade stays pending until a start-up completes it.
    bool complete = Contained([this] { ChannelsPass(); });
    UpgradeStep();
    complete = Contained([this] { ClientChannelPass(); }) && complete;
    RefreshDesktopIfNeeded();
    if (complete && !Stopping()) FinishUpgrade();
    republishAll_ = false;
}

bool Reconciler::Contained(const std::function<void()>& work) {
    try {
        work();
        return true;
    } catch (const HResultError& e) {
        OutputDebugStringW((L"KvCDF: a pass stopped early (" + HexCode(e.Code()) + L")\n").c_str());
        return false;
    }
}

void Reconciler::ChannelsPass() {
    // A channels folder that is not there (or cannot be read) is no sign that the user deleted
    // every shortcut: that pass drops no channel and forgets no record.
    DWORD attributes = GetFileAttributesW(folder_->Folder().c_str());
    bool unreadable = attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    channels_->Enumerate([&](const std::wstring& name, DWORD value) {
        if (Stopping()) return false;
        // An entry the client or the channel manager failed for is left as it is until the next pass.
        if (!(unreadable && value != 0)) Contained([&] { ApplyEntryRule(name, value); });
        return true;
    });
}

void Reconciler::ClientChannelPass() {
    source_->Enumerate([this](IClientChannel2* channel) {
        if (Stopping()) return false;
        Contained([&] { ApplyChannelRule(channel); });
        return true;
    });
}

void Reconciler::UpgradeStep() {
    UniqueHkey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kExtensionKey, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
        ThrowHr(E_FAIL);
    DWORD value = 0, size = sizeof(value);
    if (RegGetValueW(key.get(), nullptr, L"Upgrade", RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return;
    upgradePending_ = true;
    // A client folder that names no drive would make both paths relative to the current folder
    // ("\" is the drive's root): nothing is copied then.
    const std::wstring& root = source_->CdfRoot();
    const std::wstring& target = source_->ClientFolder();
    // Nor through a link in the client folder: the copy would write wherever it leads.
    if (IsAbsoluteFolder(root) && IsAbsoluteFolder(target) && CopyStaysWhereNamed(root, target)) {
        // Double-null-terminated lists for the shell.
        std::wstring from = root + L"*.*";
        from.push_back(L'\0');
        std::wstring to = target;
        to.push_back(L'\0');
        SHFILEOPSTRUCTW op = {};
        op.wFunc = FO_COPY;
        op.pFrom = from.c_str();
        op.pTo = to.c_str();
        op.fFlags = Publisher::kCopyFlags | FOF_FILESONLY;
        shell_.FileOperation(op);
    }
    republishAll_ = true;
    refreshNeeded_ = true;
}

void Reconciler::FinishUpgrade() {
    if (!upgradePending_) return;
    upgradePending_ = false;
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kExtensionKey, L"Upgrade");
}

void Reconciler::RefreshDesktopIfNeeded() {
    if (publisher_->DesktopRefreshNeeded()) refreshNeeded_ = true;
    if (!refreshNeeded_) return;
    refreshNeeded_ = false;
    folder_->RefreshDesktop();
    publisher_->RefreshDesktopIfNeeded();
}

bool Reconciler::IsOurs(const std::wstring& entry, DWORD value, const std::wstring& url) {
    if (!records_->Address(entry).empty()) return IsOwnShortcut(*records_, entry, url, {});
    std::wstring local;
    if (const ClientChannel* c = ChannelById(static_cast<LONG>(value))) {
        Bstr folder;
        if (SUCCEEDED(c->channel->GetLocalFolder(folder.put()))) local = folder.str();
    }
    if (!IsOwnShortcut(*records_, entry, url, local)) return false;
    records_->SetAddress(entry, url);
    return true;
}

std::optional<ChannelFolder::Shortcut> Reconciler::Moved(std::wstring& entry, DWORD value) {
    std::wstring address = records_->Address(entry);
    if (address.empty()) return std::nullopt;
    for (const auto& shortcut : folder_->WithUrl(address)) {
        auto relative = ChannelFolder::RelativeTo(folder_->Folder(), shortcut.path);
        if (!relative || !SameStoredName(TitleOf(*relative), TitleOf(entry)) || records_->Find(*relative)) continue;
        if (!records_->Set(*relative, value) || !records_->SetAddress(*relative, address)) {
            records_->Remove(*relative);
            return std::nullopt;
        }
        records_->Remove(entry);
        entry = *relative;
        refreshNeeded_ = true;
        return shortcut;
    }
    return std::nullopt;
}

bool Reconciler::RemoveShortcut(const std::optional<ChannelFolder::Shortcut>& shortcut) {
    bool removed = false;
    try {
        if (!shortcut) {
            removed = true;
        } else if (folder_->StillNames(*shortcut)) {
            removed = folder_->RemovePath(shortcut->path);
        } else {
            // Not at its place any more: gone (one a person put there since the listing is
            // theirs), or moved with a category folder renamed since. Moved, it stays recorded,
            // and the next pass follows it there.
            folder_->ClearCache();
            removed = folder_->WithUrl(shortcut->url).empty();
        }
    } catch (const HResultError&) {
        // The channel manager failed for this one: it stays recorded and is tried again at the
        // next pass; the other channels go on.
    }
    // The folder's listing is cached; the rest of the pass must see the shortcut gone.
    folder_->ClearCache();
    return removed;
}

void Reconciler::Publish(IClientChannel* channel, const std::wstring& name, const std::wstring& title) {
    try {
        folder_->ClearCache();
        publisher_->PublishChannel(channel, name, title);
        folder_->ClearCache();
        refreshNeeded_ = true;
        unpublished_.erase(name);
    } catch (const HResultError& e) {
        // A new channel that cannot be published is not recorded (the publisher writes the
        // record only with its shortcut), so no folder check asks the client to drop it for a
        // template fault. A channel published before keeps its record while its shortcut is
        // there: it goes with the shortcut. Either way it is reported, and the others go on.
        folder_->ClearCache();
        ReportUnpublished(name, e.Code());
    }
}

void Reconciler::ReportUnpublished(const std::wstring& name, HRESULT hr) {
    unpublished_[name] = hr;
    OutputDebugStringW((L"KvCDF: channel \"" + name + L"\" not published (" + HexCode(hr) + L")\n").c_str());
}

void Reconciler::ApplyChannelRule(IClientChannel* channel) {
    LONG id = ChannelId(channel);
    if (filter_ != 0 && filter_ != id) return;
    std::wstring name = ChannelName(channel);
    if (name.empty()) return;
    if (auto own = records_->OwnRecord(name, static_cast<DWORD>(id))) {
        if (republishAll_) Publish(channel, name, own->name);
        return;
    }
    auto recorded = records_->Find(name);
    if (recorded && recorded->value == 0) return;  // left alone
    if (exclude_->Lookup(name) & kExcludeShortcut) {
        if (!recorded) records_->Set(name, 0);
        return;
    }
    // A shortcut, record or category folder of that name that is not this channel's own makes
    // the publisher choose a distinct title.
    Publish(channel, name, {});
}

bool Reconciler::EntryPresent(const std::wstring& name, DWORD value) {
    if (value == 0) return ChannelByName(name) != nullptr;
    const ClientChannel* c = ChannelById(static_cast<LONG>(value));
    if (!c) return false;
    std::wstring_view shortcut = TitleOf(name);
    if (IsNameOf(shortcut, c->name)) return true;
    // An entry made for a parcel carries the parcel's title, not a channel name.
    std::wstring title = ChannelProperties(c->channel.Get()).Text(ChannelProperties::kTitle);
    return !title.empty() && IsNameOf(shortcut, title);
}

namespace {
// Whether a recorded entry reads as a path below the channels folder: components of file names,
// none empty, "." or "..", no drive, no device form, nothing a file name cannot hold.
bool IsPlaceInFolder(std::wstring_view entry) {
    if (entry.empty()) return false;
    size_t start = 0;
    for (;;) {
        size_t end = entry.find(L'\\', start);
        std::wstring_view part = entry.substr(start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start);
        if (part.empty() || part == L"." || part == L"..") return false;
        for (wchar_t c : part)
            if (c < 32 || std::wstring_view(L"/:*?\"<>|").find(c) != std::wstring_view::npos) return false;
        if (end == std::wstring_view::npos) return true;
        start = end + 1;
    }
}
}  // namespace

void Reconciler::ApplyEntryRule(const std::wstring& entry, DWORD value) {
    // The shortcut of an entry is the one at the entry's path while it still names what the kit
    // wrote there, else the kit's one moved elsewhere; a name only recorded so that it is left
    // alone (0) stands for a shortcut of that title anywhere.
    // An entry that cannot name a place inside the channels folder was never written by the kit
    // (another program, or a damaged list): it is forgotten, and no channel is dropped for it.
    if (!IsPlaceInFolder(entry)) {
        // Removed only under its own spelling: its stored form may be a real entry's.
        if (auto r = records_->Find(entry); r && r->name == entry) records_->Remove(entry);
        return;
    }
    std::wstring name = entry;
    std::optional<ChannelFolder::Shortcut> shortcut;
    bool replaced = false;  // what lies at the entry's place is someone else's
    auto find = [&] {
        replaced = false;
        shortcut = folder_->Recorded(name);
        if (shortcut && !IsOurs(name, value, shortcut->url)) {
            replaced = true;
            shortcut.reset();
        }
        if (!shortcut) shortcut = Moved(name, value);
    };
    if (value != 0) {
        find();
        // A listing made while a person moved a folder may show neither place: before the entry
        // counts as gone, the folder is listed again, once a pass.
        if (!shortcut && !relisted_) {
            relisted_ = true;
            folder_->ClearCache();
            find();
        }
    }
    if (filter_ != 0 && static_cast<DWORD>(filter_) == value) {
        if (RemoveShortcut(shortcut)) {
            records_->Remove(name);
            refreshNeeded_ = true;
        }
        return;
    }
    if (value == 0 ? folder_->IsPublished(name) : shortcut.has_value()) {
        if (EntryPresent(name, value)) return;
        if (value == 0 || RemoveShortcut(shortcut)) {
            records_->Remove(name);
            refreshNeeded_ = true;
        }
        return;
    }
    // An entry from before addresses were kept whose place holds a shortcut that cannot be shown
    // to be the kit's: it is forgotten, and neither that shortcut nor the channel is touched.
    if (replaced && records_->Address(name).empty()) {
        records_->Remove(name);
        return;
    }
    // The folder was listed without the kit's shortcut: the user removed it, or put one of their
    // own in its place. The client is asked to drop the channel only for the channel's own
    // shortcut, not for a parcel's.
    if (value != 0) {
        const ClientChannel* c = ChannelById(static_cast<LONG>(value));
        if (c && IsNameOf(TitleOf(name), c->name) && MayDrop(c->channel.Get(), c->name))
            c->channel->Drop();
    }
    records_->Remove(name);
}

bool Reconciler::IsDirectoryChannel(IClientChannel* channel) {
    if (ChannelFlags(channel) & kNeverDirectory) return false;
    Bstr key;
    ThrowIfFailed(channel->GetDirectoryKey(key.put()));
    return SameTextIgnoringCase(key.view(), directoryChannel_);
}

bool Reconciler::MayDrop(IClientChannel* channel, const std::wstring& name) {
    if (IsDirectoryChannel(channel)) return false;
    for (const std::wstring& home : SplitCommaList(homeChannels_))
        if (home == name) return false;
    return (privileged_->Lookup(name) & kNeverDrop) == 0;
}

void Reconciler::ChannelAdded(IClientChannel* channel) {
    Begin();
    ApplyChannelRule(channel);
    // A channel that changed its name leaves the record of its former shortcut behind.
    LONG id = ChannelId(channel);
    std::wstring name = ChannelName(channel);
    for (const auto& r : records_->OfChannel(static_cast<DWORD>(id)))
        if (!IsNameOf(TitleOf(r.name), name)) ApplyEntryRule(r.name, r.value);
}

void Reconciler::ChannelDeleted(LONG id) {
    Begin();
    filter_ = id;
    try {
        ChannelsPass();
    } catch (...) {
        filter_ = 0;
        throw;
    }
    filter_ = 0;
}

bool Reconciler::ChannelChanged(LONG flags) {
    refreshNeeded_ = true;
    if (flags & kNeverDirectory) return true;
    RefreshDesktopIfNeeded();
    return false;
}

void Reconciler::ReapplyChannel(const std::wstring& name) {
    const ClientChannel* c = ChannelByName(name);
    if (!c) return;
    auto own = records_->OwnRecord(name, static_cast<DWORD>(ChannelId(c->channel.Get())));
    if (!own) return;  // a shortcut the kit did not make is not touched
    try {
        auto shortcut = folder_->Recorded(own->name);
        if (shortcut && IsOurs(own->name, own->value, shortcut->url)) folder_->Reapply(*shortcut);
    } catch (const HResultError&) {
        // Tried again at the next folder change.
    }
}

void Reconciler::FolderChanged() {
    Begin();
    SuspendScope suspended(*folder_);
    folder_->TakeHeldNotice();  // what earlier handlers held back was their own
    ChannelsPass();
    for (size_t i = 0; i < privileged_->Count() && !Stopping(); ++i)
        if (privileged_->Item(i).flags & kReapply) ReapplyChannel(privileged_->Item(i).name);
    for (const std::wstring& home : SplitCommaList(homeChannels_))
        if (!Stopping()) ReapplyChannel(home);
    if (!Stopping()) source_->Enumerate([this](IClientChannel2* channel) {
        if (ChannelFlags(channel) & kNeverDirectory) return true;
        if (!IsDirectoryChannel(channel)) return true;
        ReapplyChannel(ChannelName(channel));
        return false;
    });
    // The watcher holds back every notice while the check runs, a person's too: a shortcut
    // deleted after the pass listed the folder would go unseen until the folder's next change.
    // The pass lists again while something changed meanwhile (a pass that changes nothing
    // holds nothing back), a few times at most.
    for (int again = 0; again < kRelists && !Stopping() && folder_->TakeHeldNotice(); ++again) {
        Begin();
        folder_->ClearCache();
        ChannelsPass();
    }
}

bool Reconciler::ParcelDelivered(IClientParcel* parcel) {
    Begin();
    return publisher_->PublishIfCdfParcel(parcel) != Publisher::ParcelResult::NotChannelFile;
}

void Reconciler::Resync(LONG id) {
    Begin();
    filter_ = id;
    try {
        ChannelsPass();
        ClientChannelPass();
        RefreshDesktopIfNeeded();
    } catch (...) {
        filter_ = 0;
        throw;
    }
    filter_ = 0;
}

}  // namespace kv::cdf
