#include "kvcdf/client_channel_source.h"

#include "framework/client_boundary.h"
#include "platform/comma_list.h"
#include "platform/raii.h"

namespace kv::cdf {
namespace {

ComPtr<IClientApp> CreateClient() {
    ComPtr<IClientApp> app;
    ThrowIfFailed(CreateClientObject(L"Korvane", IID_IClientApp, reinterpret_cast<void**>(app.GetAddressOf())));
    return app;
}

Variant NameKey(std::wstring_view name) { return Variant::String(L"n:" + std::wstring(name)); }

}  // namespace

std::wstring CdfRootFor(std::wstring_view clientFolder, std::wstring_view cdfName) {
    std::wstring_view folder = clientFolder;
    while (!folder.empty() && folder.back() == L'\\') folder.remove_suffix(1);
    size_t cut = folder.find_last_of(L'\\');
    std::wstring root(cut == std::wstring_view::npos ? std::wstring_view() : folder.substr(0, cut + 1));
    return root + std::wstring(cdfName) + L"\\";
}

ClientChannelSource::ClientChannelSource(HINSTANCE module) : ClientChannelSource(module, CreateClient().Get()) {}

ClientChannelSource::ClientChannelSource(HINSTANCE module, IClientApp* app) : app_(ThrowIfNull(app)) {
    ThrowIfFailed(app_->GetChannels(channels_.GetAddressOf()));
    ThrowIfNull(channels_.Get());
    ComPtr<IClientSettings> settings;
    ThrowIfFailed(app_->GetSettings(settings.GetAddressOf()));
    ComPtr<IClientFolders> folders;
    ThrowIfFailed(ThrowIfNull(settings.Get())->GetFolders(folders.GetAddressOf()));
    Bstr folder;
    ThrowIfFailed(ThrowIfNull(folders.Get())->GetClientFolder(folder.put()));
    clientFolder_ = folder.str();
    if (clientFolder_.empty() || clientFolder_.back() != L'\\') clientFolder_ += L'\\';
    cdfRoot_ = CdfRootFor(folder.view(), LoadStringResource(module, kCdfFolderString));
}

bool ClientChannelSource::HasChannel(std::wstring_view name) const {
    ComPtr<IClientChannel> channel;
    if (FAILED(channels_->Item(*NameKey(name).get(), channel.GetAddressOf())) || !channel) return false;
    LONG flags = 0;
    ThrowIfFailed(channel->GetFlags(&flags));
    return (flags & kHiddenChannel) == 0;
}

ComPtr<IClientChannel> ClientChannelSource::GetChannel(std::wstring_view name) const {
    ComPtr<IClientChannel> channel;
    ThrowIfFailed(channels_->Item(*NameKey(name).get(), channel.GetAddressOf()));
    return ComPtr<IClientChannel>(ThrowIfNull(channel.Get()));
}

bool ClientChannelSource::Enumerate(const Visitor& visit) const {
    ComPtr<IUnknown> unknown;
    ThrowIfFailed(channels_->NewEnum(unknown.GetAddressOf()));
    ComPtr<IEnumVARIANT> items;
    ThrowIfFailed(ThrowIfNull(unknown.Get())->QueryInterface(IID_PPV_ARGS(items.GetAddressOf())));
    for (;;) {
        Variant item;
        ULONG fetched = 0;
        if (items->Next(1, item.put(), &fetched) != S_OK || fetched != 1) return true;
        HRESULT hr = VariantChangeType(item.get(), item.get(), 0, VT_DISPATCH);
        if (hr == E_NOINTERFACE) hr = VariantChangeType(item.get(), item.get(), 0, VT_UNKNOWN);
        ThrowIfFailed(hr);
        ComPtr<IClientChannel2> channel;
        ThrowIfFailed(ThrowIfNull(item->punkVal)->QueryInterface(IID_PPV_ARGS(channel.GetAddressOf())));
        LONG flags = 0;
        ThrowIfFailed(channel->GetFlags(&flags));
        if (flags & kHiddenChannel) continue;
        if (!visit(channel.Get())) return false;
    }
}

}  // namespace kv::cdf
