// The notification queue: client callbacks only record what happened; the queue posts one entry
// at a time to the owner's message window, so that every change to the table and every page
// event happens later, outside the client's call, one message at a time. While the container
// keeps events frozen nothing is posted; entries go out in arrival order afterwards.
//
// Entries may own their parameters: an interface reference (released) or a heap VARIANT
// (cleared and freed). Posting hands that ownership to the message handler, which takes it back
// with TakeVariant / TakeUnknown. Single-threaded: the owner's thread only.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <deque>
#include <functional>
#include <memory>

namespace kv {

enum QueueOwnership : UINT {
    kOwnsNothing = 0,
    kFirstIsUnknown = 0x1,
    kFirstIsVariant = 0x2,
    kSecondIsUnknown = 0x4,
    kSecondIsVariant = 0x8,
};

struct VariantDeleter {
    void operator()(VARIANT* v) const noexcept;
};
using HeapVariant = std::unique_ptr<VARIANT, VariantDeleter>;

// A heap copy of `v` for a queue entry (throws on failure).
HeapVariant CopyToHeap(const VARIANT& v);
// The handler's side: takes ownership of a posted heap VARIANT parameter.
HeapVariant TakeVariant(WPARAM param) noexcept;

class NotificationQueue {
public:
    // `frozenCount` tells how many FreezeEvents(TRUE) calls of the container are in force.
    NotificationQueue(HWND window, std::function<LONG()> frozenCount);
    ~NotificationQueue();
    NotificationQueue(const NotificationQueue&) = delete;
    NotificationQueue& operator=(const NotificationQueue&) = delete;

    // Posts the first entry unless events are frozen or the queue is empty. A post that fails
    // (the window is gone) drops the entry and releases what it owns.
    void PostNext() noexcept;
    // Appends an entry that takes ownership of the parameters as `ownership` says, then PostNext.
    // E_OUTOFMEMORY when the entry cannot be kept (what it owns is released).
    HRESULT Enqueue(UINT message, WPARAM first = 0, LPARAM second = 0, UINT ownership = kOwnsNothing) noexcept;
    // Drops every entry, releasing what they own.
    void Clear() noexcept;

    size_t Size() const noexcept { return entries_.size(); }

private:
    struct Entry {
        UINT message;
        WPARAM first;
        LPARAM second;
        UINT ownership;
    };
    static void Release(Entry& e) noexcept;

    HWND window_;
    std::function<LONG()> frozenCount_;
    std::deque<Entry> entries_;
};

}  // namespace kv
