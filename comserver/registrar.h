// Self-registration through the ATL registrar of atl.dll: the DLL's REGISTRY 101 script, with
// %MODULE% replaced by the DLL's path, and the DLL's TYPELIB 1 type library.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace kv {

constexpr UINT kRegistryScriptId = 101;

// Runs the REGISTRY `scriptId` script of `module` in register or unregister mode.
HRESULT RunRegistryScript(HINSTANCE module, bool registering, UINT scriptId = kRegistryScriptId) noexcept;

// Registers or unregisters the type library embedded in `module` (TYPELIB 1).
HRESULT RegisterModuleTypeLib(HINSTANCE module) noexcept;
HRESULT UnregisterModuleTypeLib(HINSTANCE module) noexcept;

}  // namespace kv
