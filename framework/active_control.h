// The host-facing interfaces of an ActiveX control, as entries of kv::ComObject's interface
// table. The control class D provides:
//   ControlCore& Core();                                   its host state
//   IDispatch* PropertyDispatch();                         its dual interface (for persistence)
//   std::span<const PersistedProperty> PersistedProperties();
//   void OnSiteChanged(); void OnFreezeEvents(LONG count); void OnClose();
//
//   class Ctl : public kv::ComObject<Ctl, kv::Dual<ICtl>, kv::OleObjectImpl<Ctl>,
//                                    kv::OleControlImpl<Ctl>, ...> { ... };
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include "framework/control_core.h"
#include "platform/dual.h"

namespace kv {

template <class D>
class OleObjectImpl : public IOleObject {
public:
    using Interface = IOleObject;
    STDMETHODIMP SetClientSite(IOleClientSite* site) override try {
        Self()->Core().SetSite(site);
        Self()->OnSiteChanged();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetClientSite(IOleClientSite** site) override {
        if (!site) return E_POINTER;
        *site = Self()->Core().Site();
        if (*site) (*site)->AddRef();
        return S_OK;
    }
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD) override {
        Self()->OnClose();
        return S_OK;
    }
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** mk) override {
        if (mk) *mk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject** data) override {
        if (data) *data = nullptr;
        return E_NOTIMPL;
    }
    // The controls have no user interface of their own: every verb succeeds and shows nothing.
    STDMETHODIMP DoVerb(LONG, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) override { return S_OK; }
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override {
        if (verbs) *verbs = nullptr;
        return OLEOBJ_E_NOVERBS;
    }
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* clsid) override {
        if (!clsid) return E_POINTER;
        *clsid = Self()->Core().Clsid();
        return S_OK;
    }
    STDMETHODIMP GetUserType(DWORD form, LPOLESTR* type) override {
        return OleRegGetUserType(Self()->Core().Clsid(), form, type);
    }
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override {
        if (aspect != DVASPECT_CONTENT) return E_FAIL;
        if (!size) return E_POINTER;
        Self()->Core().Extent() = *size;
        return S_OK;
    }
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override {
        if (aspect != DVASPECT_CONTENT) return E_FAIL;
        if (!size) return E_POINTER;
        *size = Self()->Core().Extent();
        return S_OK;
    }
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override try {
        return Self()->Core().AdviseHolder()->Advise(sink, cookie);
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Unadvise(DWORD cookie) override try {
        return Self()->Core().AdviseHolder()->Unadvise(cookie);
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** e) override try {
        return Self()->Core().AdviseHolder()->EnumAdvise(e);
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetMiscStatus(DWORD, DWORD* status) override {
        if (!status) return E_POINTER;
        *status = Self()->Core().MiscStatus();
        return S_OK;
    }
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

private:
    D* Self() { return static_cast<D*>(this); }
};

template <class D>
class OleControlImpl : public IOleControl {
public:
    using Interface = IOleControl;
    STDMETHODIMP GetControlInfo(CONTROLINFO*) override { return E_NOTIMPL; }
    STDMETHODIMP OnMnemonic(MSG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnAmbientPropertyChange(DISPID) override { return S_OK; }
    STDMETHODIMP FreezeEvents(BOOL freeze) override try {
        D* self = static_cast<D*>(this);
        self->OnFreezeEvents(self->Core().Freeze(freeze != FALSE));
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
};

template <class D>
class PersistPropertyBagImpl : public IPersistPropertyBag {
public:
    using Interface = IPersistPropertyBag;
    STDMETHODIMP GetClassID(CLSID* clsid) override {
        if (!clsid) return E_POINTER;
        *clsid = static_cast<D*>(this)->Core().Clsid();
        return S_OK;
    }
    STDMETHODIMP InitNew() override { return S_OK; }
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override {
        D* self = static_cast<D*>(this);
        return LoadProperties(self->PropertyDispatch(), self->PersistedProperties(), bag, log);
    }
    STDMETHODIMP Save(IPropertyBag* bag, BOOL, BOOL) override {
        D* self = static_cast<D*>(this);
        return SaveProperties(self->PropertyDispatch(), self->PersistedProperties(), bag);
    }
};

template <class D>
class PersistStreamInitImpl : public IPersistStreamInit {
public:
    using Interface = IPersistStreamInit;
    STDMETHODIMP GetClassID(CLSID* clsid) override {
        if (!clsid) return E_POINTER;
        *clsid = static_cast<D*>(this)->Core().Clsid();
        return S_OK;
    }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(IStream* stream) override {
        D* self = static_cast<D*>(this);
        return LoadProperties(self->PropertyDispatch(), self->PersistedProperties(), stream);
    }
    STDMETHODIMP Save(IStream* stream, BOOL) override {
        D* self = static_cast<D*>(this);
        return SaveProperties(self->PropertyDispatch(), self->PersistedProperties(), stream);
    }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP InitNew() override { return S_OK; }
};

template <class D>
class ProvideClassInfoImpl : public IProvideClassInfo2 {
public:
    using Interface = IProvideClassInfo2;
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override {
        return LoadModuleTypeInfo(ThisModule(), static_cast<D*>(this)->Core().Clsid(), info);
    }
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override {
        if (!guid) return E_POINTER;
        if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
        *guid = static_cast<D*>(this)->Core().EventsIid();
        return S_OK;
    }
};

template <class D>
class ConnectionPointContainerImpl : public IConnectionPointContainer {
public:
    using Interface = IConnectionPointContainer;
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override {
        return static_cast<D*>(this)->Core().EnumConnectionPoints(points);
    }
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        return static_cast<D*>(this)->Core().FindConnectionPoint(iid, point);
    }
};

// For QueryInterfaceExtra: the base interfaces that several entries share.
template <class D>
void* QueryControlBases(D* self, REFIID riid) noexcept {
    if (IsEqualIID(riid, IID_IPersist)) return static_cast<IPersistPropertyBag*>(self);
    if (IsEqualIID(riid, IID_IProvideClassInfo)) return static_cast<IProvideClassInfo2*>(self);
    return nullptr;
}

}  // namespace kv
