#include "platform/dual.h"

#include <string>

#include "platform/module_path.h"

namespace kv {

HRESULT LoadModuleTypeInfo(HINSTANCE module, REFIID iid, ITypeInfo** info) noexcept {
    if (!info) return E_POINTER;
    *info = nullptr;
    try {
        std::wstring path = ModulePath(module);
        ComPtr<ITypeLib> lib;
        ThrowIfFailed(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.GetAddressOf()));
        return lib->GetTypeInfoOfGuid(iid, info);
    } catch (...) {
        return CaughtHResult();
    }
}

HRESULT LoadRegisteredTypeInfo(REFGUID lib, WORD major, WORD minor, REFIID iid, ITypeInfo** info) noexcept {
    if (!info) return E_POINTER;
    *info = nullptr;
    ComPtr<ITypeLib> typeLib;
    HRESULT hr = LoadRegTypeLib(lib, major, minor, LOCALE_NEUTRAL, typeLib.GetAddressOf());
    if (FAILED(hr)) return hr;
    return typeLib->GetTypeInfoOfGuid(iid, info);
}

}  // namespace kv
