// KorvaneCDF, the client extension: the client creates it, calls Initialize and, when it closes,
// OnShutdown. The object lives on the client's thread; all channel work runs on a worker thread
// with a hidden window that handles one posted message at a time (kvcdf/reconciler.h).
//
// Ownership: the worker's state is a reference-counted WorkerContext held by the object and by
// the worker thread, each keeping the module loaded, so nothing a live worker touches is freed
// with the object. The client's events reach three sinks on the client's thread; they only
// marshal their arguments and append a record to the context's locked queue, which posts it to
// the window once start-up is done.
#pragma once

#include <windows.h>

#include "korvane_client.h"
#include "kvcdf.h"
#include "framework/client_sinks.h"
#include "platform/com_object.h"
#include "platform/dual.h"
#include "platform/raii.h"

namespace kv::cdf {

class WorkerContext;

// Worker messages: WM_APP+0 .. WM_APP+5.
enum WorkerMessage : UINT {
    kChannelAdded = WM_APP,
    kChannelDeleted = WM_APP + 1,
    kChannelChanged = WM_APP + 2,
    kFolderChanged = WM_APP + 3,
    kParcelDelivered = WM_APP + 4,
    kChannelResync = WM_APP + 5,
};

// Event masks the three sinks are advised with.
constexpr LONG kAppEventsMask = -1;
constexpr LONG kChannelEventsMask = 0x04010001;
constexpr LONG kParcelEventsMask = 0;

class KorvaneCdf;

// A sink reports to the extension until it is detached; a later event answers S_OK.
template <class Derived, class Interface>
class ExtensionSink : public ComObject<Derived, Dual<Interface>>, public SinkConnection {
public:
    explicit ExtensionSink(KorvaneCdf* owner) noexcept : owner_(owner) {}
    void Detach() noexcept {
        owner_ = nullptr;
        Disconnect();
    }

protected:
    KorvaneCdf* owner_;
};

class AppSink : public ExtensionSink<AppSink, IClientAppEvents> {
public:
    using ExtensionSink::ExtensionSink;
    STDMETHODIMP OnClientShutdown() override;
};

class ChannelSink : public ExtensionSink<ChannelSink, IChannelEvents> {
public:
    using ExtensionSink::ExtensionSink;
    STDMETHODIMP OnChannelAdded(IDispatch* channel) override;
    STDMETHODIMP OnChannelDeleted(LONG id) override;
    STDMETHODIMP OnChannelChanged(IDispatch* channel, LONG flags) override;
};

class ParcelSink : public ExtensionSink<ParcelSink, IParcelEvents> {
public:
    using ExtensionSink::ExtensionSink;
    STDMETHODIMP OnParcelDelivered(IDispatch* parcel) override;
    STDMETHODIMP OnChannelResync(LONG id, LONG reason) override;
    STDMETHODIMP OnTransferStatus(LONG id, LONG status) override;
};

class KorvaneCdf : public ComObject<KorvaneCdf, Dual<IKorvaneCDF>> {
public:
    KorvaneCdf();
    ~KorvaneCdf() override;

    STDMETHODIMP Initialize() override;
    // Unadvises, closes the worker and returns once it has ended (at most 10 s), serving the
    // calls it makes into this apartment meanwhile.
    STDMETHODIMP OnShutdown() override;

    // For the sinks (client thread): marshal `arg` (an interface of `iid`, or none) and queue
    // the message. S_OK without queueing when the worker does not take events.
    HRESULT Queue(UINT message, WPARAM wParam, LPARAM lParam, IUnknown* arg = nullptr, REFIID iid = IID_NULL);

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override;

private:
    void Unadvise() noexcept;

    WorkerContext* context_ = nullptr;
    UniqueHandleObj thread_;
    ComPtr<IClientApp> app_;
    ComPtr<AppSink> appSink_;
    ComPtr<ChannelSink> channelSink_;
    ComPtr<ParcelSink> parcelSink_;
};

// The class's registration step: removes the shortcut of every managed channel (non-zero
// Channels entry) and refreshes the desktop. Errors are ignored.
void RemovePublishedChannels() noexcept;

// On DLL unload: the worker window's class goes with the module.
void UnregisterWorkerClass(HINSTANCE module) noexcept;

}  // namespace kv::cdf
