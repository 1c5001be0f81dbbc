// A data control's commands that reach into the client: its setup dialogs, run on threads of
// their own so that the page stays responsive, and the small commands that hand out the client's
// application object, open a client window and turn a client time into a script date.
//
// SetupDialogLauncher belongs to a control and is called on the control's (the page's)
// thread. At most one setup dialog of either kind is open per control: while one is open,
// Setup and GlobalSetup answer S_FALSE and do nothing. A dialog thread gets the client
// interface it needs and a reference to the control as marshalled interfaces, so the control
// outlives the dialog, and the thread's final release of it is a full release that runs in the
// control's own apartment: when the page let go of the control while the dialog was open, the
// control is destroyed on the page's thread (which pumps messages, as a page's thread does),
// never on the dialog thread. The launcher's state that the thread clears lives apart from the
// launcher, so the thread never touches the control or the launcher after that release.
// The dialog thread also holds a reference to the module its code is in until it has ended.
//
// The other helpers are the bodies of the control's methods once it has bound its channel:
// HRESULTs as the page should see them, no exceptions.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <memory>

#include "korvane_client.h"

namespace kv {

class SetupDialogLauncher {
public:
    // owner: the control; not owned (the control owns the launcher), kept alive by each dialog.
    explicit SetupDialogLauncher(IUnknown* owner) noexcept;
    SetupDialogLauncher(const SetupDialogLauncher&) = delete;
    SetupDialogLauncher& operator=(const SetupDialogLauncher&) = delete;

    // True while a dialog thread runs (from a successful start until that thread has finished
    // with the dialog). The control asks this before binding, so that a call made while a
    // dialog is open does nothing at all.
    bool DialogOpen() const noexcept { return open_->load(); }

    // The channel's setup dialog (ShowSetup) over the active window. S_OK: the dialog thread
    // runs; S_FALSE: a dialog is open already; a marshalling failure is returned as it came and
    // starts nothing; E_FAIL: the thread could not be started (nothing is left behind, a later
    // call may try again).
    HRESULT Setup(IClientChannel* channel) noexcept;
    // The client's global setup dialog (GetSettings, ShowGlobalSetup); as Setup.
    HRESULT GlobalSetup(IClientApp2* app) noexcept;

private:
    enum class Kind { ChannelSetup, GlobalSetup };
    HRESULT Start(Kind kind, IUnknown* target, REFIID iid) noexcept;

    IUnknown* owner_;
    std::shared_ptr<std::atomic<bool>> open_;
};

// The client's application object for a page of a privileged channel (mode 2) or a secure one
// (security flag 0x2); S_OK with a null object for any other channel.
HRESULT ClientObjectForPage(IClientChannel2* channel, IClientApp2* app, IDispatch** client) noexcept;

// Opens the client's window in `view` (the client's own numbers).
HRESULT OpenClientView(IClientApp2* app, LONG view) noexcept;

// A client time (seconds since 1970-01-01 00:00 UTC) as a script date in local time; E_FAIL for
// a negative time or one the date cannot hold.
HRESULT ScriptDateFromClientTime(LONG seconds, DATE* date) noexcept;

}  // namespace kv
