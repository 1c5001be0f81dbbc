// The address a page reports through document.location.href, normalised as a browser does it.
#pragma once

#include <string>
#include <string_view>

namespace kv::browser {

// Turns what a test or the tool gives as a page into the page's address:
// - a Windows path ("C:\Channels\News\index.htm", "\\server\share\x.htm", or a relative path,
//   made full against the current directory) becomes a file address with three slashes for a
//   drive ("file:///C:/Channels/News/index.htm") and two for a share ("file://server/share/x.htm");
//   white space is written as '%' and its code in hexadecimal ("%20");
// - an address ("file://C:/x.htm", "http://host/a/b.htm") is kept as written, except that
//   backslashes in a file address become slashes;
// in both, "." and ".." segments of the path are resolved (never above the drive or the host).
// An empty text is "about:blank".
std::wstring NormalizePageAddress(std::wstring_view text);

// The path of an address with its "." and ".." segments resolved ("/a/b/../c" -> "/a/c"). A
// leading drive segment ("/C:") is never removed.
std::wstring RemoveDotSegments(std::wstring_view path);

}  // namespace kv::browser
