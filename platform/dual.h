// IDispatch for a dual interface, answered from the type library in the module's resources
// (TYPELIB 1): names through DispGetIDsOfNames, calls through DispInvoke on the vtable.
//
//   class Thing : public kv::ComObject<Thing, kv::Dual<IThing>> { ... };
//
// The type information is loaded on first use and kept by the object.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "platform/com_object.h"

namespace kv {

// The type information for `iid` from the type library embedded in `module`.
HRESULT LoadModuleTypeInfo(HINSTANCE module, REFIID iid, ITypeInfo** info) noexcept;
// The type information for `iid` from a registered type library.
HRESULT LoadRegisteredTypeInfo(REFGUID lib, WORD major, WORD minor, REFIID iid, ITypeInfo** info) noexcept;

// Where a Dual finds its type information: by default the module's own type library.
struct ModuleTypeLib {
    static HRESULT Load(REFIID iid, ITypeInfo** info) noexcept { return LoadModuleTypeInfo(ThisModule(), iid, info); }
};

template <class I, class Source = ModuleTypeLib>
class Dual : public I {
public:
    using Interface = I;

    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        HRESULT hr = EnsureTypeInfo();
        if (FAILED(hr)) return hr;
        *info = typeInfo_.Get();
        (*info)->AddRef();
        return S_OK;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        HRESULT hr = EnsureTypeInfo();
        if (FAILED(hr)) return hr;
        return DispGetIDsOfNames(typeInfo_.Get(), names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        HRESULT hr = EnsureTypeInfo();
        if (FAILED(hr)) return hr;
        return DispInvoke(static_cast<I*>(this), typeInfo_.Get(), id, flags, params, result, excep,
                          argErr);
    }

private:
    HRESULT EnsureTypeInfo() noexcept {
        if (typeInfo_) return S_OK;
        return Source::Load(__uuidof(I), typeInfo_.GetAddressOf());
    }
    ComPtr<ITypeInfo> typeInfo_;
};

}  // namespace kv
