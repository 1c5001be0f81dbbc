// KvReg.dll's four exports. Registration runs the registrar in the caller's apartment.
#include "comserver/server_module.h"
#include "kvreg/kvreg_control.h"

namespace {
const kv::ServerClass kClass = {&CLSID_KvRegCtl, &kv::CreateObject<kv::KvRegCtl>};
}

extern "C" {
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) { return kv::ServerDllMain(instance, reason, kClass); }
STDAPI DllCanUnloadNow() { return kv::ServerCanUnloadNow(); }
STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) { return kv::ServerGetClassObject(clsid, riid, ppv); }
STDAPI DllRegisterServer() { return kv::ServerRegister(); }
STDAPI DllUnregisterServer() {
    kv::ServerUnregister();
    return S_OK;
}
}
