// Full file paths of loaded modules, of any length.
#pragma once

#include <windows.h>

#include <string>

namespace kv {

// The full path of `module` (null: the program). Throws the last error on failure.
std::wstring ModulePath(HINSTANCE module);

}  // namespace kv

namespace kv {

// An export of a loaded module as a typed function pointer (null when missing).
template <class F>
F GetProc(HMODULE module, const char* name) noexcept {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace kv
