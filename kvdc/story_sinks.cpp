#include "kvdc/story_sinks.h"

namespace kv {

STDMETHODIMP ChannelSink::OnChannelAdded(IDispatch*) { return S_OK; }
STDMETHODIMP ChannelSink::OnChannelDeleted(LONG channelId) {
    return owner_ ? owner_->ChannelDeleted(channelId) : S_OK;
}
STDMETHODIMP ChannelSink::OnChannelChanged(IDispatch* channel, LONG flags) {
    return owner_ ? owner_->ChannelChanged(channel, flags) : S_OK;
}

STDMETHODIMP StorySourceSink::OnStoriesAdded(LONG channelId, VARIANT storyIds) {
    return owner_ ? owner_->StoriesAdded(channelId, storyIds) : S_OK;
}
STDMETHODIMP StorySourceSink::OnStoriesDeleted(LONG channelId, VARIANT storyIds) {
    return owner_ ? owner_->StoriesDeleted(channelId, storyIds) : S_OK;
}
STDMETHODIMP StorySourceSink::OnStoriesChanged(LONG, VARIANT storyIds, LONG flags) {
    return owner_ ? owner_->StoriesChanged(storyIds, flags) : S_OK;
}

}  // namespace kv
