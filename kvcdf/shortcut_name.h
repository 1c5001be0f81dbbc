// Channel shortcut names as the file system keeps them. A folder made as "Acme Corp." or
// "Trailing " is stored without its trailing dots and blanks, and names that differ only in case
// name one folder: every comparison of shortcut titles, recorded names and channel names goes
// through StoredName and StoredNameLess, so that the Channels list, the folder's listing and the
// client agree on what is the same shortcut.
//
// A channel's title may hold what no file name can: "AC/DC", "What?", "a\b", "<b>". Each such
// character becomes the stand-in "_" ("AC_DC"), a title of nothing but dots and blanks keeps its
// length in stand-ins, and a title is cut to kMaxTitle characters, so that every channel appears
// under a recognisable name and its shortcut's path stays within MAX_PATH.
#pragma once

#include <string>
#include <string_view>

namespace kv::cdf {

// The longest shortcut title, before a number (" (2)") is added.
constexpr size_t kMaxTitle = 100;
constexpr wchar_t kStandIn = L'_';

// A channel's title as one path component: what a file name cannot hold becomes the stand-in
// (a backslash too), trailing dots and blanks are trimmed, and the result is cut to kMaxTitle.
std::wstring StoredTitle(std::wstring_view title);

// A path below the channels folder ("Category\Title"): StoredTitle of each backslash-separated
// component. A title given here keeps its backslashes as separators; a channel's name is made a
// title with StoredTitle first.
std::wstring StoredName(std::wstring_view title);

// Orders titles by their stored names, without regard to case.
struct StoredNameLess {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const;
};

bool SameStoredName(std::wstring_view a, std::wstring_view b);

// The last component of a path below the channels folder ("Business\\News" gives "News").
std::wstring_view TitleOf(std::wstring_view path);

// "Title (k)" for k >= 2: the distinct name the kit's own item takes when "Title" is taken.
std::wstring NumberedName(std::wstring_view title, int k);

// The name a numbered name was made from ("News (2)" gives "News"); other names as they are.
std::wstring_view UnnumberedName(std::wstring_view name);

}  // namespace kv::cdf
