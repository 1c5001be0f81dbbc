// A client extension for tests only: the client creates it from its ClientExtensions key and calls
// Initialize and OnShutdown by name. Each call appends a line to the string value "Log" of
// HKCU\Software\KvKitTests\ClientExtension:
//   "initialize <channel count> <whether the in-process client DLL is loaded here>"
//   "shutdown"
//   "failed <HRESULT>" when a call fails
// Registration writes only its own class key under HKEY_CLASSES_ROOT (InprocServer32, Apartment).
#include <windows.h>
#include <ole2.h>

#include <string>

#include "korvane_client.h"
#include "platform/com_object.h"
#include "platform/module_path.h"
#include "platform/raii.h"

namespace {

// {435255AA-7077-47D5-9D4E-22477F2AE28F}
const CLSID kClsid = {0x435255aa, 0x7077, 0x47d5, {0x9d, 0x4e, 0x22, 0x47, 0x7f, 0x2a, 0xe2, 0x8f}};
constexpr wchar_t kClassKey[] = L"CLSID\\{435255AA-7077-47D5-9D4E-22477F2AE28F}";
constexpr wchar_t kLogKey[] = L"Software\\KvKitTests\\ClientExtension";
constexpr DISPID kInitialize = 1, kOnShutdown = 2;

void Log(const std::wstring& line) {
    kv::UniqueHkey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kLogKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    wchar_t old[2048] = {};
    DWORD size = sizeof old - sizeof(wchar_t);
    RegQueryValueExW(key.get(), L"Log", nullptr, nullptr, reinterpret_cast<BYTE*>(old), &size);
    std::wstring text = std::wstring(old) + line + L"\n";
    RegSetValueExW(key.get(), L"Log", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

class TestExtension : public kv::ComObject<TestExtension, IDispatch> {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (count != 1 || !names || !ids) return E_INVALIDARG;
        if (lstrcmpiW(names[0], L"Initialize") == 0) *ids = kInitialize;
        else if (lstrcmpiW(names[0], L"OnShutdown") == 0) *ids = kOnShutdown;
        else return DISP_E_UNKNOWNNAME;
        return S_OK;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override try {
        if (id == kInitialize) {
            CLSID clsid;
            kv::ComPtr<IUnknown> unknown;
            kv::ThrowIfFailed(CLSIDFromProgID(L"Korvane", &clsid));
            kv::ThrowIfFailed(CoCreateInstance(clsid, nullptr, 0x17, IID_IUnknown,
                                               reinterpret_cast<void**>(unknown.GetAddressOf())));
            kv::ThrowIfFailed(OleRun(unknown.Get()));
            kv::ThrowIfFailed(unknown.As(&client_));
            kv::ComPtr<IChannelCollection> channels;
            kv::ComPtr<IUnknown> items;
            kv::ComPtr<IEnumVARIANT> list;
            kv::ThrowIfFailed(client_->GetChannels(channels.GetAddressOf()));
            kv::ThrowIfFailed(channels->NewEnum(items.GetAddressOf()));
            kv::ThrowIfFailed(items.As(&list));
            int count = 0;
            for (;;) {
                kv::Variant item;
                if (list->Next(1, item.get(), nullptr) != S_OK) break;
                ++count;
            }
            bool dll = GetModuleHandleW(L"KorvaneClient.dll") != nullptr;
            Log(L"initialize " + std::to_wstring(count) + (dll ? L" in-process-dll" : L" served-by-program"));
            return S_OK;
        }
        if (id == kOnShutdown) {
            client_.Reset();
            Log(L"shutdown");
            return S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    } catch (...) {
        HRESULT hr = kv::CaughtHResult();
        wchar_t code[16];
        wsprintfW(code, L"%08lX", static_cast<unsigned long>(hr));
        Log(std::wstring(L"failed ") + code);
        return hr;
    }

private:
    kv::ComPtr<IClientApp> client_;
};

class Factory : public kv::ComObject<Factory, IClassFactory> {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        return kv::CreateObject<TestExtension>(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

}  // namespace

extern "C" {
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
STDAPI DllCanUnloadNow() { return kv::ModuleLockCount() == 0 ? S_OK : S_FALSE; }
STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!IsEqualCLSID(clsid, kClsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return kv::CreateObject<Factory>(riid, ppv);
}
STDAPI DllRegisterServer() try {
    std::wstring path = kv::ModulePath(kv::ThisModule());
    kv::UniqueHkey key;
    std::wstring sub = std::wstring(kClassKey) + L"\\InprocServer32";
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        return E_FAIL;
    RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegSetValueExW(key.get(), L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"Apartment"),
                   sizeof(L"Apartment"));
    return S_OK;
} catch (...) {
    return kv::CaughtHResult();
}
STDAPI DllUnregisterServer() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey);
    return S_OK;
}
}
