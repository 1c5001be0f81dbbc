// KvRegCtl: the directory control the directory channel's local page embeds. One object serves
// the page script (IKvRegCtl, dual), its host (the OLE control interfaces, persistence,
// connection points) and the page's data binding, which may subscribe and unsubscribe entries
// by writing the IS_SUBSCRIBED column. Apartment threaded: every method runs on the page's
// thread.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/active_control.h"
#include "framework/category_map.h"
#include "framework/data_provider.h"
#include "framework/dialog_commands.h"
#include "framework/notification_queue.h"
#include "kvreg.h"
#include "kvreg/directory_record_set.h"
#include "kvreg/directory_sink.h"
#include "platform/raii.h"

namespace kv {

// Messages of the control's window, one per kind of client notification.
enum : UINT {
    kMsgDirShutdown = WM_APP + 0,
    kMsgDirSettingsChanged = WM_APP + 1,
    kMsgDirectoryAvailable = WM_APP + 2,
    kMsgEntryChanged = WM_APP + 3,
    kMsgEntryDeleted = WM_APP + 4,
    kMsgEntryEvent = WM_APP + 5,
};

class KvRegCtl : public ComObject<KvRegCtl, Dual<IKvRegCtl>, SimpleProviderMethods<KvRegCtl>,
                                  OleObjectImpl<KvRegCtl>, OleControlImpl<KvRegCtl>,
                                  PersistPropertyBagImpl<KvRegCtl>, PersistStreamInitImpl<KvRegCtl>,
                                  ProvideClassInfoImpl<KvRegCtl>, ConnectionPointContainerImpl<KvRegCtl>,
                                  ISupportErrorInfo>,
                 public DirectorySinkOwner {
public:
    KvRegCtl();
    ~KvRegCtl() override;

    // IKvRegCtl
    STDMETHODIMP get_Directory(IDispatch** directory) override;
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
    STDMETHODIMP Entry(LONG lRecordNumber, IDispatch** entry) override;
    STDMETHODIMP Korvane(IDispatch** client) override;
    STDMETHODIMP Setup() override;
    STDMETHODIMP Client(LONG lView) override;
    STDMETHODIMP FixDate(LONG lTime, DATE* date) override;
    STDMETHODIMP msDataSourceObject(BSTR qualifier, IUnknown** provider) override;
    STDMETHODIMP addDataSourceListener(IUnknown* pEvent) override;

    // ISupportErrorInfo: the error information the control sets is for IKvRegCtl.
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

    // What the host-facing entries need.
    ControlCore& Core() noexcept { return core_; }
    IDispatch* PropertyDispatch() noexcept { return static_cast<IKvRegCtl*>(this); }
    std::span<const PersistedProperty> PersistedProperties() const noexcept;
    void OnSiteChanged() {}
    void OnFreezeEvents(LONG count);
    void OnClose() {}
    DataProvider& Provider() noexcept { return provider_; }

    // DirectorySinkOwner: the client's callbacks, recorded in the queue.
    HRESULT ClientShuttingDown() override;
    HRESULT SettingsChanged(LONG flags) override;
    HRESULT EntryChanged(LONG entryId) override;
    HRESULT EntryDeleted(LONG entryId) override;
    HRESULT EntryEvent(LONG entryId, LONG flags) override;

    // The window's messages (the queue's entries).
    void HandleNotification(UINT message, WPARAM first, LPARAM second) noexcept;

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override { return QueryControlBases(this, riid); }

private:
    HRESULT Fail(HRESULT hr) noexcept { return SetErrorInfoFor(hr, IID_IKvRegCtl, L"Korvane.LocalRegistration"); }
    HRESULT Caught() noexcept { return CaughtHResultWithInfo(IID_IKvRegCtl, L"Korvane.LocalRegistration"); }
    DirectoryRecordSet* Table() const noexcept { return static_cast<DirectoryRecordSet*>(provider_.Table()); }
    void SetValid(bool valid);
    void SetReadyState(LONG state);

    void Connect();
    void ConnectSinks();
    void DisconnectSinks() noexcept;
    void ReadDirectory();
    void ApplySort();
    void FilterAndSort(const ComPtr<DirectoryRecordSet>& table);
    bool FilterRow(DirectoryRecordSet& table, Row& row);
    void SendSuccessfulCompletion();
    void SendAbortCompletion() noexcept;
    void Fire(DISPID dispid, const std::vector<VARIANT>& args = {}) noexcept;
    void OnEntryRefreshed(LONG id, bool event, LONG flags);
    void OnEntryDeleted(LONG id);
    void OnShutdown();
    void DrainWindowMessages() noexcept;

    ControlCore core_;
    CRITICAL_SECTION lock_;
    UniqueHwnd window_;
    std::unique_ptr<NotificationQueue> queue_;
    DataProvider provider_;
    ComPtr<ShutdownSink> shutdownSink_;
    ComPtr<SettingsSink> settingsSink_;
    ComPtr<DirectorySink> directorySink_;
    ComPtr<IClientApp2> client_;
    ComPtr<IClientDirectory> directory_;
    bool pageChecked_ = false;
    std::shared_ptr<const CategoryMap> categoryMap_;
    std::shared_ptr<const DirectoryColumnTable> columns_;
    ComPtr<SortOrder> sortOrder_;
    bool firstRead_ = true;
    SetupDialogLauncher dialogs_{Unknown()};
    bool autoReset_ = true;
    bool autoUpdate_ = true;
    Bstr sort_;
    Bstr sortColumn_;
    bool sortAscending_ = true;
    bool sortCaseSensitive_ = false;
    LONG embellish_ = 5;  // the framework's default; bit 2 has no meaning here
    Variant returnValue_;
    bool valid_ = false;
    LONG readyState_ = READYSTATE_INTERACTIVE;
};

}  // namespace kv
