// KvCDF.dll's four exports. Unregistration first takes down the channel shortcuts the extension
// published, while the Channels list still says which they are. The type library is registered for
// 0x409 and, for the marshaller, for the neutral locale too.
#include "comserver/registrar.h"
#include "comserver/server_module.h"
#include "kvcdf/channel_records.h"
#include "kvcdf/korvane_cdf.h"
#include "platform/raii.h"

namespace {
const kv::ServerClass kClass = {&CLSID_KorvaneCDF, &kv::CreateObject<kv::cdf::KorvaneCdf>};
HINSTANCE g_module = nullptr;
}

extern "C" {
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    if (reason == DLL_PROCESS_DETACH && !reserved) kv::cdf::UnregisterWorkerClass(instance);
    return kv::ServerDllMain(instance, reason, kClass);
}
STDAPI DllCanUnloadNow() { return kv::ServerCanUnloadNow(); }
STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) { return kv::ServerGetClassObject(clsid, riid, ppv); }
STDAPI DllRegisterServer() {
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) return hr;
    hr = kv::ServerRegister();
    if (SUCCEEDED(hr)) hr = kv::RegisterNeutralTypeLibEntry(g_module);
    CoUninitialize();
    return hr;
}
STDAPI DllUnregisterServer() {
    if (FAILED(CoInitialize(nullptr))) return S_OK;
    kv::cdf::RemovePublishedChannels();
    // The script removes the Channels key only when no subkey is left in it.
    RegDeleteKeyW(HKEY_CURRENT_USER,
                  (std::wstring(kv::cdf::kChannelsKey) + L"\\" + kv::cdf::kAddressesSubkey).c_str());
    kv::UnregisterNeutralTypeLibEntry(g_module);
    kv::ServerUnregister();
    CoUninitialize();
    return S_OK;
}
}
