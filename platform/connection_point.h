// Connection points for objects that fire events (a control's event interface, its property
// change notifications). The owner keeps each ConnectionPoint for its whole life and detaches
// it in its destructor; sinks are kept in connection order. Single apartment: all calls on the
// owner's thread.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <vector>

#include "platform/com_object.h"

namespace kv {

class ConnectionPoint : public ComObject<ConnectionPoint, IConnectionPoint> {
public:
    // `owner` is not referenced (it owns this object); it is handed out AddRef'd on request.
    ConnectionPoint(IConnectionPointContainer* owner, REFIID iid) noexcept : owner_(owner), iid_(iid) {}

    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** owner) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

    const IID& Iid() const noexcept { return iid_; }
    // The connected sinks, each queried for the connection's interface, in connection order.
    std::vector<ComPtr<IUnknown>> Sinks() const;
    bool Empty() const noexcept { return sinks_.empty(); }
    // Releases every sink and forgets the owner (called by the owner's destructor).
    void Detach() noexcept;

private:
    struct Connection {
        DWORD cookie;
        ComPtr<IUnknown> sink;
    };
    IConnectionPointContainer* owner_;
    IID iid_;
    std::vector<Connection> sinks_;
    DWORD nextCookie_ = 1;
};

// Enumerates a fixed list of connection points (IConnectionPointContainer::EnumConnectionPoints).
HRESULT EnumerateConnectionPoints(const std::vector<ComPtr<IConnectionPoint>>& points,
                                  IEnumConnectionPoints** out) noexcept;

// Fires a dispatch event to every sink of `point`: Invoke(dispid, IID_NULL, 1024,
// DISPATCH_METHOD) with a fresh copy of `args` (given in call order) for each sink. Results and
// errors of the sinks are ignored.
void FireDispatchEvent(const ConnectionPoint& point, DISPID dispid, const std::vector<VARIANT>& args) noexcept;

// Sends IPropertyNotifySink::OnChanged(dispid) to every sink of `point`.
void NotifyPropertyChanged(const ConnectionPoint& point, DISPID dispid) noexcept;

}  // namespace kv
