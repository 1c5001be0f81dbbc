// The window messages the Korvane client understands, registered by name with the system once per
// process during static initialisation (in the order below). Only CanCloseUI is ever sent by the
// kit: its answer is non-zero while one of the client's own dialogs is open.
#pragma once

#include <windows.h>

namespace kv::clientmsg {

extern const UINT SoundRequest;
extern const UINT AbortRequest;
extern const UINT AbortIgnored;
extern const UINT UserInteraction;
extern const UINT ApproveCert;
extern const UINT NeedFileCopyAccess;
extern const UINT MultiplayerRunDone;
extern const UINT MultiplayerStopDone;
extern const UINT MultiplayerStopAllDone;
extern const UINT MultiplayerProgramClosed;
extern const UINT ScreenSaverModeEnd;
extern const UINT ScreenSaverClick;
extern const UINT RichMessageReady;
extern const UINT RegisterChannel;
extern const UINT CanCloseUI;

// The title of the client's main window; it is looked up by title alone.
inline constexpr char kMainWindowTitle[] = "Korvane Agent";

}  // namespace kv::clientmsg
