// The worker's view of the three sets the extension keeps in step: the client's channels, the
// channel shortcuts of Favorites\Channels and the Channels list of the shortcuts it manages. It
// owns the working objects (lists, channel folder, client source, categories, publisher) and runs
// the passes and the change handlers of the worker's messages.
//
// Threads: created and used on the worker thread only. Failures are thrown as HResultError.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "framework/category_map.h"
#include "korvane_client.h"
#include "kvcdf/channel_folder.h"
#include "kvcdf/channel_records.h"
#include "kvcdf/client_channel_source.h"
#include "kvcdf/publisher.h"
#include "kvcdf/registry_value_list.h"

namespace kv::cdf {

class Reconciler {
public:
    static constexpr LONG kNeverDirectory = 0x1000;
    static constexpr DWORD kNeverDrop = 1, kReapply = 2;
    static constexpr DWORD kExcludeShortcut = 1;
    static constexpr UINT kHomeChannelString = 104;

    // Creates the working objects in order and reads Global "ChnDirUpdateChannel"; throws E_FAIL
    // when the Global key or value, the Channels key or the channel folder is missing.
    Reconciler(HINSTANCE module, ShellFiles& shell, ChannelFolder::DesktopRefresh refresh = {});

    ChannelFolder& Folder() noexcept { return *folder_; }

    // Asked between channels and entries: once it answers true, a pass ends where it is (every
    // channel it touched is complete) and the work left is done at the next start.
    void StopWhen(std::function<bool()> stopping) { stopping_ = std::move(stopping); }
    bool Stopping() const { return stopping_ && stopping_(); }

    // The full start-up work: Channels pass, upgrade step, client-channel pass, desktop refresh.
    void StartUp();

    // The channels whose last publication failed, with its HRESULT; each failure is also written
    // to the debugger's output ("KvCDF: channel ... not published").
    const std::map<std::wstring, HRESULT>& Unpublished() const noexcept { return unpublished_; }

    // The Channels list as the last pass saw it.
    ChannelRecords& Records() noexcept { return *records_; }

    // Per-entry rule over the Channels list, per-channel rule over the client's channels.
    void ChannelsPass();
    void ClientChannelPass();
    // Once after registration: copies the template root's files into the client folder and
    // marks every managed channel for republishing. The pending mark ("Upgrade") goes only once
    // that republishing has run to its end (FinishUpgrade), so that a start cut short by a
    // shutdown leaves it for the next one.
    void UpgradeStep();
    void FinishUpgrade();
    void RefreshDesktopIfNeeded();

    // The worker messages.
    void ChannelAdded(IClientChannel* channel);
    void ChannelDeleted(LONG id);
    // True when the channel is going away and its removal should be queued.
    bool ChannelChanged(LONG flags);
    void FolderChanged();
    // False when the parcel is no channel file and was ignored.
    bool ParcelDelivered(IClientParcel* parcel);
    void Resync(LONG id);

private:
    // The client's channels of one pass, by id and by stored name.
    struct ClientChannel {
        ComPtr<IClientChannel2> channel;
        std::wstring name;
    };
    // Each message starts from the registry and the client as they are now.
    void Begin();
    const ClientChannel* ChannelById(LONG id);
    const ClientChannel* ChannelByName(std::wstring_view name);
    void LoadClient();

    void ApplyChannelRule(IClientChannel* channel);
    void ApplyEntryRule(const std::wstring& name, DWORD value);
    bool EntryPresent(const std::wstring& name, DWORD value);
    bool MayDrop(IClientChannel* channel, const std::wstring& name);
    bool IsDirectoryChannel(IClientChannel* channel);
    void Publish(IClientChannel* channel, const std::wstring& name, const std::wstring& title);
    // Whether `url`, listed for the shortcut of `entry`, is what the kit wrote there. An entry
    // from before addresses were kept is given its address when its shortcut proves the kit's.
    bool IsOurs(const std::wstring& entry, DWORD value, const std::wstring& url);
    // The kit's shortcut of an entry that is no longer at the entry's place: found elsewhere by
    // its address under the same title (a person moved it or renamed its category folder), the
    // entry then takes its new place and `entry` is renamed.
    std::optional<ChannelFolder::Shortcut> Moved(std::wstring& entry, DWORD value);
    bool RemoveShortcut(const std::optional<ChannelFolder::Shortcut>& shortcut);
    void ReportUnpublished(const std::wstring& name, HRESULT hr);
    // Runs `work`; false when the client or the channel manager failed it (written to the
    // debugger's output).
    static bool Contained(const std::function<void()>& work);
    // Adds again the shortcut the kit made for the channel of that name, if any.
    void ReapplyChannel(const std::wstring& name);

    HINSTANCE module_;
    ShellFiles& shell_;
    std::optional<RegistryValueList> channels_;
    std::optional<ChannelRecords> records_;
    bool clientLoaded_ = false;
    std::map<LONG, ClientChannel> clientById_;
    std::map<std::wstring, LONG, StoredNameLess> clientByName_;
    std::optional<ExcludeList> exclude_;
    std::optional<PrivilegedList> privileged_;
    std::unique_ptr<ChannelFolder> folder_;
    std::unique_ptr<ClientChannelSource> source_;
    std::optional<CategoryMap> categories_;
    std::optional<Publisher> publisher_;
    std::wstring directoryChannel_;
    std::wstring homeChannels_;
    LONG filter_ = 0;
    bool republishAll_ = false;
    bool upgradePending_ = false;
    bool refreshNeeded_ = false;
    bool relisted_ = false;  // the folder was listed again in this message's pass
    std::function<bool()> stopping_;
    std::map<std::wstring, HRESULT> unpublished_;
};

}  // namespace kv::cdf
