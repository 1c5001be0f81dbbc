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

// A type library registered for a named locale is not found by a lookup for the neutral one (0),
// which is the one the type-library marshaller makes. These add (and remove, before the library
// itself is unregistered) a neutral entry that points at `module` too; nothing for a library that
// is neutral already. Removal leaves an entry that points at another file.
HRESULT RegisterNeutralTypeLibEntry(HINSTANCE module) noexcept;
HRESULT UnregisterNeutralTypeLibEntry(HINSTANCE module) noexcept;

}  // namespace kv
