// The client extensions the client program loads: every subkey of
// HKEY_CURRENT_USER\Software\Korvane\ClientExtensions names the class id of one. Each is created,
// asked to `Initialize`, and asked to `OnShutdown` when the client closes (both by name through
// IDispatch, since an extension's own interface derives from the dual extension interface).
// Main thread only.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <vector>

#include "platform/com_object.h"

namespace kv::standin {

class ClientExtensions {
public:
    // Loads and initialises every listed extension; one that fails is skipped.
    void LoadAll();
    // OnShutdown to each, then releases them.
    void ShutdownAll() noexcept;
    size_t Count() const noexcept { return extensions_.size(); }

private:
    std::vector<ComPtr<IDispatch>> extensions_;
};

}  // namespace kv::standin
