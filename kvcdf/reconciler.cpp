#include "kvcdf/reconciler.h"

#include <map>
#include <vector>

#include "kvcdf/channel_properties.h"
#include "platform/comma_list.h"
#include "platform/raii.h"

namespace kv::cdf {

namespace {

constexpr wchar_t kGlobalKey[] = L"Software\\Korvane\\Korvane\\Global";
constexpr wchar_t kExtensionKey[] = L"Software\\Korvane\\ClientExtensions\\{B5D1EAF1-286B-11D1-9D7B-00C0F018612C}";

bool SameTextIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring ReadDirectoryChannel() {
    UniqueHkey global;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kGlobalKey, 0, KEY_ALL_ACCESS, global.put()) != ERROR_SUCCESS)
        ThrowHr(E_FAIL);
    wchar_t text[64] = {};
    DWORD size = sizeof(text);
    if (RegGetValueW(global.get(), nullptr, L"ChnDirUpdateChannel", RRF_RT_REG_SZ, nullptr, text, &size) !=
        ERROR_SUCCESS)
        ThrowHr(E_FAIL);
    return text;
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
    exclude_.emplace();
    privileged_.emplace();
    folder_ = std::make_unique<ChannelFolder>(std::move(refresh));
    source_ = std::make_unique<ClientChannelSource>(module);
    categories_.emplace(module);
    directoryChannel_ = ReadDirectoryChannel();
    homeChannels_ = LoadStringResource(module, kHomeChannelString);
    publisher_.emplace(PublisherSetup{module, *source_, *folder_, *channels_, *exclude_, *categories_,
                                      directoryChannel_, shell_});
}

void Reconciler::StartUp() {
    ChannelsPass();
    UpgradeStep();
    ClientChannelPass();
    RefreshDesktopIfNeeded();
    republishAll_ = false;
}

void Reconciler::ChannelsPass() {
    channels_->Enumerate([this](const std::wstring& name, DWORD value) {
        ApplyEntryRule(name, value);
        return true;
    });
}

void Reconciler::ClientChannelPass() {
    source_->Enumerate([this](IClientChannel2* channel) {
        ApplyChannelRule(channel);
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
    RegDeleteValueW(key.get(), L"Upgrade");
    // Double-null-terminated lists for the shell.
    std::wstring from = source_->CdfRoot() + L"*.*";
    from.push_back(L'\0');
    std::wstring to = source_->ClientFolder();
    to.push_back(L'\0');
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_COPY;
    op.pFrom = from.c_str();
    op.pTo = to.c_str();
    op.fFlags = FOF_NOCONFIRMATION | FOF_SILENT | FOF_FILESONLY;
    shell_.FileOperation(op);
    republishAll_ = true;
    refreshNeeded_ = true;
}

void Reconciler::RefreshDesktopIfNeeded() {
    if (publisher_->DesktopRefreshNeeded()) refreshNeeded_ = true;
    if (!refreshNeeded_) return;
    refreshNeeded_ = false;
    folder_->RefreshDesktop();
    publisher_->RefreshDesktopIfNeeded();
}

bool Reconciler::RemoveShortcut(const std::wstring& name) {
    bool removed = folder_->Remove(name);
    // The folder's listing is cached; the rest of the pass must see the shortcut gone.
    folder_->ClearCache();
    return removed;
}

void Reconciler::Publish(IClientChannel* channel, const std::wstring& name) {
    try {
        folder_->ClearCache();
        publisher_->PublishChannel(channel, name);
        folder_->ClearCache();
        refreshNeeded_ = true;
    } catch (const HResultError&) {
        // A channel that cannot be published is not managed: otherwise the next folder check
        // would ask the client to drop the user's channel for a template fault.
        channels_->Remove(name);
    }
}

void Reconciler::ApplyChannelRule(IClientChannel* channel) {
    LONG id = ChannelId(channel);
    if (filter_ != 0 && filter_ != id) return;
    std::wstring name = ChannelName(channel);
    if (name.empty()) return;
    if (std::optional<DWORD> value = channels_->Get(name)) {
        if (*value != 0 && republishAll_) Publish(channel, name);
    } else if (exclude_->Lookup(name) & kExcludeShortcut) {
        channels_->Set(name, 0);
    } else if (folder_->IsPublished(name)) {
        channels_->Set(name, 0);
    } else if (channels_->Set(name, static_cast<DWORD>(id))) {
        Publish(channel, name);
    }
}

bool Reconciler::EntryPresent(const std::wstring& name, DWORD value) {
    if (source_->HasChannel(name)) return true;
    if (value == 0) return false;
    // An entry made for a parcel carries the parcel's title, not a channel name.
    bool present = false;
    source_->Enumerate([&](IClientChannel2* channel) {
        if (ChannelId(channel) != static_cast<LONG>(value)) return true;
        present = ChannelProperties(channel).Text(ChannelProperties::kTitle) == name;
        return false;
    });
    return present;
}

void Reconciler::ApplyEntryRule(const std::wstring& name, DWORD value) {
    if (filter_ != 0 && static_cast<DWORD>(filter_) == value) {
        if (RemoveShortcut(name)) {
            channels_->Remove(name);
            refreshNeeded_ = true;
        }
        return;
    }
    if (folder_->IsPublished(name)) {
        if (EntryPresent(name, value)) return;
        if (value == 0 || RemoveShortcut(name)) {
            channels_->Remove(name);
            refreshNeeded_ = true;
        }
        return;
    }
    // The shortcut is gone: the user removed it.
    if (value != 0) {
        ComPtr<IClientChannel> channel;
        try {
            channel = source_->GetChannel(name);
        } catch (const HResultError&) {
            // A stale entry (the client has no such channel) is forgotten without a Drop.
        }
        if (channel && MayDrop(channel.Get(), name)) channel->Drop();
    }
    channels_->Remove(name);
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

void Reconciler::ChannelAdded(IClientChannel* channel) { ApplyChannelRule(channel); }

void Reconciler::ChannelDeleted(LONG id) {
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

void Reconciler::FolderChanged() {
    folder_->Suspend();
    try {
        ChannelsPass();
        for (size_t i = 0; i < privileged_->Count(); ++i)
            if (privileged_->Item(i).flags & kReapply) folder_->Reapply(privileged_->Item(i).name);
        for (const std::wstring& home : SplitCommaList(homeChannels_)) folder_->Reapply(home);
        source_->Enumerate([this](IClientChannel2* channel) {
            if (ChannelFlags(channel) & kNeverDirectory) return true;
            if (!IsDirectoryChannel(channel)) return true;
            folder_->Reapply(ChannelName(channel));
            return false;
        });
    } catch (...) {
        folder_->Resume();
        throw;
    }
    folder_->Resume();
}

void Reconciler::ParcelDelivered(IClientParcel* parcel) { publisher_->PublishIfCdfParcel(parcel); }

void Reconciler::Resync(LONG id) {
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
