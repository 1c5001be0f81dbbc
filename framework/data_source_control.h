// DataSourceControl<D, Interface, TableType, Info>: the whole of a data control a page embeds,
// but for what is its own. One object serves the page script (its dual interface), its host
// (the OLE control interfaces, persistence, connection points) and the page's data binding (the
// simple provider). Apartment threaded: every method runs on the page's thread.
//
// The base owns the host state, the notification window and queue, the data provider, the
// shutdown and settings sinks, the sort order, the setup dialogs, the common properties, Reset,
// the filter pass and the sort, the data-source methods and the commands that reach into the
// client. The control names its dual interface and the table type it serves as template
// arguments, and the rest in a DataSourceInfo. The control class D supplies:
//   void Attach();                    connect to the client (and its source) if not yet
//   IUnknown* Source() const;         the client's object it serves (null: not connected)
//   ComPtr<IClientApp2> App();        the client's application object (after Attach)
//   void ConnectSinks();              its own sinks and ConnectClientSinks (only when attached)
//   void DetachSinks(); void DisconnectSinks();  its own sinks, and DisconnectClientSinks
//   bool ReadPending() const; void ReadAll(); void ReadAgainLater();  the full-read rule
//   ComPtr<IDispatch> ItemOf(TableType&, Row&);   the page's object for one row
//   HRESULT PageClient(IDispatch**);  the client object Korvane answers
//   HRESULT ShowSetup(SetupDialogLauncher&);  the Setup command's dialog
//   void HandleNotification(UINT, WPARAM, LPARAM) noexcept;  its window's messages
//   static void DropMessage(UINT, WPARAM) noexcept;  frees what an unhandled message owns
// and may hide the Reset steps ResetStarting(), ResetFiltered(bool sameTable), ResetFailed().
// The hooks may be private (D befriends the base). D's destructor calls Teardown() first, while
// D's own sinks still exist.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "framework/active_control.h"
#include "framework/client_failure.h"
#include "framework/client_sinks.h"
#include "framework/data_provider.h"
#include "framework/dialog_commands.h"
#include "framework/notification_queue.h"
#include "framework/notification_window.h"
#include "framework/sort_order.h"
#include "platform/raii.h"

namespace kv {

// What a data control is, beyond its interface and table type.
struct DataSourceInfo {
    const IID* iid;            // the dual interface, which error information is for
    const CLSID* clsid;
    const IID* events;         // the event interface
    const wchar_t* source;     // the ProgID error information names
    const wchar_t* windowClass;
    DWORD miscStatus;
    UINT lastMessage;          // the window's messages run from kMsgClientShutdown to this one
    DISPID onFilter;           // the event that asks the page about one row
    LONG embellish;            // the default Embellish
    std::span<const PersistedProperty> properties;  // saved and loaded with the page
};

// The window messages every data control shares; a control's own follow from kMsgFirstOwn.
enum : UINT {
    kMsgClientShutdown = WM_APP + 0,
    kMsgClientSettings = WM_APP + 1,
    kMsgSourceAvailable = WM_APP + 2,
    kMsgFirstOwn = WM_APP + 3,
};

template <class D, class Interface, class TableType, const DataSourceInfo& Info>
class DataSourceControl
    : public ComObject<D, Dual<Interface>, SimpleProviderMethods<D>, OleObjectImpl<D>,
                       OleControlImpl<D>, PersistPropertyBagImpl<D>, PersistStreamInitImpl<D>,
                       ProvideClassInfoImpl<D>, ConnectionPointContainerImpl<D>, ISupportErrorInfo>,
      public ClientSinkOwner {
public:
    DataSourceControl()
        : core_(static_cast<IConnectionPointContainer*>(this), *Info.clsid, *Info.events, Info.miscStatus) {
        InitializeCriticalSection(&lock_);
        try {
            window_.reset(CreateNotificationWindow(Info.windowClass, &WindowProc));
            SetWindowLongPtrW(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            queue_ = std::make_unique<NotificationQueue>(window_.get(), [this] { return core_.FrozenCount(); });
            shutdownSink_ = MakeObject<ShutdownSink>(this);
            settingsSink_ = MakeObject<SettingsSink>(this);
            provider_.SetEmbellish(embellish_);
        } catch (...) {
            window_.reset();
            DeleteCriticalSection(&lock_);
            throw;
        }
    }
    ~DataSourceControl() override { DeleteCriticalSection(&lock_); }

    // The common properties.
    STDMETHODIMP get_AutoReset(VARIANT_BOOL* value) override { return CopyBool(autoReset_, value); }
    STDMETHODIMP put_AutoReset(VARIANT_BOOL value) override { return PutBool(autoReset_, value); }
    STDMETHODIMP get_AutoUpdate(VARIANT_BOOL* value) override { return CopyBool(autoUpdate_, value); }
    STDMETHODIMP put_AutoUpdate(VARIANT_BOOL value) override {
        return Guarded([&] {
            autoUpdate_ = value != 0;
            if (autoUpdate_) {
                Self()->Attach();
                Self()->ConnectSinks();
            } else if (Self()->Source()) {
                Self()->DisconnectSinks();
            }
            return S_OK;
        });
    }
    STDMETHODIMP get_Sort(BSTR* value) override { return GetText(sort_, value); }
    STDMETHODIMP put_Sort(BSTR value) override { return PutText(sort_, value); }
    STDMETHODIMP get_SortColumn(BSTR* value) override { return GetText(sortColumn_, value); }
    STDMETHODIMP put_SortColumn(BSTR value) override { return PutText(sortColumn_, value); }
    STDMETHODIMP get_SortAscending(VARIANT_BOOL* value) override { return CopyBool(sortAscending_, value); }
    STDMETHODIMP put_SortAscending(VARIANT_BOOL value) override { return PutBool(sortAscending_, value); }
    STDMETHODIMP get_SortCaseSensitive(VARIANT_BOOL* value) override { return CopyBool(sortCaseSensitive_, value); }
    STDMETHODIMP put_SortCaseSensitive(VARIANT_BOOL value) override { return PutBool(sortCaseSensitive_, value); }
    STDMETHODIMP get_Embellish(LONG* value) override {
        if (!value) return E_POINTER;
        *value = embellish_;
        return S_OK;
    }
    STDMETHODIMP put_Embellish(LONG value) override {
        embellish_ = value;
        provider_.SetEmbellish(value);
        return S_OK;
    }
    STDMETHODIMP get_returnValue(VARIANT* value) override {
        if (!value) return Fail(E_POINTER);
        VariantInit(value);
        HRESULT hr = VariantCopy(value, returnValue_.get());
        return FAILED(hr) ? Fail(hr) : hr;
    }
    // A value that cannot be copied leaves the one before in place.
    STDMETHODIMP put_returnValue(VARIANT value) override {
        return Guarded([&] {
            returnValue_ = Variant(value);
            return S_OK;
        });
    }
    STDMETHODIMP get_Valid(VARIANT_BOOL* value) override { return CopyBool(valid_, value); }
    STDMETHODIMP put_Valid(VARIANT_BOOL) override {
        core_.Changed(DISPID_VALID);
        return S_OK;
    }
    STDMETHODIMP get_ReadyState(LONG* value) override {
        if (!value) return E_POINTER;
        *value = readyState_;
        return S_OK;
    }
    STDMETHODIMP put_ReadyState(LONG) override {
        core_.Changed(DISPID_READYSTATE);
        return S_OK;
    }

    STDMETHODIMP Reset(VARIANT_BOOL fRead) override {
        ComPtr<IUnknown> keepAlive(this->Unknown());
        return Guarded([&] { return ResetTable(fRead != 0); });
    }

    STDMETHODIMP msDataSourceObject(BSTR qualifier, IUnknown** provider) override {
        if (!provider) return E_POINTER;
        *provider = nullptr;
        return Guarded([&] {
            if (SysStringLen(qualifier) != 0) {
                SendAbortCompletion();
                return Fail(E_INVALIDARG);
            }
            ComPtr<IUnknown> result;
            ThrowIfFailed(this->QueryInterface(__uuidof(OLEDBSimpleProvider),
                                               reinterpret_cast<void**>(result.GetAddressOf())));
            if (autoReset_) {
                HRESULT hr = Reset(VARIANT_TRUE);
                if (FAILED(hr)) return hr;
            } else {
                SendSuccessfulCompletion();
            }
            *provider = result.Detach();
            return S_OK;
        });
    }
    STDMETHODIMP addDataSourceListener(IUnknown* pEvent) override {
        HRESULT hr = provider_.SetDataSourceListener(pEvent);
        return FAILED(hr) ? Fail(hr) : hr;
    }

    // The commands that reach into the client.
    STDMETHODIMP Korvane(IDispatch** client) override {
        if (!client) return E_POINTER;
        *client = nullptr;
        return Guarded([&] {
            Self()->Attach();
            return Checked(Self()->PageClient(client));
        });
    }
    STDMETHODIMP Setup() override {
        return Guarded([&] {
            if (dialogs_.DialogOpen()) return S_FALSE;
            Self()->Attach();
            return Checked(Self()->ShowSetup(dialogs_));
        });
    }
    // Overrides the interface's GlobalSetup where it has one.
    STDMETHODIMP GlobalSetup() {
        return Guarded([&] {
            if (dialogs_.DialogOpen()) return S_FALSE;
            Self()->Attach();
            return Checked(dialogs_.GlobalSetup(Self()->App().Get()));
        });
    }
    STDMETHODIMP Client(LONG lView) override {
        return Guarded([&] {
            Self()->Attach();
            return Checked(OpenClientView(Self()->App().Get(), lView));
        });
    }
    STDMETHODIMP FixDate(LONG lTime, DATE* date) override { return Checked(ScriptDateFromClientTime(lTime, date)); }

    // ISupportErrorInfo: the error information the control sets is for its dual interface.
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
        return IsEqualIID(riid, *Info.iid) ? S_OK : S_FALSE;
    }

    // What the host-facing entries need.
    ControlCore& Core() noexcept { return core_; }
    IDispatch* PropertyDispatch() noexcept { return static_cast<Interface*>(this); }
    std::span<const PersistedProperty> PersistedProperties() const noexcept { return Info.properties; }
    void OnSiteChanged() {}
    void OnFreezeEvents(LONG count) {
        // Entries held while events were frozen go out as soon as the container thaws them.
        if (count == 0) queue_->PostNext();
    }
    void OnClose() {}
    DataProvider& Provider() noexcept { return provider_; }

    // ClientSinkOwner: the client's callbacks, recorded in the queue.
    HRESULT ClientShuttingDown() override { return queue_->Enqueue(kMsgClientShutdown); }
    HRESULT SettingsChanged(LONG flags) override {
        if (!Self()->Source()) return S_OK;
        return queue_->Enqueue(kMsgClientSettings, static_cast<WPARAM>(flags));
    }

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override { return QueryControlBases(Self(), riid); }

    // Runs `body`, answering its exceptions: a client's failure as it came (its error information
    // stays), anything else with the control's error information.
    template <class F>
    HRESULT Guarded(F&& body) noexcept {
        try {
            return body();
        } catch (const ClientFailure& e) {
            return e.Code();
        } catch (...) {
            return CaughtHResultWithInfo(*Info.iid, Info.source);
        }
    }
    HRESULT Fail(HRESULT hr) noexcept { return SetErrorInfoFor(hr, *Info.iid, Info.source); }
    HRESULT Checked(HRESULT hr) noexcept { return FAILED(hr) ? Fail(hr) : hr; }

    TableType* Table() const noexcept { return static_cast<TableType*>(provider_.Table()); }
    void SetValid(bool valid) {
        if (valid_ == valid) return;
        valid_ = valid;
        core_.Changed(DISPID_VALID);
    }
    void Fire(DISPID dispid, const std::vector<VARIANT>& args = {}) noexcept {
        Locked hold(lock_);
        core_.Fire(dispid, args);
    }
    // The "available" event with the client's object just connected, and the property change.
    void FireAvailable() {
        if (!Self()->Source()) return;
        ComPtr<IDispatch> disp;
        Self()->Source()->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(disp.GetAddressOf()));
        Fire(0, {*Variant::Dispatch(disp.Get()).get()});
        core_.Changed(0);
    }
    // The client's object the control serves, connected first (the property of that name).
    HRESULT GetSource(IDispatch** source) {
        if (!source) return E_POINTER;
        *source = nullptr;
        return Guarded([&] {
            Self()->Attach();
            return Self()->Source()->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(source));
        });
    }
    // The page's object for row `number` (from 1) of the table served.
    HRESULT GetItem(LONG number, IDispatch** item) {
        if (!item) return E_POINTER;
        *item = nullptr;
        return Guarded([&] {
            Self()->Attach();
            if (number < 1) return Fail(E_INVALIDARG);
            ComPtr<TableType> table(Table());
            if (!table) return Fail(E_FAIL);  // nothing read yet
            if (number > table->RowCount()) return Fail(E_INVALIDARG);
            *item = Self()->ItemOf(*table.Get(), *table->RowAt(number).Get()).Detach();
            return S_OK;
        });
    }
    HRESULT Enqueue(UINT message, WPARAM first = 0, LPARAM second = 0, unsigned flags = 0) noexcept {
        return queue_->Enqueue(message, first, second, flags);
    }
    void PostNext() noexcept { queue_->PostNext(); }
    void ClearQueue() noexcept { queue_->Clear(); }

    void ConnectClientSinks(IClientApp* app) {
        shutdownSink_->Connect(app, kShutdownMask, shutdownSink_->Unknown());
        ConnectSink<IClientSettings>(settingsSink_.Get(), kSettingsMask, [&](auto** out) { return app->GetSettings(out); });
    }
    // Connects `sink` with `mask` to the source `get` gives, unless it is connected.
    template <class Source, class Sink, class Get>
    static void ConnectSink(Sink* sink, LONG mask, Get&& get) {
        if (sink->Connected()) return;
        ComPtr<Source> source;
        ThrowIfFailed(get(source.GetAddressOf()));
        sink->Connect(ThrowIfNull(source.Get(), E_FAIL), mask, sink->Unknown());
    }
    void DisconnectClientSinks() noexcept {
        shutdownSink_->Disconnect();
        settingsSink_->Disconnect();
    }

    // A new table's columns: the next sort resolves its names in them again.
    void ForgetSortOrder() noexcept { sortOrder_.Reset(); }

    // The filter step and the sort of `table`. Page script answers the filter event and may reset
    // the control meanwhile, which can replace the table or the sort order: both are held for the
    // whole pass, and rows of a table that is no longer served are not offered to the page.
    void FilterAndSort(const ComPtr<TableType>& table) {
        ComPtr<TableType> held = table;
        ComPtr<SortOrder> order = sortOrder_;
        held->FilterAndSort([this, &held](auto&&... args) {
            return FilterRow(*held.Get(), std::get<sizeof...(args) - 1>(std::tie(args...)));
        }, order.Get());
    }

    // Ending the client connections makes outgoing calls, during which this thread's messages
    // flow. Nothing may reach the object from then on: the window stops routing notifications to
    // it and the sinks stop queueing them before the first of those calls. Idempotent.
    void Teardown() noexcept {
        if (!window_) return;
        SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
        shutdownSink_->Detach();
        settingsSink_->Detach();
        Self()->DetachSinks();
        Self()->DisconnectSinks();
        queue_->Clear();
        DrainWindowMessages();
        window_.reset();
    }

    // The steps of Reset a control may add to.
    void ResetStarting() {}
    void ResetFiltered(bool) {}
    void ResetFailed() {}

    bool autoReset_ = true;
    bool autoUpdate_ = true;
    Variant returnValue_;

private:
    D* Self() noexcept { return static_cast<D*>(this); }
    const D* Self() const noexcept { return static_cast<const D*>(this); }

    static HRESULT CopyBool(bool value, VARIANT_BOOL* out) {
        if (!out) return E_POINTER;
        *out = value ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    static HRESULT PutBool(bool& flag, VARIANT_BOOL value) {
        flag = value != 0;
        return S_OK;
    }
    HRESULT GetText(const Bstr& text, BSTR* value) {
        if (!value) return E_POINTER;
        return Guarded([&] {
            *value = text.Copy();
            return S_OK;
        });
    }
    HRESULT PutText(Bstr& text, BSTR value) {
        return Guarded([&] {
            text = Bstr(std::wstring_view(value ? value : L"", SysStringLen(value)));
            return S_OK;
        });
    }

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg < kMsgClientShutdown || msg > Info.lastMessage) return DefWindowProcW(hwnd, msg, wp, lp);
        if (auto* control = reinterpret_cast<DataSourceControl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)))
            control->Self()->HandleNotification(msg, wp, lp);
        else
            D::DropMessage(msg, wp);  // the control is going: only what the message owns is freed
        return 0;
    }
    // Notifications already posted to the window would be lost with it, and with them what they own.
    void DrainWindowMessages() noexcept {
        MSG msg;
        while (PeekMessageW(&msg, window_.get(), kMsgClientShutdown, Info.lastMessage, PM_REMOVE))
            D::DropMessage(msg.message, msg.wParam);
    }

    void SetReadyState(LONG state) {
        if (readyState_ == state) return;
        readyState_ = state;
        core_.Changed(DISPID_READYSTATE);
    }

    HRESULT ResetTable(bool read) {
        Self()->ResetStarting();
        try {
            if (read) {
                SetReadyState(READYSTATE_LOADED);
                if (Self()->ReadPending() || !Table())
                    Self()->ReadAll();
                else
                    Table()->ResetStates();
                provider_.ResetReadTracker();
            } else if (!Table()) {
                ThrowHr(E_FAIL);  // nothing read yet: Reset(TRUE) comes first
            }
            ComPtr<TableType> table(Table());
            const long rows = table->RowCount();
            ApplySort();
            FilterAndSort(table);
            Self()->ResetFiltered(Table() == table.Get());
            // A reading Reset ends with the binding reading the whole table. Otherwise, rows the
            // filter dropped, or a table that page script replaced meanwhile, leave the binding's
            // rows behind: it reads the whole table again then too.
            if (!read && Table() && (Table() != table.Get() || table->RowCount() != rows))
                provider_.SendDataMemberChangedQuietly(autoReset_);
            else if (!read)
                provider_.RefreshTrackedCells();
            if (autoUpdate_) Self()->ConnectSinks();
            if (!read) return S_OK;
            SendSuccessfulCompletion();
            provider_.SendDataMemberChangedQuietly(autoReset_);
            return S_OK;
        } catch (...) {
            Self()->ResetFailed();
            if (read) SendAbortCompletion();
            throw;
        }
    }

    void ApplySort() {
        std::wstring expression;
        if (!sort_.empty())
            expression = sort_.str();
        else if (!sortColumn_.empty())
            expression = (sortAscending_ ? L"" : L"-") + sortColumn_.str();
        else if (sortOrder_ || appliedSort_.empty())
            return;  // both empty: the order stays as it is (no order at all before the first)
        else
            expression = appliedSort_;  // a new table keeps the order last applied
        if (!sortOrder_) sortOrder_ = Table()->CreateSortOrder();
        sortOrder_->Parse(expression, sortCaseSensitive_);
        appliedSort_ = expression;
    }

    bool FilterRow(TableType& table, Row& row) {
        if (Table() != &table) return true;
        returnValue_.Clear();
        {
            ComPtr<IDispatch> item = Self()->ItemOf(table, row);
            Fire(Info.onFilter, {*Variant::Dispatch(item.Get()).get()});
        }
        if (returnValue_.vt() == VT_EMPTY || returnValue_.vt() == VT_NULL) return true;
        Variant answer(*returnValue_.get());
        answer.ChangeType(VT_BOOL);
        if (answer->boolVal) return true;
        Self()->ReadAgainLater();  // a row dropped now can come back when the page changes its mind
        return false;
    }

    void SendSuccessfulCompletion() {
        provider_.SendTransferComplete(OSPXFER_COMPLETE);
        SetValid(true);
        SetReadyState(READYSTATE_COMPLETE);
    }
    void SendAbortCompletion() noexcept {
        try {
            provider_.SendTransferComplete(OSPXFER_ABORT);
        } catch (...) {
        }
        SetReadyState(READYSTATE_COMPLETE);
    }

    ControlCore core_;
    CRITICAL_SECTION lock_;
    UniqueHwnd window_;
    std::unique_ptr<NotificationQueue> queue_;
    DataProvider provider_;
    ComPtr<ShutdownSink> shutdownSink_;
    ComPtr<SettingsSink> settingsSink_;
    ComPtr<SortOrder> sortOrder_;
    std::wstring appliedSort_;  // the last expression applied, carried over to a new table
    SetupDialogLauncher dialogs_{this->Unknown()};
    Bstr sort_;
    Bstr sortColumn_;
    bool sortAscending_ = true;
    bool sortCaseSensitive_ = false;
    LONG embellish_ = Info.embellish;
    bool valid_ = false;
    LONG readyState_ = READYSTATE_INTERACTIVE;
};

}  // namespace kv
