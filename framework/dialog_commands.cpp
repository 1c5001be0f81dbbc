#include "framework/dialog_commands.h"

#include <objbase.h>

#include <utility>

#include "framework/value_converter.h"
#include "platform/com_object.h"
#include "platform/hresult_error.h"

namespace kv {
namespace {

// An interface marshalled for another thread of this process. The stream carries a reference
// to the object until it is unmarshalled (which consumes it) or dropped (which releases the
// reference again).
class MarshalledInterface {
public:
    MarshalledInterface() = default;
    MarshalledInterface(const MarshalledInterface&) = delete;
    MarshalledInterface& operator=(const MarshalledInterface&) = delete;
    ~MarshalledInterface() { Drop(); }

    HRESULT Marshal(REFIID iid, IUnknown* object) noexcept {
        return CoMarshalInterThreadInterfaceInStream(iid, object, &stream_);
    }
    // The interface on the calling thread; null (E_POINTER) when nothing came out.
    template <class I>
    HRESULT Unmarshal(ComPtr<I>& out) noexcept {
        IStream* stream = std::exchange(stream_, nullptr);
        if (!stream) return E_POINTER;
        HRESULT hr = CoGetInterfaceAndReleaseStream(stream, __uuidof(I), reinterpret_cast<void**>(out.ReleaseAndGetAddressOf()));
        if (SUCCEEDED(hr) && !out) hr = E_POINTER;
        return hr;
    }
    void Drop() noexcept {
        if (IStream* stream = std::exchange(stream_, nullptr)) {
            CoReleaseMarshalData(stream);
            stream->Release();
        }
    }

private:
    IStream* stream_ = nullptr;
};

// What a dialog thread owns: the marshalled control and client interface, the parent window and
// the launcher's open flag, which outlives both the launcher and the control.
struct DialogJob {
    int kind = 0;
    HWND parent = nullptr;
    MarshalledInterface owner;
    MarshalledInterface target;
    std::shared_ptr<std::atomic<bool>> open;
    HMODULE module = nullptr;
};

constexpr int kChannelSetup = 0;
constexpr int kGlobalSetup = 1;

// Window handles have 32 significant bits on 64-bit Windows too, so they may cross the client's
// interfaces as a long.
LONG WindowValue(HWND window) noexcept { return HandleToLong(window); }

HRESULT ShowDialog(DialogJob& job) noexcept try {
    if (job.kind == kChannelSetup) {
        ComPtr<IClientChannel> channel;
        ThrowIfFailed(job.target.Unmarshal(channel));
        ThrowIfFailed(channel->ShowSetup(WindowValue(job.parent)));
    } else {
        ComPtr<IClientApp2> app;
        ThrowIfFailed(job.target.Unmarshal(app));
        ComPtr<IClientSettings> settings;
        ThrowIfFailed(app->GetSettings(settings.GetAddressOf()));
        if (!settings) ThrowHr(E_POINTER);
        ThrowIfFailed(settings->ShowGlobalSetup(WindowValue(job.parent)));
    }
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

// Gives the control's reference back through a proxy, so that its release runs in the
// control's own apartment; the client interface is dropped unused.
void ReleaseUnused(DialogJob& job) noexcept {
    {
        ComPtr<IUnknown> owner;
        job.owner.Unmarshal(owner);
    }
    job.target.Drop();
}

HRESULT RunDialog(DialogJob& job) noexcept {
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) {
        // No dialog without an apartment of its own, but the control's reference must still go
        // back or the control is never destroyed. A thread that is in the multithreaded
        // apartment already can do that as it is; any other joins it for as long as it takes.
        if (hr == RPC_E_CHANGED_MODE) {
            ReleaseUnused(job);
        } else if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
            ReleaseUnused(job);
            CoUninitialize();
        }
        job.open->store(false);
        return hr;
    }
    {
        // The control first: its proxy is released last, so its final release (a full one)
        // happens in its own apartment once nothing here refers to it any more.
        ComPtr<IUnknown> owner;
        hr = job.owner.Unmarshal(owner);
        if (SUCCEEDED(hr)) hr = ShowDialog(job);
        job.target.Drop();
        job.open->store(false);
    }
    CoUninitialize();
    return hr;
}

DWORD WINAPI DialogThread(void* param) {
    HMODULE module = nullptr;
    HRESULT hr;
    {
        std::unique_ptr<DialogJob> job(static_cast<DialogJob*>(param));
        module = job->module;
        hr = RunDialog(*job);
    }
    // The control may be gone and its module unlocked: leave this module's code and drop the
    // thread's hold on it in one step.
    FreeLibraryAndExitThread(module, static_cast<DWORD>(hr));
}

// An address inside this module, to take a reference on the module that holds this code.
const char kModuleAnchor = 0;

}  // namespace

SetupDialogLauncher::SetupDialogLauncher(IUnknown* owner) noexcept
    : owner_(owner), open_(std::make_shared<std::atomic<bool>>(false)) {}

HRESULT SetupDialogLauncher::Setup(IClientChannel* channel) noexcept {
    return Start(Kind::ChannelSetup, channel, IID_IClientChannel);
}

HRESULT SetupDialogLauncher::GlobalSetup(IClientApp2* app) noexcept {
    return Start(Kind::GlobalSetup, app, IID_IClientApp2);
}

HRESULT SetupDialogLauncher::Start(Kind kind, IUnknown* target, REFIID iid) noexcept try {
    if (open_->load()) return S_FALSE;
    if (!target || !owner_) return E_POINTER;

    auto job = std::make_unique<DialogJob>();
    job->kind = kind == Kind::ChannelSetup ? kChannelSetup : kGlobalSetup;
    job->open = open_;
    ThrowIfFailed(job->target.Marshal(iid, target));
    ThrowIfFailed(job->owner.Marshal(IID_IUnknown, owner_));
    job->parent = GetActiveWindow();
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&kModuleAnchor),
                            &job->module))
        ThrowLastError();

    open_->store(true);
    HANDLE thread = CreateThread(nullptr, 0, DialogThread, job.get(), 0, nullptr);
    if (!thread) {
        // Nothing was started: let the marshalled references and the module go again, so that
        // the control is not kept alive for ever and a later call may try again.
        open_->store(false);
        FreeLibrary(job->module);
        return E_FAIL;
    }
    job.release();  // the thread owns it now
    CloseHandle(thread);
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

HRESULT ClientObjectForPage(IClientChannel2* channel, IClientApp2* app, IDispatch** client) noexcept try {
    if (!client) return E_POINTER;
    *client = nullptr;
    if (!channel || !app) return E_POINTER;
    LONG mode = 0;
    ThrowIfFailed(channel->GetMode(&mode));
    bool trusted = mode == 2;
    if (!trusted) {
        LONG security = 0;
        ThrowIfFailed(channel->GetSecurityFlags(&security));
        trusted = (security & 0x2) != 0;
    }
    if (trusted) ThrowIfFailed(app->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(client)));
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

HRESULT OpenClientView(IClientApp2* app, LONG view) noexcept try {
    if (!app) return E_POINTER;
    ComPtr<IClientUi> ui;
    ThrowIfFailed(app->QueryInterface(IID_IClientUi, reinterpret_cast<void**>(ui.GetAddressOf())));
    ThrowIfFailed(ui->OpenClientWindow(view));
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

HRESULT ScriptDateFromClientTime(LONG seconds, DATE* date) noexcept try {
    if (!date) return E_POINTER;
    *date = LocalDateFromUnixSeconds(seconds);
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

}  // namespace kv
