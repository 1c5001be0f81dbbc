#include "comserver/server_module.h"

#include "comserver/registrar.h"

namespace kv {
namespace {
const ServerClass* g_class = nullptr;
HINSTANCE g_instance = nullptr;
}  // namespace

BOOL ServerDllMain(HINSTANCE instance, DWORD reason, const ServerClass& cls) noexcept {
    if (reason == DLL_PROCESS_ATTACH) {
        g_class = &cls;
        g_instance = instance;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        g_class = nullptr;
    }
    return TRUE;
}

HRESULT ServerCanUnloadNow() noexcept { return ModuleLockCount() == 0 ? S_OK : S_FALSE; }

HRESULT ServerGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!g_class || !IsEqualCLSID(clsid, *g_class->clsid)) return CLASS_E_CLASSNOTAVAILABLE;
    return ClassFactory::Create(g_class->create, riid, ppv);
}

HRESULT ServerRegister() noexcept {
    HRESULT hr = RunRegistryScript(g_instance, true);
    if (FAILED(hr)) return hr;
    return RegisterModuleTypeLib(g_instance);
}

HRESULT ServerUnregister() noexcept {
    HRESULT hr = RunRegistryScript(g_instance, false);
    UnregisterModuleTypeLib(g_instance);
    return hr;
}

}  // namespace kv
