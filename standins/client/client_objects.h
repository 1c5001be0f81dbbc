// The client stand-in's automation objects. The application object (ProgID "Korvane") answers
// IClientApp, IClientApp2, IClientUi and the stand-in's IClientControl; everything else hangs
// off it. All objects read and change the process's one ClientState, so any number of
// application objects see the same client.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace kv::standin {

// The class object's creator: a new application object queried for riid.
HRESULT CreateClientApplication(REFIID riid, void** ppv) noexcept;

}  // namespace kv::standin

namespace kv::standin {

// Registers (or unregisters) the stand-in's own control type library, TYPELIB 2 of `module`,
// so that IClientControl marshals between processes.
HRESULT RegisterControlTypeLib(HINSTANCE module, bool registering) noexcept;

}  // namespace kv::standin
