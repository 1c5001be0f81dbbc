// The client stand-in as an in-process server: the "Korvane" class and its four exports. At the
// first load the state comes from the data folder named by HKCU\Software\Korvane\ClientStandIn,
// value "DataFolder", when there is one; tests build it through IClientControl instead.
#include <mutex>

#include "comserver/server_module.h"
#include "korvane_client.h"
#include "platform/raii.h"
#include "standins/client/client_objects.h"
#include "standins/client/client_state.h"

namespace {

HRESULT CreateApplication(REFIID riid, void** ppv) {
    static std::once_flag loaded;
    std::call_once(loaded, [] {
        wchar_t folder[MAX_PATH] = {};
        DWORD size = sizeof folder;
        if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Korvane\\ClientStandIn", L"DataFolder", RRF_RT_REG_SZ,
                         nullptr, folder, &size) == ERROR_SUCCESS) {
            try {
                kv::standin::ClientState::Get().LoadFolder(folder);
            } catch (...) {
                // An unreadable state file leaves the client empty, as a fresh install would be.
            }
        }
    });
    return kv::standin::CreateClientApplication(riid, ppv);
}

const kv::ServerClass kClass = {&CLSID_KorvaneApplication, &CreateApplication};

}  // namespace

extern "C" {
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) { return kv::ServerDllMain(instance, reason, kClass); }
STDAPI DllCanUnloadNow() { return kv::ServerCanUnloadNow(); }
STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) { return kv::ServerGetClassObject(clsid, riid, ppv); }
STDAPI DllRegisterServer() {
    HRESULT hr = kv::ServerRegister();
    if (FAILED(hr)) return hr;
    return kv::standin::RegisterControlTypeLib(kv::ThisModule(), true);
}
STDAPI DllUnregisterServer() {
    kv::standin::RegisterControlTypeLib(kv::ThisModule(), false);
    kv::ServerUnregister();
    return S_OK;
}
}
