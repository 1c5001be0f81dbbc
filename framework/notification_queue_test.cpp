#include <gtest/gtest.h>

#include <vector>

#include "framework/notification_queue.h"
#include "platform/com_object.h"
#include "platform/raii.h"

namespace {

struct Posted {
    UINT message;
    WPARAM first;
    LPARAM second;
};
std::vector<Posted> g_posted;

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg >= WM_APP && msg < WM_APP + 16) {
        g_posted.push_back({msg, wp, lp});
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

HWND MakeWindow() {
    static ATOM atom = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = RecordingProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QueueTestWindow";
        return RegisterClassW(&wc);
    }();
    (void)atom;
    return CreateWindowExW(0, L"QueueTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                           nullptr);
}

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

class Counted : public kv::ComObject<Counted, IUnknown> {
public:
    explicit Counted(int* alive) : alive_(alive) { ++*alive_; }
    ~Counted() override { --*alive_; }

private:
    int* alive_;
};

TEST(NotificationQueue, PostsEntriesInArrivalOrder) {
    g_posted.clear();
    kv::UniqueHwnd window(MakeWindow());
    LONG frozen = 0;
    kv::NotificationQueue queue(window.get(), [&] { return frozen; });

    queue.Enqueue(WM_APP + 5, 1);
    queue.Enqueue(WM_APP + 6, 2);
    queue.Enqueue(WM_APP + 7, 3, 4);
    EXPECT_EQ(0u, queue.Size()) << "nothing waits while events flow";
    EXPECT_TRUE(g_posted.empty()) << "handlers run later, from the message loop";
    Pump();
    ASSERT_EQ(3u, g_posted.size());
    EXPECT_EQ(WM_APP + 5u, g_posted[0].message);
    EXPECT_EQ(WM_APP + 6u, g_posted[1].message);
    EXPECT_EQ(WM_APP + 7u, g_posted[2].message);
    EXPECT_EQ(3u, g_posted[2].first);
    EXPECT_EQ(4, g_posted[2].second);
}

TEST(NotificationQueue, FrozenEventsAccumulateAndFollowInOrder) {
    g_posted.clear();
    kv::UniqueHwnd window(MakeWindow());
    LONG frozen = 1;
    kv::NotificationQueue queue(window.get(), [&] { return frozen; });
    for (WPARAM i = 0; i < 3; ++i) queue.Enqueue(WM_APP + 5, i);
    Pump();
    EXPECT_TRUE(g_posted.empty());
    frozen = 0;
    queue.Enqueue(WM_APP + 6, 9);
    for (int i = 0; i < 4; ++i) {
        Pump();
        queue.PostNext();
    }
    Pump();
    ASSERT_EQ(4u, g_posted.size());
    for (WPARAM i = 0; i < 3; ++i) EXPECT_EQ(i, g_posted[i].first);
    EXPECT_EQ(WM_APP + 6u, g_posted[3].message);
}

TEST(NotificationQueue, OwnedParametersAreReleasedExactlyOnce) {
    int alive = 0;
    kv::UniqueHwnd window(MakeWindow());
    LONG frozen = 1;
    {
        kv::NotificationQueue queue(window.get(), [&] { return frozen; });
        auto ids = kv::CopyToHeap(*kv::Variant::I4(42).get());
        queue.Enqueue(WM_APP + 5, reinterpret_cast<WPARAM>(ids.release()), 0, kv::kFirstIsVariant);
        IUnknown* obj = kv::MakeObject<Counted>(&alive).Detach();
        queue.Enqueue(WM_APP + 2, 0, reinterpret_cast<LPARAM>(obj), kv::kSecondIsUnknown);
        EXPECT_EQ(1, alive);
        queue.Clear();
        EXPECT_EQ(0, alive) << "Clear releases what the entries own";

        IUnknown* lost = kv::MakeObject<Counted>(&alive).Detach();
        queue.Enqueue(WM_APP + 2, reinterpret_cast<WPARAM>(lost), 0, kv::kFirstIsUnknown);
        window.reset();
        frozen = 0;
        queue.PostNext();
        EXPECT_EQ(0, alive) << "a post to a window that is gone drops the entry and what it owns";
        IUnknown* left = kv::MakeObject<Counted>(&alive).Detach();
        frozen = 1;
        queue.Enqueue(WM_APP + 2, reinterpret_cast<WPARAM>(left), 0, kv::kFirstIsUnknown);
    }
    EXPECT_EQ(0, alive) << "the queue's end releases what is still queued";
}

TEST(NotificationQueue, HandlerTakesThePostedVariant) {
    g_posted.clear();
    kv::UniqueHwnd window(MakeWindow());
    kv::NotificationQueue queue(window.get(), [] { return 0L; });
    queue.Enqueue(WM_APP + 5, reinterpret_cast<WPARAM>(kv::CopyToHeap(*kv::Variant::I4(7).get()).release()), 0,
                  kv::kFirstIsVariant);
    Pump();
    ASSERT_EQ(1u, g_posted.size());
    kv::HeapVariant ids = kv::TakeVariant(g_posted[0].first);
    EXPECT_EQ(VT_I4, ids->vt);
    EXPECT_EQ(7, ids->lVal);
}

}  // namespace
