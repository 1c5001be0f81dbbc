#include "comserver/registrar.h"

#include <oleauto.h>

#include <string>

#include "platform/com_object.h"
#include "platform/module_path.h"

namespace kv {

// The registrar interface of atl.dll (the platform headers of this toolchain do not declare it).
// It must not live in an anonymous namespace: the compiler would conclude that nothing can
// implement it and drop the calls.
const CLSID kClsidRegistrar = {0x44EC053A, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};
const IID kIidRegistrar = {0x44EC053B, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};

struct IRegistrar : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR file, UINT id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR file, UINT id, LPCOLESTR type) = 0;
};

HRESULT RunRegistryScript(HINSTANCE module, bool registering, UINT scriptId) noexcept {
    try {
        std::wstring path = ModulePath(module);
        ComPtr<IRegistrar> registrar;
        ThrowIfFailed(CoCreateInstance(kClsidRegistrar, nullptr, CLSCTX_INPROC_SERVER, kIidRegistrar,
                                       reinterpret_cast<void**>(registrar.GetAddressOf())));
        ThrowIfFailed(registrar->AddReplacement(L"MODULE", path.c_str()));
        return registering ? registrar->ResourceRegister(path.c_str(), scriptId, L"REGISTRY")
                           : registrar->ResourceUnregister(path.c_str(), scriptId, L"REGISTRY");
    } catch (...) {
        return CaughtHResult();
    }
}

HRESULT RegisterModuleTypeLib(HINSTANCE module) noexcept {
    try {
        std::wstring path = ModulePath(module);
        ComPtr<ITypeLib> lib;
        ThrowIfFailed(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.GetAddressOf()));
        return RegisterTypeLib(lib.Get(), path.data(), nullptr);
    } catch (...) {
        return CaughtHResult();
    }
}

HRESULT UnregisterModuleTypeLib(HINSTANCE module) noexcept {
    try {
        std::wstring path = ModulePath(module);
        ComPtr<ITypeLib> lib;
        ThrowIfFailed(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.GetAddressOf()));
        TLIBATTR* attr = nullptr;
        ThrowIfFailed(lib->GetLibAttr(&attr));
        TLIBATTR a = *attr;
        lib->ReleaseTLibAttr(attr);
        return UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
    } catch (...) {
        return CaughtHResult();
    }
}

}  // namespace kv
