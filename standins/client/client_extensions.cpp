#include "standins/client/client_extensions.h"

#include <oleauto.h>

#include <string>

#include "platform/raii.h"

namespace kv::standin {
namespace {

HRESULT CallByName(IDispatch* target, const wchar_t* name) noexcept {
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    DISPPARAMS none = {};
    return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
}

}  // namespace

void ClientExtensions::LoadAll() {
    UniqueHkey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Korvane\\ClientExtensions", 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD len = 256;
        LONG rc = RegEnumKeyExW(key.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) continue;
        CLSID clsid;
        if (FAILED(CLSIDFromString(name, &clsid))) continue;
        ComPtr<IDispatch> ext;
        if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(ext.GetAddressOf())))) continue;
        if (FAILED(CallByName(ext.Get(), L"Initialize"))) continue;
        extensions_.push_back(ext);
    }
}

void ClientExtensions::ShutdownAll() noexcept {
    for (auto& ext : extensions_) CallByName(ext.Get(), L"OnShutdown");
    extensions_.clear();
}

}  // namespace kv::standin
