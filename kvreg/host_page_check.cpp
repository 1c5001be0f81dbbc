#include "kvreg/host_page_check.h"

#include "framework/client_boundary.h"
#include "platform/raii.h"
#include "platform/text.h"

#include <new>

namespace kv {

std::optional<std::string> DirectoryChannelName() {
    UniqueHkey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Korvane\\Korvane\\Global", 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    char value[MAX_PATH + 1] = {};
    DWORD type = 0, size = MAX_PATH;  // one byte kept for the terminator the value may lack
    if (RegQueryValueExA(key.get(), "ChnDirUpdateChannel", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    value[size] = '\0';
    return std::string(value);
}

namespace {

void CheckPage(IOleClientSite* site, IClientApp* app) {
    auto path = PagePathFromAddress(PageAddress(site));
    if (!path || !app) ThrowHr(E_FAIL);
    ComPtr<IChannelCollection> channels;
    ThrowIfFailed(app->GetChannels(channels.GetAddressOf()));
    ComPtr<IClientChannel> channel = ChannelHoldingPage(channels.Get(), *path);

    ComPtr<IClientChannel2> channel2;
    if (SUCCEEDED(channel.As(&channel2))) {
        LONG mode = 0, security = 0;
        ThrowIfFailed(channel2->GetMode(&mode));
        if (mode == 2) return;
        ThrowIfFailed(channel2->GetSecurityFlags(&security));
        if (security & 0x2) return;
    }
    auto expected = DirectoryChannelName();
    if (!expected) ThrowHr(E_FAIL);
    Bstr name;
    ThrowIfFailed(channel->GetName(name.put()));
    if (lstrcmpiA(ToAnsi(name.view()).c_str(), expected->c_str()) != 0) ThrowHr(E_FAIL);
}

}  // namespace

// Whatever keeps the check from passing, the host's or the client's failure included, is the
// page's refusal: E_FAIL.
void CheckDirectoryPage(IOleClientSite* site, IClientApp* app) {
    try {
        CheckPage(site, app);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        ThrowHr(E_FAIL);
    }
}

}  // namespace kv
