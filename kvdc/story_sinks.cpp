#include "kvdc/story_sinks.h"

#include <unordered_set>

#include "platform/raii.h"

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

// The ids in their first order, each once.
std::vector<LONG> UniqueIds(const std::vector<LONG>& ids) {
    std::vector<LONG> out;
    std::unordered_set<LONG> seen;
    for (LONG id : ids)
        if (seen.insert(id).second) out.push_back(id);
    return out;
}

// The story IDs of a notification: one VT_I4, or an array of integers (or of VARIANTs that
// convert to integers), possibly by reference.
std::vector<LONG> StoryIds(const VARIANT& ids) {
    const VARIANT* v = &ids;
    if (v->vt == (VT_VARIANT | VT_BYREF) && v->pvarVal) v = v->pvarVal;
    std::vector<LONG> out;
    if (!(v->vt & VT_ARRAY)) {
        Variant one(*v);
        one.ChangeType(VT_I4);
        out.push_back(one->lVal);
        return out;
    }
    SAFEARRAY* sa = (v->vt & VT_BYREF) ? (v->pparray ? *v->pparray : nullptr) : v->parray;
    if (!sa || SafeArrayGetDim(sa) != 1) ThrowHr(E_INVALIDARG);
    LONG lo = 0, hi = -1;
    ThrowIfFailed(SafeArrayGetLBound(sa, 1, &lo));
    ThrowIfFailed(SafeArrayGetUBound(sa, 1, &hi));
    VARTYPE vt = VT_EMPTY;
    ThrowIfFailed(SafeArrayGetVartype(sa, &vt));
    for (LONG i = lo; i <= hi; ++i) {
        if (vt == VT_I4) {
            LONG id = 0;
            ThrowIfFailed(SafeArrayGetElement(sa, &i, &id));
            out.push_back(id);
        } else if (vt == VT_VARIANT) {
            Variant item;
            ThrowIfFailed(SafeArrayGetElement(sa, &i, item.get()));
            item.ChangeType(VT_I4);
            out.push_back(item->lVal);
        } else {
            ThrowHr(E_INVALIDARG);
        }
    }
    return out;
}

}  // namespace kv
