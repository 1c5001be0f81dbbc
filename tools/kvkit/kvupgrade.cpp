// kvupgrade.exe: runs the client's upgrade on the client installed on this machine, as the
// client's updater would, and ends with 0 when the new version is in place (1 otherwise). The
// messages are the upgrade's own; `kvkit upgrade` answers them.
#include <windows.h>

#include "platform/raii.h"
#include "uninstall/upgrader.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    kv::CoInitScope com;
    kv::CUpgrader upgrader(instance);
    return upgrader.RunUpgrade() ? 0 : 1;
}
