// KvCDF.dll's four exports. Unregistration first takes down the channel shortcuts the extension
// published, while the Channels list still says which they are.
#include "comserver/server_module.h"
#include "kvcdf/korvane_cdf.h"
#include "platform/raii.h"

namespace {
const kv::ServerClass kClass = {&CLSID_KorvaneCDF, &kv::CreateObject<kv::cdf::KorvaneCdf>};
}

extern "C" {
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && !reserved) kv::cdf::UnregisterWorkerClass(instance);
    return kv::ServerDllMain(instance, reason, kClass);
}
STDAPI DllCanUnloadNow() { return kv::ServerCanUnloadNow(); }
STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) { return kv::ServerGetClassObject(clsid, riid, ppv); }
STDAPI DllRegisterServer() {
    HRESULT hr = CoInitialize(nullptr);
    if (FAILED(hr)) return hr;
    hr = kv::ServerRegister();
    CoUninitialize();
    return hr;
}
STDAPI DllUnregisterServer() {
    if (FAILED(CoInitialize(nullptr))) return S_OK;
    kv::cdf::RemovePublishedChannels();
    kv::ServerUnregister();
    CoUninitialize();
    return S_OK;
}
}
