#include "kvdc/kvdc_control.h"

#include <algorithm>
#include <climits>
#include <unordered_set>
#include <utility>

#include "framework/client_boundary.h"
#include "framework/notification_window.h"
#include "kvdc/attachment_prompt.h"
#include "kvdc/cell_decorator.h"
#include "framework/client_failure.h"
#include "kvdc/story_columns.h"
#include "kvdc/story_item.h"

namespace kv {
namespace {

const PersistedProperty kProperties[] = {
    {L"Channel", 0},       {L"AutoReset", 1},          {L"AutoUpdate", 2}, {L"Sort", 3},
    {L"SortColumn", 4},    {L"SortAscending", 5},      {L"SortCaseSensitive", 6},
    {L"Embellish", 7},     {L"returnValue", 8},        {L"Valid", DISPID_VALID},
    {L"ReadyState", DISPID_READYSTATE},
};

constexpr DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
                              OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
static_assert(kMiscStatus == 131473);

const wchar_t kWindowClass[] = L"KvDCNotificationWindow";

LRESULT CALLBACK NotificationWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg >= kMsgShutdown && msg <= kMsgStoriesChanged) {
        if (auto* control = reinterpret_cast<KvDCCtl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)))
            control->HandleNotification(msg, wp, lp);
        else if (msg >= kMsgNewStories)
            TakeVariant(wp);  // the control is going: only the story IDs it would own are freed
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// The ids in their first order, each once.
std::vector<LONG> UniqueIds(const std::vector<LONG>& ids) {
    std::vector<LONG> out;
    std::unordered_set<LONG> seen;
    for (LONG id : ids)
        if (seen.insert(id).second) out.push_back(id);
    return out;
}

// The story IDs of a notification: one VT_I4, or an array of integers (or of VARIANTs that
// convert to integers), possibly by reference.
std::vector<LONG> StoryIds(const VARIANT& ids) {
    const VARIANT* v = &ids;
    if (v->vt == (VT_VARIANT | VT_BYREF) && v->pvarVal) v = v->pvarVal;
    std::vector<LONG> out;
    if (!(v->vt & VT_ARRAY)) {
        Variant one(*v);
        one.ChangeType(VT_I4);
        out.push_back(one->lVal);
        return out;
    }
    SAFEARRAY* sa = (v->vt & VT_BYREF) ? (v->pparray ? *v->pparray : nullptr) : v->parray;
    if (!sa || SafeArrayGetDim(sa) != 1) ThrowHr(E_INVALIDARG);
    LONG lo = 0, hi = -1;
    ThrowIfFailed(SafeArrayGetLBound(sa, 1, &lo));
    ThrowIfFailed(SafeArrayGetUBound(sa, 1, &hi));
    VARTYPE vt = VT_EMPTY;
    ThrowIfFailed(SafeArrayGetVartype(sa, &vt));
    for (LONG i = lo; i <= hi; ++i) {
        if (vt == VT_I4) {
            LONG id = 0;
            ThrowIfFailed(SafeArrayGetElement(sa, &i, &id));
            out.push_back(id);
        } else if (vt == VT_VARIANT) {
            Variant item;
            ThrowIfFailed(SafeArrayGetElement(sa, &i, item.get()));
            item.ChangeType(VT_I4);
            out.push_back(item->lVal);
        } else {
            ThrowHr(E_INVALIDARG);
        }
    }
    return out;
}

HRESULT CopyBool(bool value, VARIANT_BOOL* out) {
    if (!out) return E_POINTER;
    *out = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

}  // namespace

KvDCCtl::KvDCCtl()
    : core_(static_cast<IConnectionPointContainer*>(this), CLSID_KvDCCtl, DIID__KvDCEvents, kMiscStatus) {
    InitializeCriticalSection(&lock_);
    try {
        window_.reset(CreateNotificationWindow(kWindowClass, NotificationWindowProc));
        SetWindowLongPtrW(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        queue_ = std::make_unique<NotificationQueue>(window_.get(), [this] { return core_.FrozenCount(); });
        shutdownSink_ = MakeObject<ShutdownSink>(this);
        settingsSink_ = MakeObject<SettingsSink>(this);
        channelSink_ = MakeObject<ChannelSink>(this);
        storySink_ = MakeObject<StorySourceSink>(this);
    } catch (...) {
        window_.reset();
        DeleteCriticalSection(&lock_);
        throw;
    }
}

KvDCCtl::~KvDCCtl() {
    // Ending the client connections makes outgoing calls, during which this thread's messages
    // flow. Nothing may reach the object from then on: the window stops routing notifications
    // to it and the sinks stop queueing them before the first of those calls.
    SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
    shutdownSink_->Detach();
    settingsSink_->Detach();
    channelSink_->Detach();
    storySink_->Detach();
    DisconnectSinks();
    queue_->Clear();
    DrainWindowMessages();
    window_.reset();
    DeleteCriticalSection(&lock_);
}

// Notifications already posted to the window would be lost with it, and with them the story
// IDs they own.
void KvDCCtl::DrainWindowMessages() noexcept {
    MSG msg;
    while (PeekMessageW(&msg, window_.get(), kMsgShutdown, kMsgStoriesChanged, PM_REMOVE))
        if (msg.message >= kMsgNewStories && msg.message <= kMsgStoriesChanged) TakeVariant(msg.wParam);
}

std::span<const PersistedProperty> KvDCCtl::PersistedProperties() const noexcept { return kProperties; }

void KvDCCtl::SetValid(bool valid) {
    if (valid_ == valid) return;
    valid_ = valid;
    core_.Changed(DISPID_VALID);
}

void KvDCCtl::SetReadyState(LONG state) {
    if (readyState_ == state) return;
    readyState_ = state;
    core_.Changed(DISPID_READYSTATE);
}

STDMETHODIMP KvDCCtl::get_AutoReset(VARIANT_BOOL* value) { return CopyBool(autoReset_, value); }
STDMETHODIMP KvDCCtl::put_AutoReset(VARIANT_BOOL value) {
    autoReset_ = value != 0;
    return S_OK;
}
STDMETHODIMP KvDCCtl::get_AutoUpdate(VARIANT_BOOL* value) { return CopyBool(autoUpdate_, value); }
STDMETHODIMP KvDCCtl::get_Sort(BSTR* value) try {
    if (!value) return E_POINTER;
    *value = sort_.Copy();
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvDCCtl::put_Sort(BSTR value) try {
    sort_ = Bstr(std::wstring_view(value ? value : L"", SysStringLen(value)));
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvDCCtl::get_SortColumn(BSTR* value) try {
    if (!value) return E_POINTER;
    *value = sortColumn_.Copy();
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvDCCtl::put_SortColumn(BSTR value) try {
    sortColumn_ = Bstr(std::wstring_view(value ? value : L"", SysStringLen(value)));
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvDCCtl::get_SortAscending(VARIANT_BOOL* value) { return CopyBool(sortAscending_, value); }
STDMETHODIMP KvDCCtl::put_SortAscending(VARIANT_BOOL value) {
    sortAscending_ = value != 0;
    return S_OK;
}
STDMETHODIMP KvDCCtl::get_SortCaseSensitive(VARIANT_BOOL* value) { return CopyBool(sortCaseSensitive_, value); }
STDMETHODIMP KvDCCtl::put_SortCaseSensitive(VARIANT_BOOL value) {
    sortCaseSensitive_ = value != 0;
    return S_OK;
}
STDMETHODIMP KvDCCtl::get_Embellish(LONG* value) {
    if (!value) return E_POINTER;
    *value = embellish_;
    return S_OK;
}
STDMETHODIMP KvDCCtl::put_Embellish(LONG value) {
    embellish_ = value;
    provider_.SetEmbellish(value);
    return S_OK;
}
STDMETHODIMP KvDCCtl::get_returnValue(VARIANT* value) {
    if (!value) return Fail(E_POINTER);
    VariantInit(value);
    HRESULT hr = VariantCopy(value, returnValue_.get());
    return FAILED(hr) ? Fail(hr) : hr;
}
STDMETHODIMP KvDCCtl::put_returnValue(VARIANT value) {
    HRESULT hr = VariantCopy(returnValue_.get(), &value);
    return FAILED(hr) ? Fail(hr) : hr;
}
STDMETHODIMP KvDCCtl::get_Valid(VARIANT_BOOL* value) { return CopyBool(valid_, value); }
STDMETHODIMP KvDCCtl::put_Valid(VARIANT_BOOL) {
    core_.Changed(DISPID_VALID);
    return S_OK;
}
STDMETHODIMP KvDCCtl::get_ReadyState(LONG* value) {
    if (!value) return E_POINTER;
    *value = readyState_;
    return S_OK;
}
STDMETHODIMP KvDCCtl::put_ReadyState(LONG) {
    core_.Changed(DISPID_READYSTATE);
    return S_OK;
}

// --- Channel binding -----------------------------------------------------------------------

void KvDCCtl::BindChannel() {
    if (channel_) return;
    try {
        if (!app_) {
            HRESULT hr = CreateClientObject(L"Korvane", IID_IClientApp, reinterpret_cast<void**>(app_.GetAddressOf()));
            if (FAILED(hr) && hr != E_NOINTERFACE) ThrowHr(hr);
            // An application object without the client's interface cannot give channels.
            if (!app_) ThrowHr(E_NOINTERFACE);
        }
        ComPtr<IChannelCollection> channels;
        ThrowIfFailed(app_->GetChannels(channels.GetAddressOf()));
        ThrowIfNull(channels.Get(), E_FAIL);
        ComPtr<IClientChannel> channel;
        if (channelId_ == -1) {
            auto path = PagePathFromAddress(PageAddress(core_.Site()));
            if (!path) ThrowHr(E_FAIL);
            channel = ChannelHoldingPage(channels.Get(), *path);
            LONG id = -1;
            ThrowIfFailed(channel->GetId(&id));
            channelId_ = id;
        } else {
            ThrowIfFailed(channels->Item(*Variant::I4(channelId_).get(), channel.GetAddressOf()));
            ThrowIfNull(channel.Get(), E_FAIL);
        }
        channel_ = channel;
        if (autoUpdate_) ConnectSinks();
        ComPtr<IClientApp2> app2;
        ThrowIfFailed(app_.As(&app2));
        ComPtr<IClientPathResolver> resolver;
        ThrowIfFailed(app2->GetPathResolver(resolver.GetAddressOf()));
        converter_ = MakeObject<ValueConverter>(resolver);
        ThrowIfFailed(queue_->Enqueue(kMsgChannelAvailable));
    } catch (...) {
        SetValid(false);
        throw;
    }
}

void KvDCCtl::ConnectSinks() {
    if (!app_ || !channel_) return;
    shutdownSink_->Connect(app_.Get(), kShutdownMask, shutdownSink_->Unknown());
    if (!settingsSink_->Connected()) {
        ComPtr<IClientSettings> settings;
        ThrowIfFailed(app_->GetSettings(settings.GetAddressOf()));
        settingsSink_->Connect(ThrowIfNull(settings.Get(), E_FAIL), kSettingsMask, settingsSink_->Unknown());
    }
    if (!channelSink_->Connected()) {
        ComPtr<IChannelCollection> channels;
        ThrowIfFailed(app_->GetChannels(channels.GetAddressOf()));
        channelSink_->Connect(ThrowIfNull(channels.Get(), E_FAIL), kChannelMask, channelSink_->Unknown());
    }
    if (!storySink_->Connected()) {
        ComPtr<IClientApp2> app2;
        ThrowIfFailed(app_.As(&app2));
        ComPtr<IStorySource> source;
        ThrowIfFailed(app2->GetStorySource(source.GetAddressOf()));
        storySink_->Connect(ThrowIfNull(source.Get(), E_FAIL), kStoryMask, storySink_->Unknown());
    }
}

void KvDCCtl::DisconnectSinks() noexcept {
    shutdownSink_->Disconnect();
    settingsSink_->Disconnect();
    channelSink_->Disconnect();
    storySink_->Disconnect();
}

STDMETHODIMP KvDCCtl::get_Channel(IDispatch** channel) try {
    if (!channel) return E_POINTER;
    *channel = nullptr;
    BindChannel();
    return channel_->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(channel));
} catch (...) {
    return Caught();
}

STDMETHODIMP KvDCCtl::put_AutoUpdate(VARIANT_BOOL value) try {
    autoUpdate_ = value != 0;
    if (autoUpdate_) {
        BindChannel();
        ConnectSinks();
    } else if (channel_) {
        DisconnectSinks();
    }
    return S_OK;
} catch (...) {
    return Caught();
}

// --- Reset, ready state, filter --------------------------------------------------------------

void KvDCCtl::Rebuild() {
    BindChannel();
    ComPtr<RecordSet> table = MakeStoryRecordSet(channel_, converter_);
    table->SetCellReadGuard(MakeAttachmentPrompt());
    table->LoadFromChannel(0, nullptr);
    provider_.SetTable(table, CreateCellDecorator(table));
    // A fresh sort order resolves names in the new table's columns; the expression last
    // applied carries over, so an empty Sort and SortColumn keep the order the page had.
    sortOrder_.Reset();
    // Only now: a read that failed leaves the reload pending for the next Reset(TRUE).
    rebuildNeeded_ = false;
}

void KvDCCtl::ApplySort() {
    std::wstring expression;
    if (!sort_.empty())
        expression = sort_.str();
    else if (!sortColumn_.empty())
        expression = (sortAscending_ ? L"" : L"-") + sortColumn_.str();
    else if (sortOrder_ || appliedSort_.empty())
        return;  // both empty: the order stays as it is (no order at all before the first)
    else
        expression = appliedSort_;  // a rebuilt table keeps the order last applied
    if (!sortOrder_) sortOrder_ = Table()->CreateSortOrder();
    sortOrder_->Parse(expression, sortCaseSensitive_);
    appliedSort_ = expression;
}

// The filter step and the sort of `table`. Page script answers OnFilter and may reset the
// control meanwhile, which can replace the table or the sort order: both are held for the
// whole pass, and rows of a table that is no longer served are not offered to the page.
void KvDCCtl::FilterAndSort(const ComPtr<RecordSet>& table) {
    ComPtr<RecordSet> held = table;
    ComPtr<SortOrder> order = sortOrder_;
    held->FilterAndSort([this, &held](IClientChannel*, Row& row) { return FilterRow(*held.Get(), row); },
                        order.Get());
}

bool KvDCCtl::FilterRow(RecordSet& table, Row& row) {
    if (Table() != &table) return true;
    returnValue_.Clear();
    {
        ComPtr<IDispatch> story = MakeStoryItem(table, ComPtr<Row>(&row));
        Fire(8, {*Variant::Dispatch(story.Get()).get()});
    }
    if (returnValue_.vt() == VT_EMPTY || returnValue_.vt() == VT_NULL) return true;
    Variant answer(*returnValue_.get());
    answer.ChangeType(VT_BOOL);
    if (answer->boolVal) return true;
    rebuildNeeded_ = true;  // a story dropped now can come back when the page changes its mind
    return false;
}

void KvDCCtl::SendSuccessfulCompletion() {
    provider_.SendTransferComplete(OSPXFER_COMPLETE);
    SetValid(true);
    SetReadyState(READYSTATE_COMPLETE);
}

void KvDCCtl::SendAbortCompletion() noexcept {
    try {
        provider_.SendTransferComplete(OSPXFER_ABORT);
    } catch (...) {
    }
    SetReadyState(READYSTATE_COMPLETE);
}

STDMETHODIMP KvDCCtl::Reset(VARIANT_BOOL fRead) try {
    ComPtr<IUnknown> keepAlive(Unknown());
    bool read = fRead != 0;
    ++tableChanges_;
    try {
        if (read) {
            SetReadyState(READYSTATE_LOADED);
            // After the channel was deleted there is no table even when no rebuild is pending.
            if (rebuildNeeded_ || !Table())
                Rebuild();
            else
                Table()->ResetStates();
            provider_.ResetReadTracker();
        } else if (!Table()) {
            ThrowHr(E_FAIL);  // nothing read yet: Reset(TRUE) comes first
        }
        ComPtr<RecordSet> table(Table());
        const long rows = table->RowCount();
        ApplySort();
        FilterAndSort(table);
        if (Table() == table.Get()) unfiltered_ = false;
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
        if (Table()) unfiltered_ = true;
        if (read) SendAbortCompletion();
        throw;
    }
} catch (const ClientFailure& e) {
    return e.Code();  // the client's own error information stays
} catch (...) {
    return Caught();
}

STDMETHODIMP KvDCCtl::msDataSourceObject(BSTR qualifier, IUnknown** provider) try {
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

STDMETHODIMP KvDCCtl::addDataSourceListener(IUnknown* pEvent) {
    HRESULT hr = provider_.SetDataSourceListener(pEvent);
    return FAILED(hr) ? Fail(hr) : hr;
}

STDMETHODIMP KvDCCtl::Story(LONG lRecordNumber, IDispatch** story) try {
    if (!story) return E_POINTER;
    *story = nullptr;
    BindChannel();
    if (lRecordNumber < 1) return Fail(E_INVALIDARG);
    ComPtr<RecordSet> table(Table());
    if (!table) return Fail(E_FAIL);  // nothing read yet
    if (lRecordNumber > table->RowCount()) return Fail(E_INVALIDARG);
    *story = MakeStoryItem(*table.Get(), table->RowAt(lRecordNumber)).Detach();
    return S_OK;
} catch (const ClientFailure& e) {
    return e.Code();  // the client's own error information stays
} catch (...) {
    return Caught();
}

STDMETHODIMP KvDCCtl::InterfaceSupportsErrorInfo(REFIID riid) {
    return IsEqualIID(riid, IID_IKvDC) ? S_OK : S_FALSE;
}

// --- Events and notifications ----------------------------------------------------------------

void KvDCCtl::Fire(DISPID dispid, const std::vector<VARIANT>& args) noexcept {
    Locked hold(lock_);
    core_.Fire(dispid, args);
}

void KvDCCtl::OnFreezeEvents(LONG count) {
    // Entries held while events were frozen go out as soon as the container thaws them.
    if (count == 0) queue_->PostNext();
}

HRESULT KvDCCtl::ClientShuttingDown() { return queue_->Enqueue(kMsgShutdown); }

HRESULT KvDCCtl::SettingsChanged(LONG flags) {
    if (!channel_) return S_OK;
    return queue_->Enqueue(kMsgSettingsChanged, static_cast<WPARAM>(flags));
}

HRESULT KvDCCtl::ForgetChannel() noexcept {
    channelId_ = -1;
    queue_->Clear();
    return queue_->Enqueue(kMsgChannelDeleted);
}

HRESULT KvDCCtl::ChannelDeleted(LONG channelId) {
    if (!channel_ || channelId != channelId_) return S_OK;
    return ForgetChannel();
}

HRESULT KvDCCtl::ChannelChanged(IDispatch* channel, LONG flags) {
    if (!channel_ || !channel) return S_OK;
    // The changed channel is the one given, not necessarily the bound one.
    ComPtr<IClientChannel> changed;
    HRESULT hr = channel->QueryInterface(IID_IClientChannel, reinterpret_cast<void**>(changed.GetAddressOf()));
    if (FAILED(hr)) return hr;
    LONG id = -1;
    hr = changed->GetId(&id);
    if (FAILED(hr)) return hr;
    if (id != channelId_) return S_OK;
    if (flags & 0x1000) return ForgetChannel();
    return queue_->Enqueue(kMsgChannelChanged, static_cast<WPARAM>(flags));
}

HRESULT KvDCCtl::QueueStories(UINT message, const VARIANT& storyIds, LPARAM second) noexcept {
    try {
        HeapVariant copy = CopyToHeap(storyIds);
        return queue_->Enqueue(message, reinterpret_cast<WPARAM>(copy.release()), second, kFirstIsVariant);
    } catch (...) {
        return CaughtHResult();
    }
}

HRESULT KvDCCtl::StoriesAdded(LONG channelId, const VARIANT& storyIds) {
    if (!channel_ || channelId != channelId_) return S_OK;
    return QueueStories(kMsgNewStories, storyIds, 0);
}

HRESULT KvDCCtl::StoriesDeleted(LONG channelId, const VARIANT& storyIds) {
    if (!channel_ || channelId != channelId_) return S_OK;
    return QueueStories(kMsgDeletedStories, storyIds, 0);
}

HRESULT KvDCCtl::StoriesChanged(const VARIANT& storyIds, LONG flags) {
    if (!channel_) return S_OK;
    return QueueStories(kMsgStoriesChanged, storyIds, flags);
}

void KvDCCtl::HandleNotification(UINT message, WPARAM first, LPARAM second) noexcept {
    ComPtr<IUnknown> keepAlive(Unknown());  // page script run by an event may let go of us
    HeapVariant ids;
    if (message >= kMsgNewStories) ids = TakeVariant(first);
    try {
        switch (message) {
            case kMsgShutdown:
                Fire(7);
                break;
            case kMsgSettingsChanged:
                Fire(6, {*Variant::I4(static_cast<LONG>(first)).get()});
                break;
            case kMsgChannelAvailable:
                if (channel_) {
                    ComPtr<IDispatch> disp;
                    channel_.As(&disp);
                    Fire(0, {*Variant::Dispatch(disp.Get()).get()});
                    core_.Changed(0);
                }
                break;
            case kMsgChannelDeleted:
                OnChannelDeleted();
                return;  // the queue was cleared when this was queued
            case kMsgChannelChanged:
                if (channel_) {
                    ThrowIfFailed(channel_->Refresh());
                    ComPtr<IDispatch> disp;
                    channel_.As(&disp);
                    Fire(2, {*Variant::Dispatch(disp.Get()).get(), *Variant::I4(static_cast<LONG>(first)).get()});
                }
                break;
            case kMsgNewStories:
                OnNewStories(StoryIds(*ids));
                break;
            case kMsgDeletedStories:
                OnDeletedStories(StoryIds(*ids));
                break;
            case kMsgStoriesChanged:
                OnStoriesChanged(StoryIds(*ids), static_cast<LONG>(second));
                break;
        }
    } catch (...) {
        // A handler's failure has no caller to go to; the next notification goes on. The table
        // may now miss what the client reported, so the next full read reloads the channel; and
        // it may hold part of it, so the binding reads the table as it is.
        rebuildNeeded_ = true;
        if (message >= kMsgNewStories && Table()) {
            unfiltered_ = true;
            try {
                provider_.SendDataMemberChangedQuietly(autoReset_);
            } catch (...) {
            }
        }
    }
    ids.reset();
    queue_->PostNext();
}

void KvDCCtl::OnChannelDeleted() {
    ++tableChanges_;
    SetValid(false);
    DisconnectSinks();
    channel_.Reset();
    long rows = Table() ? Table()->RowCount() : 0;
    provider_.SetTable(nullptr, nullptr);
    try {
        if (rows > 0) provider_.SendDeletedRows(1, rows);
    } catch (...) {
    }
    Fire(1);
    core_.Changed(0);
}

// The story handlers below fire events to the page, and page script may then reset the
// control (re-sorting or replacing the table), read stories, or let further notifications run
// in a nested message loop. A handler therefore holds the table it began with, finds each story
// again in the table served after every event, and tells the binding row positions only while
// nothing else has changed the table; once something has, the binding gets the whole table
// again at the end.

bool KvDCCtl::Disturbed(unsigned long mine, const RecordSet* table) const noexcept {
    return tableChanges_ != mine || Table() != table;
}

void KvDCCtl::ResendIfDisturbed(unsigned long mine, const RecordSet* table) {
    if (Disturbed(mine, table) && Table()) provider_.SendDataMemberChangedQuietly(autoReset_);
}

void KvDCCtl::OnNewStories(const std::vector<LONG>& ids) {
    ComPtr<RecordSet> table(Table());
    if (!table || !channel_ || ids.empty()) return;  // an empty list names no story
    unsigned long mine = ++tableChanges_;
    if (std::exchange(unfiltered_, false)) ++tableChanges_;  // announced as a whole at the end
    // A story the table holds already (a full read since the client reported it) is no new row
    // to the binding, and reloading it may move it: the binding then gets the whole table.
    bool known = std::any_of(ids.begin(), ids.end(), [&](LONG id) { return table->FindRow(id) != 0; });
    bool added = table->LoadFromChannel(static_cast<long>(ids.size()), ids.data());
    // New stories go through the filter and the sort also when they bring a new column.
    FilterAndSort(table);
    if (added) {
        // The binding reads the whole table again, new column included: it is current now.
        provider_.SendDataMemberChangedQuietly(autoReset_);
        mine = ++tableChanges_;
        table = Table();
    }
    // A binding applies insertedRows one at a time: announced from the top down, each story goes
    // in where the table holds it, whatever the client's order. Each story is announced once.
    std::vector<LONG> announced = UniqueIds(ids);
    if (RecordSet* current = Table())
        std::stable_sort(announced.begin(), announced.end(),
                         [&](LONG a, LONG b) { return current->FindRow(a) < current->FindRow(b); });
    for (LONG id : announced) {
        RecordSet* current = Table();
        if (!current) break;
        long p = current->FindRow(id);
        if (!p) continue;
        if (!added && !known && !Disturbed(mine, table.Get())) provider_.SendInsertedRows(p, 1);
        Fire(3, {*Variant::I4(p).get()});
    }
    if (known && !added && !Disturbed(mine, table.Get()) && Table())
        provider_.SendDataMemberChangedQuietly(autoReset_);
    else
        ResendIfDisturbed(mine, table.Get());
}

void KvDCCtl::OnDeletedStories(const std::vector<LONG>& ids) {
    ComPtr<RecordSet> table(Table());
    if (!table) return;
    const unsigned long mine = ++tableChanges_;
    for (LONG id : ids) {
        if (!Table() || !Table()->FindRow(id)) continue;
        Fire(4, {*Variant::I4(id).get()});
        RecordSet* current = Table();
        long p = current ? current->FindRow(id) : 0;
        if (!p) continue;
        current->DeleteRow(p);
        if (!Disturbed(mine, table.Get())) provider_.SendDeletedRows(p, 1);
    }
    ResendIfDisturbed(mine, table.Get());
}

void KvDCCtl::OnStoriesChanged(const std::vector<LONG>& ids, LONG flags) {
    ComPtr<RecordSet> table(Table());
    if (!table || !channel_ || ids.empty()) return;
    unsigned long mine = ++tableChanges_;
    if (std::exchange(unfiltered_, false)) ++tableChanges_;  // announced as a whole at the end
    const std::vector<LONG> changed = UniqueIds(ids);
    std::vector<long> before;  // each story's position before the change; 0 when not shown
    long first = LONG_MAX, last = LONG_MIN;
    for (LONG id : changed) {
        long p = table->FindRow(id);
        before.push_back(p);
        first = std::min(first, p);
        last = std::max(last, p);
    }
    bool added = table->LoadFromChannel(static_cast<long>(ids.size()), ids.data());
    FilterAndSort(table);
    bool rowsAnnounced = false;
    if (added) {
        provider_.SendDataMemberChangedQuietly(autoReset_);  // the binding is current after this, as above
        mine = ++tableChanges_;
        table = Table();
    } else if (!Disturbed(mine, table.Get())) {
        // A story the filter now drops or lets back changes the rows the binding holds: the
        // changed stories leave it from the bottom up and come back from the top down, where
        // the table holds them, so that every row in between keeps its place.
        std::vector<std::pair<long, long>> moves;  // before, after
        bool entersOrLeaves = false;
        for (size_t i = 0; i < changed.size(); ++i) {
            moves.push_back({before[i], table->FindRow(changed[i])});
            entersOrLeaves |= (moves.back().first == 0) != (moves.back().second == 0);
        }
        if (entersOrLeaves) {
            std::vector<long> gone, back;
            for (auto [from, to] : moves) {
                if (from) gone.push_back(from);
                if (to) back.push_back(to);
            }
            std::sort(gone.rbegin(), gone.rend());
            std::sort(back.begin(), back.end());
            for (long p : gone) provider_.SendDeletedRows(p, 1);
            for (long p : back) provider_.SendInsertedRows(p, 1);
            rowsAnnounced = true;
        }
    }
    for (LONG id : changed) {
        RecordSet* current = Table();
        if (!current) break;
        long p = current->FindRow(id);
        if (!added && !rowsAnnounced) {
            first = std::min(first, p);
            last = std::max(last, p);
        }
        Fire(5, {*Variant::I4(p).get(), *Variant::I4(flags).get()});
    }
    if (Disturbed(mine, table.Get()))
        ResendIfDisturbed(mine, table.Get());
    else if (!added && !rowsAnnounced)
        provider_.RefreshReadCells(first, last);
}

// --- Commands that reach into the client ------------------------------------------------------

STDMETHODIMP KvDCCtl::Korvane(IDispatch** client) try {
    if (!client) return E_POINTER;
    *client = nullptr;
    BindChannel();
    ComPtr<IClientChannel2> channel;
    ComPtr<IClientApp2> app;
    ThrowIfFailed(channel_.As(&channel));
    ThrowIfFailed(app_.As(&app));
    HRESULT hr = ClientObjectForPage(channel.Get(), app.Get(), client);
    return FAILED(hr) ? Fail(hr) : hr;
} catch (...) {
    return Caught();
}

STDMETHODIMP KvDCCtl::Setup() try {
    if (dialogs_.DialogOpen()) return S_FALSE;
    BindChannel();
    HRESULT hr = dialogs_.Setup(channel_.Get());
    return FAILED(hr) ? Fail(hr) : hr;
} catch (...) {
    return Caught();
}

STDMETHODIMP KvDCCtl::GlobalSetup() try {
    if (dialogs_.DialogOpen()) return S_FALSE;
    BindChannel();
    ComPtr<IClientApp2> app;
    ThrowIfFailed(app_.As(&app));
    HRESULT hr = dialogs_.GlobalSetup(app.Get());
    return FAILED(hr) ? Fail(hr) : hr;
} catch (...) {
    return Caught();
}

STDMETHODIMP KvDCCtl::Client(LONG lView) try {
    BindChannel();
    ComPtr<IClientApp2> app;
    ThrowIfFailed(app_.As(&app));
    HRESULT hr = OpenClientView(app.Get(), lView);
    return FAILED(hr) ? Fail(hr) : hr;
} catch (...) {
    return Caught();
}

STDMETHODIMP KvDCCtl::FixDate(LONG lTime, DATE* date) {
    HRESULT hr = ScriptDateFromClientTime(lTime, date);
    return FAILED(hr) ? Fail(hr) : hr;
}

}  // namespace kv
