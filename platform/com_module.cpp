#include "platform/com_object.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace kv {
namespace {
LONG g_locks = 0;
}

void ModuleAddLock() noexcept { InterlockedIncrement(&g_locks); }
void ModuleReleaseLock() noexcept { InterlockedDecrement(&g_locks); }
LONG ModuleLockCount() noexcept { return InterlockedCompareExchange(&g_locks, 0, 0); }
HINSTANCE ThisModule() noexcept { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

}  // namespace kv
