// KvRegCtl: the directory control the directory channel's local page embeds: the data-source
// control serving the client's directory, whose page binding may subscribe and unsubscribe
// entries by writing the IS_SUBSCRIBED column.
#pragma once

#include <windows.h>

#include <memory>

#include "framework/category_map.h"
#include "framework/data_source_control.h"
#include "kvreg.h"
#include "kvreg/directory_record_set.h"
#include "kvreg/directory_sink.h"

namespace kv {

// Messages of the control's window beyond the shared ones: an entry's id, and its event's flags.
enum : UINT { kMsgEntryChanged = kMsgFirstOwn, kMsgEntryDeleted, kMsgEntryEvent };

// Saved and loaded with the page. Directory is left out: reading it connects to the client.
inline constexpr PersistedProperty kDirectoryProperties[] = {
    {L"AutoReset", 1},     {L"AutoUpdate", 2},         {L"Sort", 3},
    {L"SortColumn", 4},    {L"SortAscending", 5},      {L"SortCaseSensitive", 6},
    {L"Embellish", 7},     {L"returnValue", 8},        {L"Valid", DISPID_VALID},
    {L"ReadyState", DISPID_READYSTATE},
};

// Its status is the story control's, and invisible at run time.
inline constexpr DataSourceInfo kDirectoryControl{
    &IID_IKvRegCtl, &CLSID_KvRegCtl, &DIID__KvRegCtlEvents, L"Korvane.LocalRegistration",
    L"KvRegNotificationWindow",
    OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE |
        OLEMISC_RECOMPOSEONRESIZE | OLEMISC_INVISIBLEATRUNTIME,
    kMsgEntryEvent, /* OnFilter */ 6,
    5,  // Embellish: the framework's default; bit 2 has no meaning here
    kDirectoryProperties};
static_assert(kDirectoryControl.miscStatus == 132497);

class KvRegCtl : public DataSourceControl<KvRegCtl, IKvRegCtl, DirectoryRecordSet, kDirectoryControl>,
                 public DirectorySinkOwner {
public:
    ~KvRegCtl() override;

    // IKvRegCtl: what is the directory control's own.
    STDMETHODIMP get_Directory(IDispatch** directory) override { return GetSource(directory); }
    STDMETHODIMP Entry(LONG lRecordNumber, IDispatch** entry) override { return GetItem(lRecordNumber, entry); }

    // DirectorySinkOwner: the client's callbacks, recorded in the queue.
    HRESULT EntryChanged(LONG entryId) override;
    HRESULT EntryDeleted(LONG entryId) override;
    HRESULT EntryEvent(LONG entryId, LONG flags) override;

    // The window's messages (the queue's entries), which own nothing.
    void HandleNotification(UINT message, WPARAM first, LPARAM second) noexcept;
    static void DropMessage(UINT, WPARAM) noexcept {}

private:
    friend DataSourceControl;

    // What the data-source control asks of the directory control.
    void Attach() { Connect(); }
    IUnknown* Source() const noexcept { return directory_.Get(); }
    ComPtr<IClientApp2> App() const { return client_; }
    void ConnectSinks();
    void DetachSinks() noexcept { directorySink_->Detach(); }
    void DisconnectSinks() noexcept;
    bool ReadPending() const noexcept { return firstRead_; }
    void ReadAll() { ReadDirectory(); }
    void ReadAgainLater() noexcept { firstRead_ = true; }
    ComPtr<IDispatch> ItemOf(DirectoryRecordSet&, Row& row);
    HRESULT PageClient(IDispatch** client) {
        return client_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(client));
    }
    HRESULT ShowSetup(SetupDialogLauncher& dialogs) { return dialogs.GlobalSetup(client_.Get()); }

    void Connect();
    void ReadDirectory();
    void OnEntryRefreshed(LONG id, bool event, LONG flags);
    void OnEntryDeleted(LONG id);
    void OnShutdown();

    ComPtr<DirectorySink> directorySink_ = MakeObject<DirectorySink>(this);
    ComPtr<IClientApp2> client_;
    ComPtr<IClientDirectory> directory_;
    bool pageChecked_ = false;
    std::shared_ptr<const CategoryMap> categoryMap_;
    std::shared_ptr<const DirectoryColumnTable> columns_;
    bool firstRead_ = true;
};

}  // namespace kv
