// The client's transport library (qtcc_wnt.dll on NT, qtcc_w95.dll on Windows 95): registering
// it records "<name> DllRegisterServer".
#include <windows.h>

#include "standins/kvv/record.h"

namespace {
HMODULE g_module = nullptr;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = module;
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    kv::standin::Record(g_module, KV_QTCC_NAME " DllRegisterServer");
    return S_OK;
}
