// uninstall.exe: removes the Korvane client from this machine after asking the user. It takes no
// arguments and reports nothing but a client that cannot be stopped.
#include <windows.h>
#include <commctrl.h>

#include "platform/raii.h"
#include "uninstall/uninstall_dialogs.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // The servers' own unregistration runs in this process and uses COM.
    kv::CoInitScope com;
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    kv::UninstallDialog(instance).DoModal();
    return 0;
}
