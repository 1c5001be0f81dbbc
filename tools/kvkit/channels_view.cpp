// kvkit channels: Favorites\Channels beside the Channels list of the CDF extension, so that one
// can see which shortcuts the extension manages (entry = channel id), which it leaves alone
// (entry 0) and which are nobody's.
#include <cstdio>
#include <cwchar>
#include <map>
#include <string>

#include "kvcdf/channel_folder.h"
#include "kvcdf/registry_value_list.h"
#include "platform/hresult_error.h"
#include "platform/text.h"

namespace kv::kvkit {
namespace {

void Print(const std::wstring& text) { std::fputs(ToAnsi(text + L"\n").c_str(), stdout); }

std::wstring EntryText(const std::map<std::wstring, DWORD>& entries, const std::wstring& title) {
    auto it = entries.find(title);
    if (it == entries.end()) return L"no entry";
    return it->second == 0 ? L"entry 0 (not managed)" : L"entry " + std::to_wstring(it->second);
}

}  // namespace

int ShowChannels() {
    std::map<std::wstring, DWORD> entries;
    bool listed = false;
    try {
        cdf::OpenChannelsList().Enumerate([&](const std::wstring& name, DWORD value) {
            entries[name] = value;
            return true;
        });
        listed = true;
    } catch (const HResultError&) {
    }
    try {
        cdf::ChannelFolder folder([] { return S_OK; });
        Print(L"Favorites\\Channels (" + folder.Folder() + L"):");
        size_t shortcuts = 0;
        folder.Enumerate([&](const std::wstring& title, const std::wstring& path, const std::wstring& url) {
            auto below = cdf::ChannelFolder::RelativeTo(folder.Folder(), path);
            Print(L"  " + below.value_or(path) + L"  " + url + L"  [" + EntryText(entries, title) + L"]");
            entries.erase(title);
            ++shortcuts;
            return true;
        });
        if (shortcuts == 0) Print(L"  (no channel shortcuts)");
    } catch (const HResultError& e) {
        wchar_t code[16];
        std::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(e.Code()));
        Print(std::wstring(L"Favorites\\Channels cannot be read: ") + code);
        return 1;
    }
    if (!listed) {
        Print(L"The Channels list of the CDF extension is missing (KvCDF.dll is not registered).");
    } else if (!entries.empty()) {
        Print(L"Entries without a shortcut:");
        for (const auto& [name, value] : entries) Print(L"  " + name + L" = " + std::to_wstring(value));
    }
    return 0;
}

}  // namespace kv::kvkit
