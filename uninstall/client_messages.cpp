#include "uninstall/client_messages.h"

namespace kv::clientmsg {

// Definitions in one translation unit are initialised in the order they appear.
const UINT SoundRequest = RegisterWindowMessageA("Korvane_SOUND_REQUEST_MSG");
const UINT AbortRequest = RegisterWindowMessageA("Korvane_ABORT_REQUEST_MSG");
const UINT AbortIgnored = RegisterWindowMessageA("Korvane_ABORT_IGNORED_MSG");
const UINT UserInteraction = RegisterWindowMessageA("Korvane_USER_INTERACTION_MSG");
const UINT ApproveCert = RegisterWindowMessageA("Korvane_APPROVE_CERT_MSG");
const UINT NeedFileCopyAccess = RegisterWindowMessageA("Korvane_NEED_FILE_COPY_ACCESS");
const UINT MultiplayerRunDone = RegisterWindowMessageA("Korvane_MULTIPLAYER_RUN_DONE");
const UINT MultiplayerStopDone = RegisterWindowMessageA("Korvane_MULTIPLAYER_STOP_DONE");
const UINT MultiplayerStopAllDone = RegisterWindowMessageA("Korvane_MULTIPLAYER_STOPALL_DONE");
const UINT MultiplayerProgramClosed = RegisterWindowMessageA("Korvane_MULTIPLAYER_PROGRAM_CLOSED");
const UINT ScreenSaverModeEnd = RegisterWindowMessageA("Korvane_SCREEN_SAVER_MODE_END_MSG");
const UINT ScreenSaverClick = RegisterWindowMessageA("Korvane_SCREEN_SAVER_CLICK_MSG");
const UINT RichMessageReady = RegisterWindowMessageA("Korvane_RICH_MESSAGE_READY");
const UINT RegisterChannel = RegisterWindowMessageA("KVregisterChannel");
const UINT CanCloseUI = RegisterWindowMessageA("KVcanCloseUI");

}  // namespace kv::clientmsg
