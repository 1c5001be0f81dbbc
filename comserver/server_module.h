// The in-process server module shared by the kit's COM DLLs: one creatable class per DLL, the
// module lock count behind DllCanUnloadNow, and script-based registration.
//
// A DLL defines its class table entry and forwards its four exports:
//
//   const kv::ServerClass kClass = {&CLSID_Thing, &kv::CreateObject<Thing>};
//   BOOL WINAPI DllMain(HINSTANCE h, DWORD r, LPVOID) { return kv::ServerDllMain(h, r, kClass); }
//   STDAPI DllGetClassObject(REFCLSID c, REFIID i, void** p) { return kv::ServerGetClassObject(c, i, p); }
//   ...
#pragma once

#include <windows.h>
#include <objbase.h>

#include "platform/class_factory.h"

namespace kv {

struct ServerClass {
    const CLSID* clsid;
    ObjectCreator create;
};

BOOL ServerDllMain(HINSTANCE instance, DWORD reason, const ServerClass& cls) noexcept;

// S_OK when no object of the module is alive and no LockServer lock is held, else S_FALSE.
HRESULT ServerCanUnloadNow() noexcept;

// The class factory of the module's one class; any other CLSID gets CLASS_E_CLASSNOTAVAILABLE.
HRESULT ServerGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept;

// Runs the REGISTRY 101 script and registers TYPELIB 1; returns the first failure.
HRESULT ServerRegister() noexcept;

// Runs the script in unregister mode and unregisters the type library; returns what the script
// returned (callers that always answer S_OK ignore it).
HRESULT ServerUnregister() noexcept;

}  // namespace kv
