#include "comserver/registrar.h"

#include <oleauto.h>

#include <cwchar>
#include <string>

#include "platform/com_object.h"
#include "platform/module_path.h"

namespace kv {
namespace {

// The library's attributes, read from the module.
TLIBATTR ModuleTypeLibAttr(const std::wstring& path) {
    ComPtr<ITypeLib> lib;
    ThrowIfFailed(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.GetAddressOf()));
    TLIBATTR* attr = nullptr;
    ThrowIfFailed(lib->GetLibAttr(&attr));
    TLIBATTR a = *attr;
    lib->ReleaseTLibAttr(attr);
    return a;
}

// "TypeLib\{libid}\1.0\0": the neutral locale's key of the library, as RegisterTypeLib names
// the others (version digits in hexadecimal).
std::wstring NeutralKey(const TLIBATTR& a) {
    wchar_t libid[40] = {};
    StringFromGUID2(a.guid, libid, 40);
    wchar_t version[16] = {};
    swprintf(version, 16, L"%x.%x", a.wMajorVerNum, a.wMinorVerNum);
    return std::wstring(L"TypeLib\\") + libid + L"\\" + version + L"\\0";
}

const wchar_t* SysKindName(SYSKIND kind) {
    switch (kind) {
        case SYS_WIN16: return L"win16";
        case SYS_WIN64: return L"win64";
        default: return L"win32";
    }
}

}  // namespace

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
        TLIBATTR a = ModuleTypeLibAttr(ModulePath(module));
        return UnRegisterTypeLib(a.guid, a.wMajorVerNum, a.wMinorVerNum, a.lcid, a.syskind);
    } catch (...) {
        return CaughtHResult();
    }
}

HRESULT RegisterNeutralTypeLibEntry(HINSTANCE module) noexcept {
    try {
        std::wstring path = ModulePath(module);
        TLIBATTR a = ModuleTypeLibAttr(path);
        if (a.lcid == 0) return S_OK;
        std::wstring key = NeutralKey(a) + L"\\" + SysKindName(a.syskind);
        LSTATUS status = RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, REG_SZ, path.c_str(),
                                         static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
        return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
    } catch (...) {
        return CaughtHResult();
    }
}

HRESULT UnregisterNeutralTypeLibEntry(HINSTANCE module) noexcept {
    try {
        std::wstring path = ModulePath(module);
        TLIBATTR a = ModuleTypeLibAttr(path);
        if (a.lcid == 0) return S_OK;
        std::wstring neutral = NeutralKey(a), key = neutral + L"\\" + SysKindName(a.syskind);
        wchar_t named[MAX_PATH * 4] = {};
        DWORD size = sizeof named;
        if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, named, &size) !=
            ERROR_SUCCESS)
            return S_OK;
        if (CompareStringOrdinal(named, -1, path.c_str(), -1, TRUE) != CSTR_EQUAL) return S_OK;  // another file's
        RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, neutral.c_str());  // only when no other system kind is left in it
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
}

}  // namespace kv
