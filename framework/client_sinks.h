// The client sinks every data control connects: the client's shutdown and its settings changes,
// and the connection part every client sink shares. A callback only records what happened in
// the control's notification queue (through ClientSinkOwner); the control handles it later on
// its own window. A sink keeps the object it is connected to and its cookie while connected.
// Objects of the control's apartment: the client's calls reach them on the control's thread.
#pragma once

#include <windows.h>

#include "korvane_client.h"
#include "platform/dual.h"

namespace kv {

// The client's type library, registered with the client, describes the sink interfaces.
struct ClientTypeLib {
    static HRESULT Load(REFIID iid, ITypeInfo** info) noexcept;
};

// What the shutdown and settings sinks ask of their control. Each returns the HRESULT the
// client's call answers with.
class ClientSinkOwner {
public:
    virtual HRESULT ClientShuttingDown() = 0;
    virtual HRESULT SettingsChanged(LONG flags) = 0;

protected:
    ~ClientSinkOwner() = default;
};

// The connection part every sink shares: Advise(mask, sink, cookie) on a client object, and
// Unadvise(cookie) with the stored cookie.
class SinkConnection {
public:
    bool Connected() const noexcept { return source_ != nullptr; }
    // Connecting a connected sink does nothing.
    template <class Source>
    void Connect(Source* source, LONG mask, IUnknown* sink) {
        if (source_) return;
        LONG cookie = 0;
        ThrowIfFailed(source->Advise(mask, sink, &cookie));
        source_ = source;
        cookie_ = cookie;
        unadvise_ = [](IUnknown* s, LONG c) { return static_cast<Source*>(s)->Unadvise(c); };
    }
    // Errors of the unadvise are ignored: the connection is gone either way.
    void Disconnect() noexcept;

private:
    ComPtr<IUnknown> source_;
    LONG cookie_ = 0;
    HRESULT (*unadvise_)(IUnknown*, LONG) = nullptr;
};

// A sink of `Interface` that reports to an `Owner` (not referenced: the owner owns the sink).
template <class Derived, class Interface, class Owner>
class ClientSink : public ComObject<Derived, Dual<Interface, ClientTypeLib>>, public SinkConnection {
public:
    explicit ClientSink(Owner* owner) noexcept : owner_(owner) {}
    // The control is going away: later callbacks are answered without reaching it.
    void Detach() noexcept { owner_ = nullptr; }

protected:
    Owner* owner_;
};

class ShutdownSink : public ClientSink<ShutdownSink, IClientAppEvents, ClientSinkOwner> {
public:
    using ClientSink::ClientSink;
    STDMETHODIMP OnClientShutdown() override;
};

class SettingsSink : public ClientSink<SettingsSink, ISettingsEvents, ClientSinkOwner> {
public:
    using ClientSink::ClientSink;
    STDMETHODIMP OnSettingsChanged(LONG flags) override;
};

// Event masks the two sinks are connected with.
constexpr LONG kShutdownMask = static_cast<LONG>(0xFFFFFFFF);
constexpr LONG kSettingsMask = static_cast<LONG>(0xFBFDFFFF);

}  // namespace kv
