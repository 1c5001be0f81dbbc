// KvDCCtl: the story control a channel's local page embeds. One object serves the page script
// (IKvDC, dual), its host (the OLE control interfaces, persistence, connection points) and the
// page's data binding. Apartment threaded: every method runs on the page's thread.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <array>

#include <memory>
#include <vector>

#include "framework/active_control.h"
#include "framework/data_provider.h"
#include "framework/notification_queue.h"
#include "framework/record_set.h"
#include "kvdc.h"
#include "framework/dialog_commands.h"
#include "kvdc/story_sinks.h"
#include "platform/raii.h"

namespace kv {

// Messages of the control's window, one per kind of client notification.
enum : UINT {
    kMsgShutdown = WM_APP + 0,
    kMsgSettingsChanged = WM_APP + 1,
    kMsgChannelAvailable = WM_APP + 2,
    kMsgChannelDeleted = WM_APP + 3,
    kMsgChannelChanged = WM_APP + 4,
    kMsgNewStories = WM_APP + 5,
    kMsgDeletedStories = WM_APP + 6,
    kMsgStoriesChanged = WM_APP + 7,
};

class KvDCCtl : public ComObject<KvDCCtl, Dual<IKvDC>, SimpleProviderMethods<KvDCCtl>, OleObjectImpl<KvDCCtl>,
                                 OleControlImpl<KvDCCtl>, PersistPropertyBagImpl<KvDCCtl>,
                                 PersistStreamInitImpl<KvDCCtl>, ProvideClassInfoImpl<KvDCCtl>,
                                 ConnectionPointContainerImpl<KvDCCtl>, ISupportErrorInfo>,
                public StorySinkOwner {
public:
    KvDCCtl();
    ~KvDCCtl() override;

    // IKvDC
    STDMETHODIMP get_Channel(IDispatch** channel) override;
    STDMETHODIMP get_AutoReset(VARIANT_BOOL* value) override;
    STDMETHODIMP put_AutoReset(VARIANT_BOOL value) override;
    STDMETHODIMP get_AutoUpdate(VARIANT_BOOL* value) override;
    STDMETHODIMP put_AutoUpdate(VARIANT_BOOL value) override;
    STDMETHODIMP get_Sort(BSTR* value) override;
    STDMETHODIMP put_Sort(BSTR value) override;
    STDMETHODIMP get_SortColumn(BSTR* value) override;
    STDMETHODIMP put_SortColumn(BSTR value) override;
    STDMETHODIMP get_SortAscending(VARIANT_BOOL* value) override;
    STDMETHODIMP put_SortAscending(VARIANT_BOOL value) override;
    STDMETHODIMP get_SortCaseSensitive(VARIANT_BOOL* value) override;
    STDMETHODIMP put_SortCaseSensitive(VARIANT_BOOL value) override;
    STDMETHODIMP get_Embellish(LONG* value) override;
    STDMETHODIMP put_Embellish(LONG value) override;
    STDMETHODIMP get_returnValue(VARIANT* value) override;
    STDMETHODIMP put_returnValue(VARIANT value) override;
    STDMETHODIMP get_Valid(VARIANT_BOOL* value) override;
    STDMETHODIMP put_Valid(VARIANT_BOOL value) override;
    STDMETHODIMP get_ReadyState(LONG* value) override;
    STDMETHODIMP put_ReadyState(LONG value) override;
    STDMETHODIMP Reset(VARIANT_BOOL fRead) override;
    STDMETHODIMP Story(LONG lRecordNumber, IDispatch** story) override;
    STDMETHODIMP Korvane(IDispatch** client) override;
    STDMETHODIMP Setup() override;
    STDMETHODIMP GlobalSetup() override;
    STDMETHODIMP Client(LONG lView) override;
    STDMETHODIMP FixDate(LONG lTime, DATE* date) override;
    STDMETHODIMP msDataSourceObject(BSTR qualifier, IUnknown** provider) override;
    STDMETHODIMP addDataSourceListener(IUnknown* pEvent) override;

    // ISupportErrorInfo: the error information the control sets is for IKvDC.
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

    // What the host-facing entries need.
    ControlCore& Core() noexcept { return core_; }
    IDispatch* PropertyDispatch() noexcept { return static_cast<IKvDC*>(this); }
    std::span<const PersistedProperty> PersistedProperties() const noexcept;
    void OnSiteChanged() {}
    void OnFreezeEvents(LONG count);
    void OnClose() {}
    DataProvider& Provider() noexcept { return provider_; }

    // StorySinkOwner: the client's callbacks, recorded in the queue.
    HRESULT ClientShuttingDown() override;
    HRESULT SettingsChanged(LONG flags) override;
    HRESULT ChannelDeleted(LONG channelId) override;
    HRESULT ChannelChanged(IDispatch* channel, LONG flags) override;
    HRESULT StoriesAdded(LONG channelId, const VARIANT& storyIds) override;
    HRESULT StoriesDeleted(LONG channelId, const VARIANT& storyIds) override;
    HRESULT StoriesChanged(const VARIANT& storyIds, LONG flags) override;

    // The window's messages (the queue's entries).
    void HandleNotification(UINT message, WPARAM first, LPARAM second) noexcept;

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override { return QueryControlBases(this, riid); }

private:
    HRESULT Fail(HRESULT hr) noexcept { return SetErrorInfoFor(hr, IID_IKvDC, L"Korvane.Channel"); }
    HRESULT Caught() noexcept { return CaughtHResultWithInfo(IID_IKvDC, L"Korvane.Channel"); }
    // The story table served, if any (the provider serves only story tables here).
    RecordSet* Table() const noexcept { return static_cast<RecordSet*>(provider_.Table()); }
    void SetValid(bool valid);
    void SetReadyState(LONG state);

    void BindChannel();
    void ConnectSinks();
    void DisconnectSinks() noexcept;
    void Rebuild();
    void ApplySort();
    bool FilterRow(RecordSet& table, Row& row);
    void FilterAndSort(const ComPtr<RecordSet>& table);
    void SendSuccessfulCompletion();
    void SendAbortCompletion() noexcept;
    void Fire(DISPID dispid, const std::vector<VARIANT>& args = {}) noexcept;
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
    void DrainWindowMessages() noexcept;

    ControlCore core_;
    CRITICAL_SECTION lock_;
    UniqueHwnd window_;
    std::unique_ptr<NotificationQueue> queue_;
    DataProvider provider_;
    ComPtr<ShutdownSink> shutdownSink_;
    ComPtr<SettingsSink> settingsSink_;
    ComPtr<ChannelSink> channelSink_;
    ComPtr<StorySourceSink> storySink_;
    ComPtr<IClientApp> app_;
    ComPtr<IClientChannel> channel_;
    ComPtr<ValueConverter> converter_;
    ComPtr<SortOrder> sortOrder_;
    std::wstring appliedSort_;  // the last expression applied, carried over to a rebuilt table
    bool rebuildNeeded_ = true;
    // Grows with every Reset, channel deletion and story handler: each change to the table
    // that the handler running now did not make itself.
    unsigned long tableChanges_ = 0;
    // A failure may have left rows that have not been through the filter; the next filter pass
    // may drop or move them, so the handler after it sends the binding the whole table.
    bool unfiltered_ = false;
    SetupDialogLauncher dialogs_{Unknown()};
    bool autoReset_ = true;
    bool autoUpdate_ = true;
    Bstr sort_;
    Bstr sortColumn_;
    bool sortAscending_ = true;
    bool sortCaseSensitive_ = false;
    LONG embellish_ = EMBELLISH_READ | EMBELLISH_SIZE;
    Variant returnValue_;
    bool valid_ = false;
    LONG readyState_ = READYSTATE_INTERACTIVE;
    LONG channelId_ = -1;
};

}  // namespace kv
