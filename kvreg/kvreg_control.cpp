#include "kvreg/kvreg_control.h"

#include <climits>

#include "framework/client_boundary.h"
#include "framework/client_failure.h"
#include "framework/notification_window.h"
#include "kvreg/directory_cell_decorator.h"
#include "kvreg/directory_entry.h"
#include "kvreg/host_page_check.h"

namespace kv {
namespace {

// Saved and loaded with the page. Directory is left out: reading it connects to the client.
const PersistedProperty kProperties[] = {
    {L"AutoReset", 1},     {L"AutoUpdate", 2},         {L"Sort", 3},
    {L"SortColumn", 4},    {L"SortAscending", 5},      {L"SortCaseSensitive", 6},
    {L"Embellish", 7},     {L"returnValue", 8},        {L"Valid", DISPID_VALID},
    {L"ReadyState", DISPID_READYSTATE},
};

// The story control's status, and invisible at run time.
constexpr DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
                              OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE | OLEMISC_INVISIBLEATRUNTIME;
static_assert(kMiscStatus == 132497);

// Events of the control's event interface.
enum : DISPID {
    kOnDirectoryAvailable = 0,
    kOnNewEntry = 1,
    kOnDeletedEntry = 2,
    kOnEntryEvent = 3,
    kOnSetupEvent = 4,
    kOnShutdown = 5,
    kOnFilter = 6,
};

const wchar_t kWindowClass[] = L"KvRegNotificationWindow";

LRESULT CALLBACK NotificationWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg >= kMsgDirShutdown && msg <= kMsgEntryEvent) {
        if (auto* control = reinterpret_cast<KvRegCtl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)))
            control->HandleNotification(msg, wp, lp);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

HRESULT CopyBool(bool value, VARIANT_BOOL* out) {
    if (!out) return E_POINTER;
    *out = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

}  // namespace

KvRegCtl::KvRegCtl()
    : core_(static_cast<IConnectionPointContainer*>(this), CLSID_KvRegCtl, DIID__KvRegCtlEvents, kMiscStatus) {
    InitializeCriticalSection(&lock_);
    try {
        window_.reset(CreateNotificationWindow(kWindowClass, NotificationWindowProc));
        SetWindowLongPtrW(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        queue_ = std::make_unique<NotificationQueue>(window_.get(), [this] { return core_.FrozenCount(); });
        shutdownSink_ = MakeObject<ShutdownSink>(this);
        settingsSink_ = MakeObject<SettingsSink>(this);
        directorySink_ = MakeObject<DirectorySink>(this);
        provider_.SetEmbellish(embellish_);
    } catch (...) {
        window_.reset();
        DeleteCriticalSection(&lock_);
        throw;
    }
}

KvRegCtl::~KvRegCtl() {
    // Ending the client connections makes outgoing calls, during which this thread's messages
    // flow: nothing may reach the object from then on.
    SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
    shutdownSink_->Detach();
    settingsSink_->Detach();
    directorySink_->Detach();
    DisconnectSinks();
    queue_->Clear();
    DrainWindowMessages();
    window_.reset();
    DeleteCriticalSection(&lock_);
}

// The directory's messages own nothing; those already posted are simply dropped.
void KvRegCtl::DrainWindowMessages() noexcept {
    MSG msg;
    while (PeekMessageW(&msg, window_.get(), kMsgDirShutdown, kMsgEntryEvent, PM_REMOVE)) {
    }
}

std::span<const PersistedProperty> KvRegCtl::PersistedProperties() const noexcept { return kProperties; }

void KvRegCtl::SetValid(bool valid) {
    if (valid_ == valid) return;
    valid_ = valid;
    core_.Changed(DISPID_VALID);
}

void KvRegCtl::SetReadyState(LONG state) {
    if (readyState_ == state) return;
    readyState_ = state;
    core_.Changed(DISPID_READYSTATE);
}

// --- Properties --------------------------------------------------------------------------------

STDMETHODIMP KvRegCtl::get_AutoReset(VARIANT_BOOL* value) { return CopyBool(autoReset_, value); }
STDMETHODIMP KvRegCtl::put_AutoReset(VARIANT_BOOL value) {
    autoReset_ = value != 0;
    return S_OK;
}
STDMETHODIMP KvRegCtl::get_AutoUpdate(VARIANT_BOOL* value) { return CopyBool(autoUpdate_, value); }
STDMETHODIMP KvRegCtl::put_AutoUpdate(VARIANT_BOOL value) try {
    autoUpdate_ = value != 0;
    if (autoUpdate_) {
        Connect();
        ConnectSinks();
    } else if (directory_) {
        DisconnectSinks();
    }
    return S_OK;
} catch (const ClientFailure& e) {
    return e.Code();
} catch (...) {
    return Caught();
}
STDMETHODIMP KvRegCtl::get_Sort(BSTR* value) try {
    if (!value) return E_POINTER;
    *value = sort_.Copy();
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvRegCtl::put_Sort(BSTR value) try {
    sort_ = Bstr(std::wstring_view(value ? value : L"", SysStringLen(value)));
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvRegCtl::get_SortColumn(BSTR* value) try {
    if (!value) return E_POINTER;
    *value = sortColumn_.Copy();
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvRegCtl::put_SortColumn(BSTR value) try {
    sortColumn_ = Bstr(std::wstring_view(value ? value : L"", SysStringLen(value)));
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvRegCtl::get_SortAscending(VARIANT_BOOL* value) { return CopyBool(sortAscending_, value); }
STDMETHODIMP KvRegCtl::put_SortAscending(VARIANT_BOOL value) {
    sortAscending_ = value != 0;
    return S_OK;
}
STDMETHODIMP KvRegCtl::get_SortCaseSensitive(VARIANT_BOOL* value) { return CopyBool(sortCaseSensitive_, value); }
STDMETHODIMP KvRegCtl::put_SortCaseSensitive(VARIANT_BOOL value) {
    sortCaseSensitive_ = value != 0;
    return S_OK;
}
STDMETHODIMP KvRegCtl::get_Embellish(LONG* value) {
    if (!value) return E_POINTER;
    *value = embellish_;
    return S_OK;
}
STDMETHODIMP KvRegCtl::put_Embellish(LONG value) {
    embellish_ = value;
    provider_.SetEmbellish(value);
    return S_OK;
}
STDMETHODIMP KvRegCtl::get_returnValue(VARIANT* value) try {
    if (!value) return E_POINTER;
    VariantInit(value);
    ThrowIfFailed(VariantCopy(value, returnValue_.get()));
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvRegCtl::put_returnValue(VARIANT value) try {
    returnValue_ = Variant(value);
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvRegCtl::get_Valid(VARIANT_BOOL* value) { return CopyBool(valid_, value); }
STDMETHODIMP KvRegCtl::put_Valid(VARIANT_BOOL) {
    core_.Changed(DISPID_VALID);
    return S_OK;
}
STDMETHODIMP KvRegCtl::get_ReadyState(LONG* value) {
    if (!value) return E_POINTER;
    *value = readyState_;
    return S_OK;
}
STDMETHODIMP KvRegCtl::put_ReadyState(LONG) {
    core_.Changed(DISPID_READYSTATE);
    return S_OK;
}

// --- The client -------------------------------------------------------------------------------

void KvRegCtl::Connect() {
    if (client_) {
        if (directory_) return;
        client_.Reset();  // a connect that did not complete starts over
    }
    try {
        ComPtr<IClientApp2> app;
        HRESULT hr = CreateClientObject(L"Korvane", IID_IClientApp2, reinterpret_cast<void**>(app.GetAddressOf()));
        if (hr == E_NOINTERFACE) ThrowHr(E_POINTER);
        ThrowIfFailed(hr);
        if (!pageChecked_) {
            CheckDirectoryPage(core_.Site(), app.Get());
            pageChecked_ = true;
        }
        ComPtr<IClientDirectory> directory;
        ThrowIfFailed(app->GetDirectory(directory.GetAddressOf()));
        ThrowIfNull(directory.Get(), E_FAIL);
        client_ = app;
        directory_ = directory;
        try {
            if (autoUpdate_) ConnectSinks();
            categoryMap_ = std::make_shared<const CategoryMap>(ThisModule());
            ThrowIfFailed(queue_->Enqueue(kMsgDirectoryAvailable));
        } catch (...) {
            DisconnectSinks();
            directory_.Reset();
            throw;
        }
    } catch (...) {
        SetValid(false);
        throw;
    }
}

void KvRegCtl::ConnectSinks() {
    if (!client_ || !directory_) return;
    shutdownSink_->Connect(static_cast<IClientApp*>(client_.Get()), kShutdownMask, shutdownSink_->Unknown());
    if (!settingsSink_->Connected()) {
        ComPtr<IClientSettings> settings;
        ThrowIfFailed(client_->GetSettings(settings.GetAddressOf()));
        settingsSink_->Connect(ThrowIfNull(settings.Get(), E_FAIL), kSettingsMask, settingsSink_->Unknown());
    }
    if (!directorySink_->Connected()) {
        ComPtr<IDirectoryEntries> entries;
        ThrowIfFailed(directory_->GetEntries(entries.GetAddressOf()));
        directorySink_->Connect(ThrowIfNull(entries.Get(), E_FAIL), kDirectoryMask, directorySink_->Unknown());
    }
}

void KvRegCtl::DisconnectSinks() noexcept {
    shutdownSink_->Disconnect();
    settingsSink_->Disconnect();
    directorySink_->Disconnect();
}

STDMETHODIMP KvRegCtl::get_Directory(IDispatch** directory) try {
    if (!directory) return E_POINTER;
    *directory = nullptr;
    Connect();
    return directory_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(directory));
} catch (const ClientFailure& e) {
    return e.Code();
} catch (...) {
    return Caught();
}

// --- Reset, ready state, filter --------------------------------------------------------------

// The whole directory, read into a new table.
void KvRegCtl::ReadDirectory() {
    Connect();
    if (!columns_) columns_ = std::make_shared<const DirectoryColumnTable>(ThisModule());
    auto table = MakeObject<DirectoryRecordSet>(columns_, categoryMap_, directory_);
    Variant subscribed, entries;
    ThrowIfFailed(directory_->Query(1, 2, subscribed.put()));
    ThrowIfFailed(directory_->Query(3, 1, entries.put()));
    table->Load(*entries.get(), *subscribed.get());
    // A check box ticked after the client went and came back reaches the client of now.
    table->SetDirectorySource([this] {
        Connect();
        return directory_;
    });
    provider_.SetTable(table, MakeObject<DirectoryCellDecorator>(ThisModule(), table));
    // Only now: a read that failed leaves the whole read pending for the next Reset(TRUE).
    firstRead_ = false;
}

void KvRegCtl::ApplySort() {
    std::wstring expression;
    if (!sort_.empty())
        expression = sort_.str();
    else if (!sortColumn_.empty())
        expression = (sortAscending_ ? L"" : L"-") + sortColumn_.str();
    else
        return;  // both empty: the order stays as it is
    // Every table has the same columns, so one sort order serves them all.
    if (!sortOrder_) sortOrder_ = Table()->CreateSortOrder();
    sortOrder_->Parse(expression, sortCaseSensitive_);
}

// Page script answers OnFilter and may reset the control meanwhile: the table and the sort
// order are held for the whole pass, and rows of a table no longer served are not offered.
void KvRegCtl::FilterAndSort(const ComPtr<DirectoryRecordSet>& table) {
    ComPtr<DirectoryRecordSet> held = table;
    ComPtr<SortOrder> order = sortOrder_;
    held->FilterAndSort([this, &held](Row& row) { return FilterRow(*held.Get(), row); }, order.Get());
}

bool KvRegCtl::FilterRow(DirectoryRecordSet& table, Row& row) {
    if (Table() != &table) return true;
    returnValue_.Clear();
    {
        ComPtr<IDispatch> entry = MakeDirectoryEntry(ThisModule(), directory_.Get(), columns_, ComPtr<Row>(&row));
        Fire(kOnFilter, {*Variant::Dispatch(entry.Get()).get()});
    }
    if (returnValue_.vt() == VT_EMPTY || returnValue_.vt() == VT_NULL) return true;
    Variant answer(*returnValue_.get());
    answer.ChangeType(VT_BOOL);
    if (answer->boolVal) return true;
    firstRead_ = true;  // an entry dropped now comes back when the page changes its mind
    return false;
}

void KvRegCtl::SendSuccessfulCompletion() {
    provider_.SendTransferComplete(OSPXFER_COMPLETE);
    SetValid(true);
    SetReadyState(READYSTATE_COMPLETE);
}

void KvRegCtl::SendAbortCompletion() noexcept {
    try {
        provider_.SendTransferComplete(OSPXFER_ABORT);
    } catch (...) {
    }
    SetReadyState(READYSTATE_COMPLETE);
}

STDMETHODIMP KvRegCtl::Reset(VARIANT_BOOL fRead) try {
    ComPtr<IUnknown> keepAlive(Unknown());
    bool read = fRead != 0;
    try {
        if (read) {
            SetReadyState(READYSTATE_LOADED);
            if (firstRead_ || !Table())
                ReadDirectory();
            else
                Table()->ResetStates();
            provider_.ResetReadTracker();
        } else if (!Table()) {
            ThrowHr(E_FAIL);  // nothing read yet: Reset(TRUE) comes first
        }
        ComPtr<DirectoryRecordSet> table(Table());
        const long rows = table->RowCount();
        ApplySort();
        FilterAndSort(table);
        // A reading Reset ends with the binding reading the whole table. Otherwise, rows the
        // filter dropped, or a table that page script replaced meanwhile, leave the binding's
        // rows behind: it reads the whole table again then too.
        if (!read && Table() && (Table() != table.Get() || table->RowCount() != rows))
            provider_.SendDataMemberChangedQuietly(autoReset_);
        else if (!read)
            provider_.RefreshTrackedCells();
        if (autoUpdate_) ConnectSinks();
        if (!read) return S_OK;
        SendSuccessfulCompletion();
        provider_.SendDataMemberChangedQuietly(autoReset_);
        return S_OK;
    } catch (...) {
        if (read) SendAbortCompletion();
        throw;
    }
} catch (const ClientFailure& e) {
    return e.Code();  // the client's own error information stays
} catch (...) {
    return Caught();
}

STDMETHODIMP KvRegCtl::msDataSourceObject(BSTR qualifier, IUnknown** provider) try {
    if (!provider) return E_POINTER;
    *provider = nullptr;
    if (SysStringLen(qualifier) != 0) {
        SendAbortCompletion();
        return Fail(E_INVALIDARG);
    }
    ComPtr<IUnknown> result;
    ThrowIfFailed(QueryInterface(__uuidof(OLEDBSimpleProvider), reinterpret_cast<void**>(result.GetAddressOf())));
    if (autoReset_) {
        HRESULT hr = Reset(VARIANT_TRUE);
        if (FAILED(hr)) return hr;
    } else {
        SendSuccessfulCompletion();
    }
    *provider = result.Detach();
    return S_OK;
} catch (...) {
    return Caught();
}

STDMETHODIMP KvRegCtl::addDataSourceListener(IUnknown* pEvent) {
    HRESULT hr = provider_.SetDataSourceListener(pEvent);
    return FAILED(hr) ? Fail(hr) : hr;
}

STDMETHODIMP KvRegCtl::Entry(LONG lRecordNumber, IDispatch** entry) try {
    if (!entry) return E_POINTER;
    *entry = nullptr;
    Connect();
    if (lRecordNumber < 1) return Fail(E_INVALIDARG);
    ComPtr<DirectoryRecordSet> table(Table());
    if (!table) return Fail(E_FAIL);  // nothing read yet
    if (lRecordNumber > table->RowCount()) return Fail(E_INVALIDARG);
    *entry = MakeDirectoryEntry(ThisModule(), directory_.Get(), columns_, table->RowAt(lRecordNumber)).Detach();
    return S_OK;
} catch (const ClientFailure& e) {
    return e.Code();
} catch (...) {
    return Caught();
}

STDMETHODIMP KvRegCtl::InterfaceSupportsErrorInfo(REFIID riid) {
    return IsEqualIID(riid, IID_IKvRegCtl) ? S_OK : S_FALSE;
}

// --- Events and notifications ----------------------------------------------------------------

void KvRegCtl::Fire(DISPID dispid, const std::vector<VARIANT>& args) noexcept {
    Locked hold(lock_);
    core_.Fire(dispid, args);
}

void KvRegCtl::OnFreezeEvents(LONG count) {
    if (count == 0) queue_->PostNext();
}

HRESULT KvRegCtl::ClientShuttingDown() { return queue_->Enqueue(kMsgDirShutdown); }

HRESULT KvRegCtl::SettingsChanged(LONG flags) {
    if (!directory_) return S_OK;
    return queue_->Enqueue(kMsgDirSettingsChanged, static_cast<WPARAM>(flags));
}

HRESULT KvRegCtl::EntryChanged(LONG entryId) {
    if (!directory_) return S_OK;
    return queue_->Enqueue(kMsgEntryChanged, static_cast<WPARAM>(entryId));
}

HRESULT KvRegCtl::EntryDeleted(LONG entryId) {
    if (!directory_) return S_OK;
    return queue_->Enqueue(kMsgEntryDeleted, static_cast<WPARAM>(entryId));
}

HRESULT KvRegCtl::EntryEvent(LONG entryId, LONG flags) {
    if (!directory_) return S_OK;
    return queue_->Enqueue(kMsgEntryEvent, static_cast<WPARAM>(entryId), static_cast<LPARAM>(flags));
}

void KvRegCtl::HandleNotification(UINT message, WPARAM first, LPARAM second) noexcept {
    ComPtr<IUnknown> keepAlive(Unknown());  // page script run by an event may let go of us
    const LONG value = static_cast<LONG>(first);
    try {
        switch (message) {
            case kMsgDirShutdown:
                OnShutdown();
                break;
            case kMsgDirSettingsChanged:
                Fire(kOnSetupEvent, {*Variant::I4(value).get()});
                break;
            case kMsgDirectoryAvailable:
                if (directory_) {
                    ComPtr<IDispatch> disp;
                    directory_.As(&disp);
                    Fire(kOnDirectoryAvailable, {*Variant::Dispatch(disp.Get()).get()});
                    core_.Changed(0);
                }
                break;
            case kMsgEntryChanged:
                OnEntryRefreshed(value, false, 0);
                break;
            case kMsgEntryDeleted:
                OnEntryDeleted(value);
                break;
            case kMsgEntryEvent:
                OnEntryRefreshed(value, true, static_cast<LONG>(second));
                break;
        }
    } catch (...) {
        // A handler's failure has no caller to go to; the next notification goes on. The table
        // may now miss what the client reported, so the next full read reads it all again.
        firstRead_ = true;
    }
    queue_->PostNext();
}

// The client is going: the page hears of it first, then everything obtained from the client is
// let go. The table stays for the page to read; the next method that needs the client connects
// again, and the next reading Reset reads the whole directory from it.
void KvRegCtl::OnShutdown() {
    Fire(kOnShutdown);
    DisconnectSinks();
    directory_.Reset();
    client_.Reset();
    firstRead_ = true;
}

// An entry the client added or changed (and, with `event`, an entry event): its cells read
// again from the client. The binding hears of a new row or of the changed cells it has read
// before the page hears of the entry; page script may then change the table at will.
void KvRegCtl::OnEntryRefreshed(LONG id, bool event, LONG flags) {
    ComPtr<DirectoryRecordSet> table(Table());
    if (!table || !directory_) return;  // nothing read yet: the first read brings it
    const bool known = table->FindRow(id) != 0;
    ComPtr<IDirectoryEntries> entries;
    ThrowIfFailed(directory_->GetEntries(entries.GetAddressOf()));
    ComPtr<IClientPropertySet> entry = ClientEntry(entries.Get(), id);
    LONG count = 0, subscribed = 0;
    Variant values;
    ThrowIfFailed(entry->GetValues(&count, values.put()));
    ThrowIfFailed(entry->IsSubscribed(&subscribed));
    table->SetEntry(*values.get(), count, subscribed != 0);
    if (Table() != table.Get()) return;
    long p = table->FindRow(id);
    if (!p) return;
    if (known)
        provider_.RefreshReadCells(p, p);
    else
        provider_.SendInsertedRows(p, 1);
    if (event)
        Fire(kOnEntryEvent, {*Variant::I4(p).get(), *Variant::I4(flags).get()});
    else
        Fire(kOnNewEntry, {*Variant::I4(p).get()});
}

void KvRegCtl::OnEntryDeleted(LONG id) {
    if (!Table() || !Table()->FindRow(id)) return;
    Fire(kOnDeletedEntry, {*Variant::I4(id).get()});
    // Page script may have reset the control or deleted rows meanwhile: find the row again.
    DirectoryRecordSet* table = Table();
    long p = table ? table->FindRow(id) : 0;
    if (!p) return;
    table->DeleteRow(p);
    provider_.SendDeletedRows(p, 1);
}

// --- Commands that reach into the client ------------------------------------------------------

STDMETHODIMP KvRegCtl::Korvane(IDispatch** client) try {
    if (!client) return E_POINTER;
    *client = nullptr;
    Connect();
    return client_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(client));
} catch (...) {
    return Caught();
}

STDMETHODIMP KvRegCtl::Setup() try {
    if (dialogs_.DialogOpen()) return S_FALSE;
    Connect();
    HRESULT hr = dialogs_.GlobalSetup(client_.Get());
    return FAILED(hr) ? Fail(hr) : hr;
} catch (...) {
    return Caught();
}

STDMETHODIMP KvRegCtl::Client(LONG lView) try {
    Connect();
    HRESULT hr = OpenClientView(client_.Get(), lView);
    return FAILED(hr) ? Fail(hr) : hr;
} catch (...) {
    return Caught();
}

STDMETHODIMP KvRegCtl::FixDate(LONG lTime, DATE* date) {
    HRESULT hr = ScriptDateFromClientTime(lTime, date);
    return FAILED(hr) ? Fail(hr) : hr;
}

}  // namespace kv
