#include "kvcdf/korvane_cdf.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

#include "framework/client_boundary.h"
#include "kvcdf/reconciler.h"

namespace kv::cdf {

namespace {
constexpr wchar_t kWindowClass[] = L"KvCdfWorkerWindow";
constexpr DWORD kStuckWorkerWaitMs = 10000;

// Waits for `thread` while serving the calls made into this apartment: a worker that is ending
// still releases its proxies of the objects that live here, and a client that lets go of the
// extension as it closes its apartment would otherwise wait the whole time for a worker that
// waits for it.
void WaitServingCalls(HANDLE thread, DWORD ms) noexcept {
    DWORD index = 0;
    if (CoWaitForMultipleHandles(0, ms, 1, &thread, &index) == CO_E_NOTINITIALIZED)
        WaitForSingleObject(thread, ms);
}

// A marshalled interface that was never unmarshalled: its reference goes with the stream.
void ReleaseStream(IStream* stream) noexcept {
    if (!stream) return;
    CoReleaseMarshalData(stream);
    stream->Release();
}
}  // namespace

// The worker's state, shared by the object (client thread) and the worker thread. The queue,
// the window handle and the flags are what both threads touch; the reconciler and the worker's
// IKorvaneCDF belong to the worker thread alone.
class WorkerContext {
public:
    WorkerContext() noexcept { ModuleAddLock(); }
    ~WorkerContext() {
        Clear();
        ReleaseStream(selfStream);
        ModuleReleaseLock();
    }
    void AddRef() noexcept { InterlockedIncrement(&refs_); }
    void Release() noexcept {
        if (InterlockedDecrement(&refs_) == 0) delete this;
    }

    // Takes events from now on; they wait in the queue until the window opens it.
    void Accept() {
        std::lock_guard hold(lock_);
        accepting_ = true;
    }
    // Opens the queue on the window: from now on events are posted to it.
    void Open(HWND window) {
        std::lock_guard hold(lock_);
        window_ = window;
    }
    // No more events: records still queued release what they carry.
    void Close() noexcept {
        std::deque<Record> dropped;
        {
            std::lock_guard hold(lock_);
            accepting_ = false;
            window_ = nullptr;
            dropped.swap(records_);
        }
        for (Record& r : dropped) ReleaseStream(r.stream);
    }
    void Clear() noexcept { Close(); }
    bool Accepting() {
        std::lock_guard hold(lock_);
        return accepting_;
    }

    // Appends a record (which owns `stream`) and delivers the oldest one once the window is open.
    // A resync of the channel whose resync waits last in the queue is that one: the pass that
    // comes reads the client as it is then.
    void Post(UINT message, WPARAM wParam, LPARAM lParam, IStream* stream) {
        {
            std::lock_guard hold(lock_);
            bool repeated = message == kChannelResync && !records_.empty() &&
                            records_.back().message == kChannelResync && records_.back().wParam == wParam;
            if ((accepting_ || window_) && !repeated) {
                records_.push_back({message, wParam, lParam, stream});
                stream = nullptr;
            }
        }
        ReleaseStream(stream);
        Deliver();
    }
    // Posts the oldest record to the window; the handler then owns what it carries.
    void Deliver() noexcept {
        Record r{};
        {
            std::lock_guard hold(lock_);
            if (records_.empty() || !window_) return;
            r = records_.front();
            records_.pop_front();
            WPARAM w = r.stream ? reinterpret_cast<WPARAM>(r.stream) : r.wParam;
            if (PostMessageW(window_, r.message, w, r.lParam)) return;
        }
        ReleaseStream(r.stream);
    }

    HINSTANCE module = nullptr;
    IStream* selfStream = nullptr;             // IKorvaneCDF for the worker, until start-up takes it
    std::atomic<HWND> window{nullptr};         // the worker window while it exists
    std::atomic<bool> alive{false};            // start-up done and no shutdown yet
    std::atomic<bool> shutdownRequested{false};
    std::atomic<bool> releasingSelf{false};    // the worker is letting go of its IKorvaneCDF
    std::atomic<bool> shutsItselfDown{false};  // the worker calls OnShutdown of its own accord
    ComPtr<IKorvaneCDF> self;                  // worker thread
    std::unique_ptr<ShellFiles> shell;         // worker thread
    std::unique_ptr<Reconciler> reconciler;    // worker thread
    bool failed = false;                       // worker thread: start-up failed

private:
    struct Record {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        IStream* stream;
    };
    LONG refs_ = 1;
    std::mutex lock_;
    std::deque<Record> records_;
    bool accepting_ = false;
    HWND window_ = nullptr;
};

namespace {

template <class T>
ComPtr<T> TakeStream(WPARAM wParam) {
    ComPtr<T> out;
    ThrowIfFailed(CoGetInterfaceAndReleaseStream(reinterpret_cast<IStream*>(wParam), __uuidof(T),
                                                 reinterpret_cast<void**>(out.GetAddressOf())));
    return out;
}

void StartUp(WorkerContext& c, HWND window) {
    IStream* stream = std::exchange(c.selfStream, nullptr);
    ThrowIfFailed(CoGetInterfaceAndReleaseStream(stream, IID_IKorvaneCDF,
                                                 reinterpret_cast<void**>(c.self.GetAddressOf())));
    c.shell = std::make_unique<ShellFiles>();
    c.reconciler = std::make_unique<Reconciler>(c.module, *c.shell);
    // A shutdown ends the work between two channels: the client waits for the worker.
    c.reconciler->StopWhen([&c] { return c.shutdownRequested.load(); });
    c.reconciler->StartUp();
    c.Open(window);
    c.alive = true;
    c.reconciler->Folder().StartWatch(window, kFolderChanged);
    c.Post(kFolderChanged, 0, 0, nullptr);
    // A shutdown asked for during start-up takes effect now.
    if (c.shutdownRequested && c.alive.exchange(false)) {
        c.Close();
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
}

void ReleaseWorkingObjects(WorkerContext& c) noexcept {
    c.reconciler.reset();
    c.shell.reset();
}

void LetGoOfSelf(WorkerContext& c) noexcept {
    // The object may go with this release, on the client's thread: its destructor must not wait
    // for this thread, which is blocked in the release until the destructor returns.
    c.releasingSelf = true;
    c.self.Reset();
}

LRESULT Handle(WorkerContext& c, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        try {
            StartUp(c, window);
        } catch (...) {
            c.failed = true;
            HRESULT hr = CaughtHResult();
            ReleaseWorkingObjects(c);
            if (c.self) {
                c.shutsItselfDown = true;
                c.self->OnShutdown();
                LetGoOfSelf(c);
            }
            c.Close();
            // Nothing is left for the worker to do: it ends, so that no shutdown waits for it.
            PostMessageW(window, WM_CLOSE, 0, 0);
            return hr == -1 ? E_FAIL : hr;  // -1 would destroy the window
        }
        return 0;
    case WM_CLOSE:
        c.Close();
        ReleaseWorkingObjects(c);
        if (c.alive.exchange(false) && c.self) {
            c.shutsItselfDown = true;
            c.self->OnShutdown();
        }
        LetGoOfSelf(c);
        DestroyWindow(window);
        return 0;
    case WM_DESTROY: {
        c.window = nullptr;
        // Events still on their way to the window: their arguments are released here.
        MSG m;
        while (PeekMessageW(&m, window, kChannelAdded, kChannelResync, PM_REMOVE))
            if (m.message == kChannelAdded || m.message == kParcelDelivered)
                ReleaseStream(reinterpret_cast<IStream*>(m.wParam));
        PostQuitMessage(0);
        return 0;
    }
    // Once a shutdown is asked for, work that has not begun is dropped: the next start's passes
    // do it.
    case kChannelAdded:
    case kParcelDelivered:
        if (!c.reconciler || c.shutdownRequested) {
            ReleaseStream(reinterpret_cast<IStream*>(wParam));
            return 0;
        }
        break;
    case kFolderChanged: {
        // One check sees every change noticed before it begins.
        MSG m;
        while (PeekMessageW(&m, window, kFolderChanged, kFolderChanged, PM_REMOVE)) {
        }
        [[fallthrough]];
    }
    case kChannelDeleted:
    case kChannelChanged:
    case kChannelResync:
        if (!c.reconciler || c.shutdownRequested) return 0;
        break;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }

    LRESULT result = 0;
    try {
        Reconciler& r = *c.reconciler;
        switch (message) {
        case kChannelAdded:
            r.ChannelAdded(TakeStream<IChannelObject>(wParam).Get());
            break;
        case kChannelDeleted:
            r.ChannelDeleted(static_cast<LONG>(wParam));
            break;
        case kChannelChanged:
            // The channel's removal is handled here, in its place among the events: queued again,
            // it would come after events the client sent later (a resync that publishes it anew).
            if (r.ChannelChanged(static_cast<LONG>(lParam))) r.ChannelDeleted(static_cast<LONG>(wParam));
            break;
        case kFolderChanged:
            r.FolderChanged();
            break;
        case kParcelDelivered:
            result = r.ParcelDelivered(TakeStream<IClientParcel>(wParam).Get()) ? 0 : 1;  // 1: ignored
            break;
        case kChannelResync:
            r.Resync(static_cast<LONG>(wParam));
            break;
        }
    } catch (...) {
        result = CaughtHResult();
    }
    // Every handler passes the queue on, so that an event queued behind a parcel or a folder
    // check does not wait for the next event to come.
    c.Deliver();
    return result;
}

LRESULT CALLBACK WorkerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* c = static_cast<WorkerContext*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(c));
        c->window = window;
    }
    auto* c = reinterpret_cast<WorkerContext*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!c) return DefWindowProcW(window, message, wParam, lParam);
    return Handle(*c, window, message, wParam, lParam);
}

bool RegisterWorkerClass(HINSTANCE module) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WorkerWindowProc;
    wc.hInstance = module;
    wc.lpszClassName = kWindowClass;
    return RegisterClassExW(&wc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// The worker thread: holds one reference on the context and one on the module, both let go
// only as the thread ends, so that the code it runs stays mapped.
DWORD WINAPI WorkerMain(void* param) {
    auto* c = static_cast<WorkerContext*>(param);
    HINSTANCE module = c->module;
    DWORD code = static_cast<DWORD>(E_FAIL);
    if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        if (RegisterWorkerClass(module) &&
            CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, module, c)) {
            MSG m;
            while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
            code = static_cast<DWORD>(m.wParam);
        }
        c->self.Reset();
        ReleaseWorkingObjects(*c);
        CoUninitialize();
    }
    c->Release();
    FreeLibraryAndExitThread(module, code);
}

}  // namespace

void UnregisterWorkerClass(HINSTANCE module) noexcept { UnregisterClassW(kWindowClass, module); }

// ---------------------------------------------------------------------------------------------
// The object.

KorvaneCdf::KorvaneCdf() = default;

KorvaneCdf::~KorvaneCdf() {
    Unadvise();
    if (context_) {
        if (thread_) {
            HWND window = context_->window;
            if (window) PostMessageW(window, WM_CLOSE, 0, 0);
            if (!context_->releasingSelf) WaitServingCalls(thread_.get(), kStuckWorkerWaitMs);
        }
        context_->Release();
    }
}

void* KorvaneCdf::QueryInterfaceExtra(REFIID riid) noexcept {
    if (IsEqualIID(riid, IID_IKorvaneExtension)) return static_cast<IKorvaneExtension*>(this);
    return nullptr;
}

STDMETHODIMP KorvaneCdf::Initialize() try {
    if (context_) return E_UNEXPECTED;
    context_ = new WorkerContext();
    context_->module = ThisModule();
    // Events that come while the worker starts up wait for it in the queue.
    context_->Accept();
    try {
        ThrowIfFailed(CoMarshalInterThreadInterfaceInStream(IID_IKorvaneCDF, static_cast<IKorvaneCDF*>(this),
                                                            &context_->selfStream));
        ThrowIfFailed(CreateClientObject(L"Korvane", IID_IClientApp, reinterpret_cast<void**>(app_.GetAddressOf())));
        appSink_ = MakeObject<AppSink>(this);
        channelSink_ = MakeObject<ChannelSink>(this);
        parcelSink_ = MakeObject<ParcelSink>(this);
        appSink_->Connect(app_.Get(), kAppEventsMask, appSink_->Unknown());
        ComPtr<IChannelCollection> channels;
        ThrowIfFailed(app_->GetChannels(channels.GetAddressOf()));
        channelSink_->Connect(ThrowIfNull(channels.Get()), kChannelEventsMask, channelSink_->Unknown());
        ComPtr<IParcelSource> parcels;
        ThrowIfFailed(app_->GetParcelSource(parcels.GetAddressOf()));
        parcelSink_->Connect(ThrowIfNull(parcels.Get()), kParcelEventsMask, parcelSink_->Unknown());

        HMODULE pinned = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                reinterpret_cast<LPCWSTR>(&UnregisterWorkerClass), &pinned))
            ThrowHr(E_FAIL);
        context_->AddRef();
        thread_.reset(CreateThread(nullptr, 0, WorkerMain, context_, 0, nullptr));
        if (!thread_) {
            context_->Release();
            FreeLibrary(pinned);
            ThrowHr(E_FAIL);
        }
    } catch (...) {
        Unadvise();
        app_.Reset();
        context_->Release();
        context_ = nullptr;
        throw;
    }
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

void KorvaneCdf::Unadvise() noexcept {
    // Every sink is unadvised, in order, whatever one of them answers.
    if (appSink_) appSink_->Detach();
    if (channelSink_) channelSink_->Detach();
    if (parcelSink_) parcelSink_->Detach();
    appSink_.Reset();
    channelSink_.Reset();
    parcelSink_.Reset();
}

STDMETHODIMP KorvaneCdf::OnShutdown() {
    Unadvise();
    if (context_) {
        context_->shutdownRequested = true;
        if (context_->alive.exchange(false)) {
            context_->Close();
            HWND window = context_->window;
            if (window) PostMessageW(window, WM_CLOSE, 0, 0);
        }
        // The client goes on to release the extension and to close its apartment. The worker
        // ends first, while this thread still serves the calls its last work and its releases
        // make here; otherwise the destructor's wait would run to its cap for a worker that
        // waits on a closed apartment. Not when the worker itself is the caller.
        if (thread_ && !context_->shutsItselfDown) WaitServingCalls(thread_.get(), kStuckWorkerWaitMs);
    }
    app_.Reset();
    return S_OK;
}

HRESULT KorvaneCdf::Queue(UINT message, WPARAM wParam, LPARAM lParam, IUnknown* arg, REFIID iid) try {
    if (!context_ || !context_->Accepting()) return S_OK;
    IStream* stream = nullptr;
    if (arg) ThrowIfFailed(CoMarshalInterThreadInterfaceInStream(iid, arg, &stream));
    context_->Post(message, wParam, lParam, stream);
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

// ---------------------------------------------------------------------------------------------
// The sinks: each event only queues a message for the worker.

STDMETHODIMP AppSink::OnClientShutdown() { return owner_ ? owner_->OnShutdown() : S_OK; }

STDMETHODIMP ChannelSink::OnChannelAdded(IDispatch* channel) {
    if (!owner_ || !channel) return S_OK;
    return owner_->Queue(kChannelAdded, 0, 0, channel, __uuidof(IChannelObject));
}

STDMETHODIMP ChannelSink::OnChannelDeleted(LONG id) {
    return owner_ ? owner_->Queue(kChannelDeleted, static_cast<WPARAM>(static_cast<ULONG>(id)), 0) : S_OK;
}

STDMETHODIMP ChannelSink::OnChannelChanged(IDispatch* channel, LONG flags) try {
    if (!owner_ || !channel) return S_OK;
    ComPtr<IClientChannel> c;
    ThrowIfFailed(channel->QueryInterface(IID_PPV_ARGS(c.GetAddressOf())));
    LONG id = 0;
    ThrowIfFailed(c->GetId(&id));
    return owner_->Queue(kChannelChanged, static_cast<WPARAM>(static_cast<ULONG>(id)), flags);
} catch (...) {
    return CaughtHResult();
}

STDMETHODIMP ParcelSink::OnParcelDelivered(IDispatch* parcel) {
    if (!owner_ || !parcel) return S_OK;
    return owner_->Queue(kParcelDelivered, 0, 0, parcel, __uuidof(IClientParcel));
}

STDMETHODIMP ParcelSink::OnChannelResync(LONG id, LONG) {
    return owner_ ? owner_->Queue(kChannelResync, static_cast<WPARAM>(static_cast<ULONG>(id)), 0) : S_OK;
}

STDMETHODIMP ParcelSink::OnTransferStatus(LONG, LONG) { return S_OK; }

// ---------------------------------------------------------------------------------------------

void RemovePublishedChannels() noexcept {
    try {
        ChannelFolder folder;
        RegistryValueList channels(HKEY_CURRENT_USER, kChannelsKey, true);
        ChannelRecords records(channels);
        channels.Enumerate([&](const std::wstring& name, DWORD value) {
            if (value != 0) {
                try {
                    // A shortcut a person put in the place of the kit's is theirs.
                    auto shortcut = folder.Recorded(name);
                    if (shortcut && IsOwnShortcut(records, name, shortcut->url, {})) folder.RemovePath(shortcut->path);
                } catch (...) {
                }
            }
            return true;
        });
        folder.RefreshDesktop();
    } catch (...) {
    }
}

}  // namespace kv::cdf
