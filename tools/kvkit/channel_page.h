// The kvkit commands that host the story control on a channel page: table, render and
// story-arrives (channel_page.cpp). Run on the tool's main thread, a COM apartment.
#pragma once

#include <string>
#include <vector>

namespace kv::kvkit {

// `args` are the words after the command. Prints what it did; the process exit code
// (0 done, 1 failed, 2 wrong arguments).
int ChannelPageCommand(const std::wstring& command, const std::vector<std::wstring>& args);

}  // namespace kv::kvkit
