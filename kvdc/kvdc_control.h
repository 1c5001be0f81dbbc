// KvDCCtl: the story control a channel's local page embeds: the data-source control serving the
// stories of the channel that holds the page.
#pragma once

#include <windows.h>

#include <vector>

#include "framework/data_source_control.h"
#include "framework/record_set.h"
#include "kvdc.h"
#include "kvdc/story_sinks.h"

namespace kv {

// Messages of the control's window beyond the shared ones, one per kind of client notification.
enum : UINT {
    kMsgChannelDeleted = kMsgFirstOwn,
    kMsgChannelChanged,
    kMsgNewStories,
    kMsgDeletedStories,
    kMsgStoriesChanged,
};

inline constexpr PersistedProperty kStoryProperties[] = {
    {L"Channel", 0},       {L"AutoReset", 1},          {L"AutoUpdate", 2}, {L"Sort", 3},
    {L"SortColumn", 4},    {L"SortAscending", 5},      {L"SortCaseSensitive", 6},
    {L"Embellish", 7},     {L"returnValue", 8},        {L"Valid", DISPID_VALID},
    {L"ReadyState", DISPID_READYSTATE},
};

inline constexpr DataSourceInfo kStoryControl{
    &IID_IKvDC, &CLSID_KvDCCtl, &DIID__KvDCEvents, L"Korvane.Channel", L"KvDCNotificationWindow",
    OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE |
        OLEMISC_RECOMPOSEONRESIZE,
    kMsgStoriesChanged, /* OnFilter */ 8, EMBELLISH_READ | EMBELLISH_SIZE, kStoryProperties};
static_assert(kStoryControl.miscStatus == 131473);

class KvDCCtl : public DataSourceControl<KvDCCtl, IKvDC, RecordSet, kStoryControl>, public StorySinkOwner {
public:
    ~KvDCCtl() override;

    // IKvDC: what is the story control's own.
    STDMETHODIMP get_Channel(IDispatch** channel) override { return GetSource(channel); }
    STDMETHODIMP Story(LONG lRecordNumber, IDispatch** story) override { return GetItem(lRecordNumber, story); }

    // StorySinkOwner: the client's callbacks, recorded in the queue.
    HRESULT ChannelDeleted(LONG channelId) override;
    HRESULT ChannelChanged(IDispatch* channel, LONG flags) override;
    HRESULT StoriesAdded(LONG channelId, const VARIANT& storyIds) override;
    HRESULT StoriesDeleted(LONG channelId, const VARIANT& storyIds) override;
    HRESULT StoriesChanged(const VARIANT& storyIds, LONG flags) override;

    // The window's messages (the queue's entries).
    void HandleNotification(UINT message, WPARAM first, LPARAM second) noexcept;
    static void DropMessage(UINT message, WPARAM first) noexcept;

private:
    friend DataSourceControl;

    // What the data-source control asks of the story control.
    void Attach() { BindChannel(); }
    IUnknown* Source() const noexcept { return channel_.Get(); }
    ComPtr<IClientApp2> App();
    void ConnectSinks();
    void DetachSinks() noexcept;
    void DisconnectSinks() noexcept;
    bool ReadPending() const noexcept { return rebuildNeeded_; }
    void ReadAll() { Rebuild(); }
    void ReadAgainLater() noexcept { rebuildNeeded_ = true; }
    ComPtr<IDispatch> ItemOf(RecordSet& table, Row& row);
    HRESULT PageClient(IDispatch** client);
    HRESULT ShowSetup(SetupDialogLauncher& dialogs) { return dialogs.Setup(channel_.Get()); }
    void ResetStarting() noexcept { ++tableChanges_; }
    void ResetFiltered(bool sameTable) noexcept {
        if (sameTable) unfiltered_ = false;
    }
    void ResetFailed() noexcept {
        if (Table()) unfiltered_ = true;
    }

    void BindChannel();
    void Rebuild();
    HRESULT QueueStories(UINT message, const VARIANT& storyIds, LPARAM second) noexcept;
    HRESULT ForgetChannel() noexcept;
    void OnNewStories(const std::vector<LONG>& ids);
    void OnDeletedStories(const std::vector<LONG>& ids);
    void OnStoriesChanged(const std::vector<LONG>& ids, LONG flags);
    void OnChannelDeleted();
    // Whether the table has been reset, replaced or changed by another handler since a handler
    // took `mine` from tableChanges_; if so, the binding is sent the whole table again.
    bool Disturbed(unsigned long mine, const RecordSet* table) const noexcept;
    void ResendIfDisturbed(unsigned long mine, const RecordSet* table);

    ComPtr<ChannelSink> channelSink_ = MakeObject<ChannelSink>(this);
    ComPtr<StorySourceSink> storySink_ = MakeObject<StorySourceSink>(this);
    ComPtr<IClientApp> app_;
    ComPtr<IClientChannel> channel_;
    ComPtr<ValueConverter> converter_;
    bool rebuildNeeded_ = true;
    // Grows with every Reset, channel deletion and story handler: each change to the table
    // that the handler running now did not make itself.
    unsigned long tableChanges_ = 0;
    // A failure may have left rows that have not been through the filter; the next filter pass
    // may drop or move them, so the handler after it sends the binding the whole table.
    bool unfiltered_ = false;
    LONG channelId_ = -1;
};

}  // namespace kv
