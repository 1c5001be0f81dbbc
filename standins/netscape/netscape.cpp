// A Netscape Navigator stand-in: it offers the DDE service "netscape" and ends its process when a
// conversation on the topic "WWW_Exit" is opened, as the browser does when an installer asks it
// to exit. Conversations on any other topic are refused.
#include <windows.h>
#include <ddeml.h>

namespace {

DWORD g_instance = 0;
HSZ g_service = nullptr;
HSZ g_exitTopic = nullptr;

HDDEDATA CALLBACK OnDde(UINT type, UINT, HCONV, HSZ topic, HSZ service, HDDEDATA, ULONG_PTR, ULONG_PTR) {
    switch (type) {
    case XTYP_CONNECT:
        return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(
            DdeCmpStringHandles(topic, g_exitTopic) == 0 && DdeCmpStringHandles(service, g_service) == 0));
    case XTYP_CONNECT_CONFIRM:
        PostQuitMessage(0);
        return nullptr;
    default:
        return nullptr;
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (DdeInitializeA(&g_instance, OnDde, APPCLASS_STANDARD | CBF_FAIL_ADVISES | CBF_FAIL_POKES | CBF_FAIL_EXECUTES,
                       0) != DMLERR_NO_ERROR)
        return 1;
    g_service = DdeCreateStringHandleA(g_instance, "netscape", CP_WINANSI);
    g_exitTopic = DdeCreateStringHandleA(g_instance, "WWW_Exit", CP_WINANSI);
    if (!g_service || !g_exitTopic || !DdeNameService(g_instance, g_service, nullptr, DNS_REGISTER)) return 2;

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    DdeNameService(g_instance, g_service, nullptr, DNS_UNREGISTER);
    DdeFreeStringHandle(g_instance, g_service);
    DdeFreeStringHandle(g_instance, g_exitTopic);
    DdeUninitialize(g_instance);
    return 0;
}
