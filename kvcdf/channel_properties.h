// One channel's properties as the client gives them (IClientPropertySet::GetValues), read once:
// property id -> value. Ids the publisher uses: 1 title, 3 directory-channel flag, 7 abstract,
// 8 category path. One thread at a time.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <map>
#include <string>

#include "korvane_client.h"
#include "platform/raii.h"

namespace kv::cdf {

class ChannelProperties {
public:
    static constexpr LONG kTitle = 1, kDirectoryChannel = 3, kAbstract = 7, kCategoryPath = 8;

    // Reads the properties of `channel` (which must answer IClientChannel2); the client's failing
    // HRESULT is thrown, and E_NOINTERFACE for a channel without the interface.
    explicit ChannelProperties(IClientChannel* channel);

    // From GetValues' answer: [0] the ids, [1] the values. `count` is the client's count; no more
    // entries are read than both arrays hold. Throws E_INVALIDARG for another shape.
    ChannelProperties(LONG count, const VARIANT& values);

    // A copy of the value; an empty VARIANT for an absent id.
    Variant Get(LONG id) const;
    // The value as text (empty when absent or not convertible), and as a boolean (false likewise).
    std::wstring Text(LONG id) const;
    bool Flag(LONG id) const;

private:
    std::map<LONG, Variant> values_;
};

}  // namespace kv::cdf
