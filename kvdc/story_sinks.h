// The story control's channel and story sinks; the shutdown and settings sinks are the
// framework's. Each callback only records what happened in the control's notification queue
// (through StorySinkOwner); the control handles it later on its own window.
#pragma once

#include <windows.h>

#include <vector>

#include "framework/client_sinks.h"

namespace kv {

// What the story control's sinks ask of it (the shutdown and settings sinks ask the framework's
// ClientSinkOwner). Each returns the HRESULT the client's call answers
// with.
class StorySinkOwner {
public:
    virtual HRESULT ChannelDeleted(LONG channelId) = 0;
    virtual HRESULT ChannelChanged(IDispatch* channel, LONG flags) = 0;
    virtual HRESULT StoriesAdded(LONG channelId, const VARIANT& storyIds) = 0;
    virtual HRESULT StoriesDeleted(LONG channelId, const VARIANT& storyIds) = 0;
    virtual HRESULT StoriesChanged(const VARIANT& storyIds, LONG flags) = 0;

protected:
    ~StorySinkOwner() = default;
};

class ChannelSink : public ClientSink<ChannelSink, IChannelEvents, StorySinkOwner> {
public:
    using ClientSink::ClientSink;
    STDMETHODIMP OnChannelAdded(IDispatch* channel) override;
    STDMETHODIMP OnChannelDeleted(LONG channelId) override;
    STDMETHODIMP OnChannelChanged(IDispatch* channel, LONG flags) override;
};

class StorySourceSink : public ClientSink<StorySourceSink, IStoryEvents, StorySinkOwner> {
public:
    using ClientSink::ClientSink;
    STDMETHODIMP OnStoriesAdded(LONG channelId, VARIANT storyIds) override;
    STDMETHODIMP OnStoriesDeleted(LONG channelId, VARIANT storyIds) override;
    STDMETHODIMP OnStoriesChanged(LONG ignored, VARIANT storyIds, LONG flags) override;
};

// The story IDs of a notification: one VT_I4, or an array of integers (or of VARIANTs that
// convert to integers), possibly by reference. Throws on anything else.
std::vector<LONG> StoryIds(const VARIANT& ids);
// The ids in their first order, each once.
std::vector<LONG> UniqueIds(const std::vector<LONG>& ids);

// Event masks the two sinks are connected with.
constexpr LONG kChannelMask = 0x0301103D;
constexpr LONG kStoryMask = 0x1FFFFFFF;

}  // namespace kv
