#include "platform/connection_point.h"

#include <algorithm>

#include "platform/raii.h"

namespace kv {
namespace {

// A snapshot enumerator over a vector of items, for the two enumerator interfaces.
template <class IEnum, class Item, class Derived>
class SnapshotEnum : public ComObject<Derived, IEnum> {
public:
    SnapshotEnum(std::vector<Item> items, size_t pos = 0) : items_(std::move(items)), pos_(pos) {}

    STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        while (n < count && pos_ < items_.size()) {
            out[n] = items_[pos_++];
            Derived::AddRefItem(out[n]);
            ++n;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        size_t left = items_.size() - pos_;
        pos_ += std::min<size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        pos_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnum** out) override {
        if (!out) return E_POINTER;
        for (auto& item : items_) Derived::AddRefItem(item);
        return CreateObject<Derived>(__uuidof(IEnum), reinterpret_cast<void**>(out), items_, pos_);
    }

protected:
    std::vector<Item> items_;  // each item holds one reference for the enumerator
    size_t pos_;
};

class ConnectionEnum : public SnapshotEnum<IEnumConnections, CONNECTDATA, ConnectionEnum> {
public:
    using SnapshotEnum::SnapshotEnum;
    ~ConnectionEnum() override {
        for (auto& c : items_) c.pUnk->Release();
    }
    static void AddRefItem(CONNECTDATA& c) { c.pUnk->AddRef(); }
};

class PointEnum : public SnapshotEnum<IEnumConnectionPoints, IConnectionPoint*, PointEnum> {
public:
    using SnapshotEnum::SnapshotEnum;
    ~PointEnum() override {
        for (auto* p : items_) p->Release();
    }
    static void AddRefItem(IConnectionPoint* p) { p->AddRef(); }
};

}  // namespace

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** owner) {
    if (!owner) return E_POINTER;
    *owner = owner_;
    if (!owner_) return E_UNEXPECTED;
    owner_->AddRef();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) try {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    ComPtr<IUnknown> typed;
    if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(typed.GetAddressOf()))))
        return CONNECT_E_CANNOTCONNECT;
    sinks_.push_back({nextCookie_, typed});
    *cookie = nextCookie_++;
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) {
    auto it = std::find_if(sinks_.begin(), sinks_.end(), [&](const Connection& c) { return c.cookie == cookie; });
    if (it == sinks_.end()) return CONNECT_E_NOCONNECTION;
    ComPtr<IUnknown> keep = std::move(it->sink);  // released after the list is consistent
    sinks_.erase(it);
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** connections) try {
    if (!connections) return E_POINTER;
    std::vector<CONNECTDATA> items;
    for (auto& c : sinks_) {
        c.sink->AddRef();
        items.push_back({c.sink.Get(), c.cookie});
    }
    return CreateObject<ConnectionEnum>(IID_IEnumConnections, reinterpret_cast<void**>(connections), items);
} catch (...) {
    return CaughtHResult();
}

std::vector<ComPtr<IUnknown>> ConnectionPoint::Sinks() const {
    std::vector<ComPtr<IUnknown>> out;
    out.reserve(sinks_.size());
    for (auto& c : sinks_) out.push_back(c.sink);
    return out;
}

void ConnectionPoint::Detach() noexcept {
    owner_ = nullptr;
    auto old = std::move(sinks_);
    sinks_.clear();
}

HRESULT EnumerateConnectionPoints(const std::vector<ComPtr<IConnectionPoint>>& points,
                                  IEnumConnectionPoints** out) noexcept {
    if (!out) return E_POINTER;
    try {
        std::vector<IConnectionPoint*> items;
        for (auto& p : points) {
            p->AddRef();
            items.push_back(p.Get());
        }
        return CreateObject<PointEnum>(IID_IEnumConnectionPoints, reinterpret_cast<void**>(out), items);
    } catch (...) {
        return CaughtHResult();
    }
}

void FireDispatchEvent(const ConnectionPoint& point, DISPID dispid, const std::vector<VARIANT>& args) noexcept {
    try {
        for (auto& sink : point.Sinks()) {
            ComPtr<IDispatch> disp;
            if (FAILED(sink.As(&disp))) continue;
            // DISPPARAMS takes the arguments in reverse order; every sink gets its own copy.
            std::vector<Variant> copy;
            copy.reserve(args.size());
            for (auto it = args.rbegin(); it != args.rend(); ++it) copy.emplace_back(*it);
            static_assert(sizeof(Variant) == sizeof(VARIANT));
            DISPPARAMS params = {reinterpret_cast<VARIANT*>(copy.data()), nullptr, static_cast<UINT>(copy.size()), 0};
            Variant result;
            disp->Invoke(dispid, IID_NULL, 1024, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr);
        }
    } catch (...) {
        // A failing copy drops the event for the remaining sinks; firing never fails the caller.
    }
}

void NotifyPropertyChanged(const ConnectionPoint& point, DISPID dispid) noexcept {
    try {
        for (auto& sink : point.Sinks()) {
            ComPtr<IPropertyNotifySink> notify;
            if (SUCCEEDED(sink.As(&notify))) notify->OnChanged(dispid);
        }
    } catch (...) {
    }
}

}  // namespace kv
