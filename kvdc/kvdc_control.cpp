#include "kvdc/kvdc_control.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "framework/client_boundary.h"
#include "kvdc/attachment_prompt.h"
#include "kvdc/cell_decorator.h"
#include "kvdc/story_columns.h"
#include "kvdc/story_item.h"

namespace kv {

KvDCCtl::~KvDCCtl() { Teardown(); }

// The story IDs a notification still posted owns are freed with it.
void KvDCCtl::DropMessage(UINT message, WPARAM first) noexcept {
    if (message >= kMsgNewStories && message <= kMsgStoriesChanged) TakeVariant(first);
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
            auto path = PagePathFromAddress(PageAddress(Core().Site()));
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
        ComPtr<IClientPathResolver> resolver;
        ThrowIfFailed(App()->GetPathResolver(resolver.GetAddressOf()));
        converter_ = MakeObject<ValueConverter>(resolver);
        ThrowIfFailed(Enqueue(kMsgSourceAvailable));
    } catch (...) {
        SetValid(false);
        throw;
    }
}

ComPtr<IClientApp2> KvDCCtl::App() {
    ComPtr<IClientApp2> app;
    ThrowIfFailed(app_.As(&app));
    return app;
}

void KvDCCtl::ConnectSinks() {
    if (!app_ || !channel_) return;
    ConnectClientSinks(app_.Get());
    ConnectSink<IChannelCollection>(channelSink_.Get(), kChannelMask, [&](auto** out) { return app_->GetChannels(out); });
    ConnectSink<IStorySource>(storySink_.Get(), kStoryMask, [&](auto** out) { return App()->GetStorySource(out); });
}

void KvDCCtl::DetachSinks() noexcept {
    channelSink_->Detach();
    storySink_->Detach();
}

void KvDCCtl::DisconnectSinks() noexcept {
    DisconnectClientSinks();
    channelSink_->Disconnect();
    storySink_->Disconnect();
}

// --- Reading and the page's items ------------------------------------------------------------

void KvDCCtl::Rebuild() {
    BindChannel();
    ComPtr<RecordSet> table = MakeStoryRecordSet(channel_, converter_);
    table->SetCellReadGuard(MakeAttachmentPrompt());
    table->LoadFromChannel(0, nullptr);
    Provider().SetTable(table, CreateCellDecorator(table));
    // A fresh sort order resolves names in the new table's columns; the expression last
    // applied carries over, so an empty Sort and SortColumn keep the order the page had.
    ForgetSortOrder();
    // Only now: a read that failed leaves the reload pending for the next Reset(TRUE).
    rebuildNeeded_ = false;
}

ComPtr<IDispatch> KvDCCtl::ItemOf(RecordSet& table, Row& row) { return MakeStoryItem(table, ComPtr<Row>(&row)); }

HRESULT KvDCCtl::PageClient(IDispatch** client) {
    ComPtr<IClientChannel2> channel;
    ThrowIfFailed(channel_.As(&channel));
    return ClientObjectForPage(channel.Get(), App().Get(), client);
}

// --- Notifications ---------------------------------------------------------------------------

HRESULT KvDCCtl::ForgetChannel() noexcept {
    channelId_ = -1;
    ClearQueue();
    return Enqueue(kMsgChannelDeleted);
}

HRESULT KvDCCtl::ChannelDeleted(LONG channelId) {
    return channel_ && channelId == channelId_ ? ForgetChannel() : S_OK;
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
    return Enqueue(kMsgChannelChanged, static_cast<WPARAM>(flags));
}

HRESULT KvDCCtl::QueueStories(UINT message, const VARIANT& storyIds, LPARAM second) noexcept {
    try {
        HeapVariant copy = CopyToHeap(storyIds);
        return Enqueue(message, reinterpret_cast<WPARAM>(copy.release()), second, kFirstIsVariant);
    } catch (...) {
        return CaughtHResult();
    }
}

HRESULT KvDCCtl::StoriesAdded(LONG channelId, const VARIANT& storyIds) {
    return channel_ && channelId == channelId_ ? QueueStories(kMsgNewStories, storyIds, 0) : S_OK;
}

HRESULT KvDCCtl::StoriesDeleted(LONG channelId, const VARIANT& storyIds) {
    return channel_ && channelId == channelId_ ? QueueStories(kMsgDeletedStories, storyIds, 0) : S_OK;
}

HRESULT KvDCCtl::StoriesChanged(const VARIANT& storyIds, LONG flags) {
    return channel_ ? QueueStories(kMsgStoriesChanged, storyIds, flags) : S_OK;
}

void KvDCCtl::HandleNotification(UINT message, WPARAM first, LPARAM second) noexcept {
    ComPtr<IUnknown> keepAlive(Unknown());  // page script run by an event may let go of us
    HeapVariant ids;
    if (message >= kMsgNewStories) ids = TakeVariant(first);
    try {
        switch (message) {
            case kMsgClientShutdown:
                Fire(7);
                break;
            case kMsgClientSettings:
                Fire(6, {*Variant::I4(static_cast<LONG>(first)).get()});
                break;
            case kMsgSourceAvailable:
                FireAvailable();
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
                Provider().SendDataMemberChangedQuietly(autoReset_);
            } catch (...) {
            }
        }
    }
    ids.reset();
    PostNext();
}

void KvDCCtl::OnChannelDeleted() {
    ++tableChanges_;
    SetValid(false);
    DisconnectSinks();
    channel_.Reset();
    long rows = Table() ? Table()->RowCount() : 0;
    Provider().SetTable(nullptr, nullptr);
    try {
        if (rows > 0) Provider().SendDeletedRows(1, rows);
    } catch (...) {
    }
    Fire(1);
    Core().Changed(0);
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
    if (Disturbed(mine, table) && Table()) Provider().SendDataMemberChangedQuietly(autoReset_);
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
        Provider().SendDataMemberChangedQuietly(autoReset_);
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
        if (!added && !known && !Disturbed(mine, table.Get())) Provider().SendInsertedRows(p, 1);
        Fire(3, {*Variant::I4(p).get()});
    }
    if (known && !added && !Disturbed(mine, table.Get()) && Table())
        Provider().SendDataMemberChangedQuietly(autoReset_);
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
        if (!Disturbed(mine, table.Get())) Provider().SendDeletedRows(p, 1);
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
        Provider().SendDataMemberChangedQuietly(autoReset_);  // the binding is current after this, as above
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
            for (long p : gone) Provider().SendDeletedRows(p, 1);
            for (long p : back) Provider().SendInsertedRows(p, 1);
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
        Provider().RefreshReadCells(first, last);
}

}  // namespace kv
