#include "kvcdf/channel_properties.h"

#include <algorithm>

#include "platform/com_object.h"
#include "platform/hresult_error.h"

namespace kv::cdf {
namespace {

// The number of elements of a one-dimensional array.
LONG ElementCount(SAFEARRAY* sa) {
    if (!sa || SafeArrayGetDim(sa) != 1) ThrowHr(E_INVALIDARG);
    LONG lo = 0, hi = -1;
    ThrowIfFailed(SafeArrayGetLBound(sa, 1, &lo));
    ThrowIfFailed(SafeArrayGetUBound(sa, 1, &hi));
    return hi - lo + 1;
}

SAFEARRAY* ArrayIn(const VARIANT& v, VARTYPE element) {
    const VARIANT* p = &v;
    if (p->vt == (VT_VARIANT | VT_BYREF)) p = p->pvarVal;
    if (p->vt == (VT_ARRAY | element)) return p->parray;
    if (p->vt == (VT_ARRAY | element | VT_BYREF) && p->pparray) return *p->pparray;
    ThrowHr(E_INVALIDARG);
}

}  // namespace

ChannelProperties::ChannelProperties(IClientChannel* channel) {
    ComPtr<IClientChannel2> channel2;
    ThrowIfFailed(ThrowIfNull(channel)->QueryInterface(IID_PPV_ARGS(channel2.GetAddressOf())));
    ComPtr<IClientPropertySet> set;
    ThrowIfFailed(channel2->GetProperties(set.GetAddressOf()));
    LONG count = 0;
    Variant values;
    ThrowIfFailed(ThrowIfNull(set.Get())->GetValues(&count, values.put()));
    *this = ChannelProperties(count, *values.get());
}

ChannelProperties::ChannelProperties(LONG count, const VARIANT& values) {
    SAFEARRAY* pair = ArrayIn(values, VT_VARIANT);
    if (ElementCount(pair) < 2) ThrowHr(E_INVALIDARG);
    LONG lo = 0;
    ThrowIfFailed(SafeArrayGetLBound(pair, 1, &lo));
    Variant idsItem, valuesItem;
    LONG at = lo;
    ThrowIfFailed(SafeArrayGetElement(pair, &at, idsItem.put()));
    at = lo + 1;
    ThrowIfFailed(SafeArrayGetElement(pair, &at, valuesItem.put()));
    SAFEARRAY* ids = ArrayIn(*idsItem.get(), VT_I4);
    SAFEARRAY* items = ArrayIn(*valuesItem.get(), VT_VARIANT);
    LONG n = std::min({std::max<LONG>(count, 0), ElementCount(ids), ElementCount(items)});
    LONG idsLo = 0, itemsLo = 0;
    ThrowIfFailed(SafeArrayGetLBound(ids, 1, &idsLo));
    ThrowIfFailed(SafeArrayGetLBound(items, 1, &itemsLo));
    for (LONG i = 0; i < n; ++i) {
        LONG id = 0, a = idsLo + i, b = itemsLo + i;
        ThrowIfFailed(SafeArrayGetElement(ids, &a, &id));
        Variant item;
        ThrowIfFailed(SafeArrayGetElement(items, &b, item.put()));
        Variant value;
        ThrowIfFailed(VariantCopyInd(value.put(), item.get()));  // by-reference values are dereferenced
        values_[id] = std::move(value);
    }
}

Variant ChannelProperties::Get(LONG id) const {
    auto it = values_.find(id);
    return it == values_.end() ? Variant() : it->second;
}

std::wstring ChannelProperties::Text(LONG id) const {
    Variant v = Get(id);
    if (v.vt() == VT_EMPTY || FAILED(VariantChangeType(v.get(), v.get(), 0, VT_BSTR))) return {};
    return std::wstring(v->bstrVal ? v->bstrVal : L"", SysStringLen(v->bstrVal));
}

bool ChannelProperties::Flag(LONG id) const {
    Variant v = Get(id);
    if (v.vt() == VT_EMPTY || FAILED(VariantChangeType(v.get(), v.get(), 0, VT_BOOL))) return false;
    return v->boolVal != VARIANT_FALSE;
}

}  // namespace kv::cdf
