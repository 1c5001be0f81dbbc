#include "kvreg/kvreg_control.h"

#include "framework/client_boundary.h"
#include "kvreg/directory_cell_decorator.h"
#include "kvreg/directory_entry.h"
#include "kvreg/host_page_check.h"

namespace kv {
namespace {

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

}  // namespace

KvRegCtl::~KvRegCtl() { Teardown(); }

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
            CheckDirectoryPage(Core().Site(), app.Get());
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
            ThrowIfFailed(Enqueue(kMsgSourceAvailable));
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
    ConnectClientSinks(client_.Get());
    ConnectSink<IDirectoryEntries>(directorySink_.Get(), kDirectoryMask,
                                   [&](auto** out) { return directory_->GetEntries(out); });
}

void KvRegCtl::DisconnectSinks() noexcept {
    DisconnectClientSinks();
    directorySink_->Disconnect();
}


// --- Reading and the page's items ------------------------------------------------------------

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
    Provider().SetTable(table, MakeObject<DirectoryCellDecorator>(ThisModule(), table));
    // Only now: a read that failed leaves the whole read pending for the next Reset(TRUE).
    firstRead_ = false;
}

ComPtr<IDispatch> KvRegCtl::ItemOf(DirectoryRecordSet&, Row& row) {
    return MakeDirectoryEntry(ThisModule(), directory_.Get(), columns_, ComPtr<Row>(&row));
}

// --- Notifications ---------------------------------------------------------------------------

HRESULT KvRegCtl::EntryChanged(LONG entryId) {
    if (!directory_) return S_OK;
    return Enqueue(kMsgEntryChanged, static_cast<WPARAM>(entryId));
}

HRESULT KvRegCtl::EntryDeleted(LONG entryId) {
    if (!directory_) return S_OK;
    return Enqueue(kMsgEntryDeleted, static_cast<WPARAM>(entryId));
}

HRESULT KvRegCtl::EntryEvent(LONG entryId, LONG flags) {
    if (!directory_) return S_OK;
    return Enqueue(kMsgEntryEvent, static_cast<WPARAM>(entryId), static_cast<LPARAM>(flags));
}

void KvRegCtl::HandleNotification(UINT message, WPARAM first, LPARAM second) noexcept {
    ComPtr<IUnknown> keepAlive(Unknown());  // page script run by an event may let go of us
    const LONG value = static_cast<LONG>(first);
    try {
        switch (message) {
            case kMsgClientShutdown:
                OnShutdown();
                break;
            case kMsgClientSettings:
                Fire(kOnSetupEvent, {*Variant::I4(value).get()});
                break;
            case kMsgSourceAvailable:
                FireAvailable();
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
    PostNext();
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
        Provider().RefreshReadCells(p, p);
    else
        Provider().SendInsertedRows(p, 1);
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
    Provider().SendDeletedRows(p, 1);
}

}  // namespace kv
