// What every ActiveX control of the kit keeps for its host: the client site, the events-frozen
// count, the two connection points (the control's event interface and property change
// notifications) and the OLE advise holder. The control owns one ControlCore for its whole life;
// all calls come on the control's (the page's) thread.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <span>
#include <vector>

#include "platform/com_object.h"
#include "platform/connection_point.h"

namespace kv {

// A property saved and loaded with the page, by name and DISPID, through the control's own
// get and put operations.
struct PersistedProperty {
    const wchar_t* name;
    DISPID dispid;
};

class ControlCore {
public:
    // `self` is the control (not referenced: it owns this core).
    ControlCore(IConnectionPointContainer* self, REFCLSID clsid, REFIID eventsIid, DWORD miscStatus);
    ~ControlCore();
    ControlCore(const ControlCore&) = delete;
    ControlCore& operator=(const ControlCore&) = delete;

    const CLSID& Clsid() const noexcept { return clsid_; }
    const IID& EventsIid() const noexcept { return events_->Iid(); }
    DWORD MiscStatus() const noexcept { return miscStatus_; }

    IOleClientSite* Site() const noexcept { return site_.Get(); }
    void SetSite(IOleClientSite* site) { site_ = site; }

    // IOleControl::FreezeEvents bookkeeping; returns the new count (never below 0).
    LONG Freeze(bool freeze) noexcept;
    LONG FrozenCount() const noexcept { return frozen_; }

    // Fires an event of the control's event interface to every connected sink (arguments in
    // call order); OnChanged(dispid) to every property notification sink.
    void Fire(DISPID dispid, const std::vector<VARIANT>& args = {}) const noexcept;
    void Changed(DISPID dispid) const noexcept;

    HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** point) const noexcept;
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) const noexcept;
    ConnectionPoint& Events() const noexcept { return *events_.Get(); }

    IOleAdviseHolder* AdviseHolder();
    SIZEL& Extent() noexcept { return extent_; }

private:
    CLSID clsid_;
    DWORD miscStatus_;
    ComPtr<IOleClientSite> site_;
    LONG frozen_ = 0;
    ComPtr<ConnectionPoint> events_;
    ComPtr<ConnectionPoint> propertyNotify_;
    ComPtr<IOleAdviseHolder> adviseHolder_;
    SIZEL extent_ = {2540, 2540};
};

// Loads `props` from a property bag through `control`'s property put operations. Names the bag
// does not hold are skipped, and so are properties that have no put operation.
HRESULT LoadProperties(IDispatch* control, std::span<const PersistedProperty> props, IPropertyBag* bag,
                       IErrorLog* log) noexcept;
// Saves every property whose get operation succeeds.
HRESULT SaveProperties(IDispatch* control, std::span<const PersistedProperty> props, IPropertyBag* bag) noexcept;
// The same to and from a stream, in a compact format of the kit's own.
HRESULT LoadProperties(IDispatch* control, std::span<const PersistedProperty> props, IStream* stream) noexcept;
HRESULT SaveProperties(IDispatch* control, std::span<const PersistedProperty> props, IStream* stream) noexcept;

}  // namespace kv
