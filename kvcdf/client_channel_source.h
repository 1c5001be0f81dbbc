// The publisher's view of the client: its channels (by name, or all of them in the client's
// order, hidden ones left out) and its folders. Channels the client flags 0x400 count as absent.
// Created and used on one thread (the client's objects belong to its apartment).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "korvane_client.h"
#include "platform/com_object.h"

namespace kv::cdf {

class ClientChannelSource {
public:
    static constexpr LONG kHiddenChannel = 0x400;
    static constexpr UINT kCdfFolderString = 102;

    // Creates the client's application object ("Korvane") and reads its client folder; string
    // 102 of `module` names the template root beside it. Throws the client's failing HRESULT.
    explicit ClientChannelSource(HINSTANCE module);
    // The same over a client application object that is already there.
    ClientChannelSource(HINSTANCE module, IClientApp* app);

    // The client folder, and the CDF template root beside it ("...\Korvane\data\" gives
    // "...\Korvane\CDF\"), both ending in a backslash.
    const std::wstring& ClientFolder() const noexcept { return clientFolder_; }
    const std::wstring& CdfRoot() const noexcept { return cdfRoot_; }

    // Whether the client has a channel of that name that it does not hide.
    bool HasChannel(std::wstring_view name) const;
    // The channel of that name; the client's failing HRESULT is thrown.
    ComPtr<IClientChannel> GetChannel(std::wstring_view name) const;

    // Calls `visit` with each channel the client does not hide, in the client's order, until it
    // returns false (the result is then false).
    using Visitor = std::function<bool(IClientChannel2* channel)>;
    bool Enumerate(const Visitor& visit) const;

private:
    ComPtr<IClientApp> app_;
    ComPtr<IChannelCollection> channels_;
    std::wstring clientFolder_;
    std::wstring cdfRoot_;
};

// The CDF template root for a client folder: its last component (a trailing backslash ignored)
// replaced by `cdfName`, with a backslash after.
std::wstring CdfRootFor(std::wstring_view clientFolder, std::wstring_view cdfName);

}  // namespace kv::cdf
