// The controls' side of the client boundary: creating the client's application object, reading
// the hosting page's address, and matching a page to the channel folder that holds it.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <optional>
#include <string>
#include <string_view>

#include "korvane_client.h"
#include "platform/com_object.h"

namespace kv {

// Creates the client's object from `id` (a ProgID, or a class id when it starts with "{") with
// class context 0x17: asks for IUnknown, runs it (a local server must be running before it is
// queried), then queries for `iid`.
HRESULT CreateClientObject(const wchar_t* id, REFIID iid, void** out) noexcept;

// The address of the page hosting a control: client site -> container -> IHTMLDocument2 ->
// location -> href. Throws the failing HRESULT.
std::wstring PageAddress(IOleClientSite* site);

// The local path of a "file:" address ("file:///C:/dir/page.htm" and "file://C:/dir/page.htm"
// both give "C:/dir/page.htm"); nothing for other addresses or addresses under 7 characters.
std::optional<std::wstring> PagePathFromAddress(std::wstring_view address);

// A channel folder in the form a page address writes it: "\" becomes "/", each white-space
// character becomes "%" and its code in lower-case hexadecimal; the rest is kept. Any length.
std::wstring EscapeFolderForAddress(std::wstring_view folder);

// Whether a page path lies in the channel folder (escaped form), without regard to case. The
// folder must end at a folder boundary of the page path (C:/Channels/News matches
// C:/Channels/News/index.htm, not C:/Channels/NewsArchive/index.htm), and a page path that
// still holds a ".." segment matches no folder.
bool PageIsInFolder(std::wstring_view pagePath, std::wstring_view escapedFolder) noexcept;

// The first of the client's channels (in the client's order) whose local folder holds the page
// at `pagePath`; E_FAIL when none does or the enumeration fails.
ComPtr<IClientChannel> ChannelHoldingPage(IChannelCollection* channels, std::wstring_view pagePath);

}  // namespace kv
