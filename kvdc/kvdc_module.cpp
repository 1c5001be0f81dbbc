// KvDC.dll's four exports.
#include "comserver/server_module.h"
#include "kvdc/kvdc_control.h"

namespace {
const kv::ServerClass kClass = {&CLSID_KvDCCtl, &kv::CreateObject<kv::KvDCCtl>};
}

extern "C" {
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) { return kv::ServerDllMain(instance, reason, kClass); }
STDAPI DllCanUnloadNow() { return kv::ServerCanUnloadNow(); }
STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) { return kv::ServerGetClassObject(clsid, riid, ppv); }
STDAPI DllRegisterServer() {
    kv::CoInitScope com(COINIT_APARTMENTTHREADED);
    if (!com.Succeeded()) return com.Result();
    return kv::ServerRegister();
}
STDAPI DllUnregisterServer() {
    kv::CoInitScope com(COINIT_APARTMENTTHREADED);
    if (com.Succeeded()) kv::ServerUnregister();
    return S_OK;
}
}
