#include "framework/notification_queue.h"

#include <unknwn.h>

#include "platform/hresult_error.h"

namespace kv {

void VariantDeleter::operator()(VARIANT* v) const noexcept {
    VariantClear(v);
    delete v;
}

HeapVariant CopyToHeap(const VARIANT& v) {
    HeapVariant copy(new VARIANT);
    VariantInit(copy.get());
    ThrowIfFailed(VariantCopy(copy.get(), const_cast<VARIANT*>(&v)));
    return copy;
}

HeapVariant TakeVariant(WPARAM param) noexcept { return HeapVariant(reinterpret_cast<VARIANT*>(param)); }

NotificationQueue::NotificationQueue(HWND window, std::function<LONG()> frozenCount)
    : window_(window), frozenCount_(std::move(frozenCount)) {}

NotificationQueue::~NotificationQueue() { Clear(); }

void NotificationQueue::Release(Entry& e) noexcept {
    if (e.ownership & kFirstIsUnknown) reinterpret_cast<IUnknown*>(e.first)->Release();
    if (e.ownership & kFirstIsVariant) TakeVariant(e.first);
    if (e.ownership & kSecondIsUnknown) reinterpret_cast<IUnknown*>(e.second)->Release();
    if (e.ownership & kSecondIsVariant) TakeVariant(static_cast<WPARAM>(e.second));
    e.ownership = kOwnsNothing;
}

void NotificationQueue::PostNext() noexcept {
    if (entries_.empty() || frozenCount_() != 0) return;
    Entry e = entries_.front();
    entries_.pop_front();
    if (IsWindow(window_) && PostMessageW(window_, e.message, e.first, e.second)) return;  // the handler owns it now
    Release(e);
}

HRESULT NotificationQueue::Enqueue(UINT message, WPARAM first, LPARAM second, UINT ownership) noexcept {
    Entry e{message, first, second, ownership};
    try {
        entries_.push_back(e);
    } catch (...) {
        Release(e);
        return E_OUTOFMEMORY;
    }
    PostNext();
    return S_OK;
}

void NotificationQueue::Clear() noexcept {
    for (auto& e : entries_) Release(e);
    entries_.clear();
}

}  // namespace kv
