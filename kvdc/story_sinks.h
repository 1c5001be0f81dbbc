// The story control's four client sinks. Each callback only records what happened in the
// control's notification queue (through StorySinkOwner); the control handles it later on its
// own window. A sink keeps the object it is connected to and its cookie while connected.
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

// What the sinks ask of the control. Each returns the HRESULT the client's call answers with.
class StorySinkOwner {
public:
    virtual HRESULT ClientShuttingDown() = 0;
    virtual HRESULT SettingsChanged(LONG flags) = 0;
    virtual HRESULT ChannelDeleted(LONG channelId) = 0;
    virtual HRESULT ChannelChanged(IDispatch* channel, LONG flags) = 0;
    virtual HRESULT StoriesAdded(LONG channelId, const VARIANT& storyIds) = 0;
    virtual HRESULT StoriesDeleted(LONG channelId, const VARIANT& storyIds) = 0;
    virtual HRESULT StoriesChanged(const VARIANT& storyIds, LONG flags) = 0;

protected:
    ~StorySinkOwner() = default;
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
    void Disconnect() noexcept;

private:
    ComPtr<IUnknown> source_;
    LONG cookie_ = 0;
    HRESULT (*unadvise_)(IUnknown*, LONG) = nullptr;
};

template <class Derived, class Interface>
class StorySink : public ComObject<Derived, Dual<Interface, ClientTypeLib>>, public SinkConnection {
public:
    explicit StorySink(StorySinkOwner* owner) noexcept : owner_(owner) {}
    // The control is going away: later callbacks are answered without reaching it.
    void Detach() noexcept { owner_ = nullptr; }

protected:
    StorySinkOwner* owner_;
};

class ShutdownSink : public StorySink<ShutdownSink, IClientAppEvents> {
public:
    using StorySink::StorySink;
    STDMETHODIMP OnClientShutdown() override;
};

class SettingsSink : public StorySink<SettingsSink, ISettingsEvents> {
public:
    using StorySink::StorySink;
    STDMETHODIMP OnSettingsChanged(LONG flags) override;
};

class ChannelSink : public StorySink<ChannelSink, IChannelEvents> {
public:
    using StorySink::StorySink;
    STDMETHODIMP OnChannelAdded(IDispatch* channel) override;
    STDMETHODIMP OnChannelDeleted(LONG channelId) override;
    STDMETHODIMP OnChannelChanged(IDispatch* channel, LONG flags) override;
};

class StorySourceSink : public StorySink<StorySourceSink, IStoryEvents> {
public:
    using StorySink::StorySink;
    STDMETHODIMP OnStoriesAdded(LONG channelId, VARIANT storyIds) override;
    STDMETHODIMP OnStoriesDeleted(LONG channelId, VARIANT storyIds) override;
    STDMETHODIMP OnStoriesChanged(LONG ignored, VARIANT storyIds, LONG flags) override;
};

// Event masks the sinks are connected with.
constexpr LONG kShutdownMask = static_cast<LONG>(0xFFFFFFFF);
constexpr LONG kSettingsMask = static_cast<LONG>(0xFBFDFFFF);
constexpr LONG kChannelMask = 0x0301103D;
constexpr LONG kStoryMask = 0x1FFFFFFF;

}  // namespace kv
