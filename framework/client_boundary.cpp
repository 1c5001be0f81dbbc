#include "framework/client_boundary.h"

#include <mshtml.h>
#include <ole2.h>

#include <cwctype>

#include "platform/com_object.h"
#include "platform/raii.h"

namespace kv {

HRESULT CreateClientObject(const wchar_t* id, REFIID iid, void** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!id) return E_INVALIDARG;
    CLSID clsid;
    HRESULT hr = id[0] == L'{' ? CLSIDFromString(id, &clsid) : CLSIDFromProgID(id, &clsid);
    if (FAILED(hr)) return hr;
    ComPtr<IUnknown> unknown;
    hr = CoCreateInstance(clsid, nullptr, 0x17, IID_IUnknown, reinterpret_cast<void**>(unknown.GetAddressOf()));
    if (FAILED(hr)) return hr;
    hr = OleRun(unknown.Get());
    if (FAILED(hr)) return hr;
    return unknown->QueryInterface(iid, out);
}

std::wstring PageAddress(IOleClientSite* site) {
    ThrowIfNull(site, E_FAIL);
    ComPtr<IOleContainer> container;
    ThrowIfFailed(site->GetContainer(container.GetAddressOf()));
    ThrowIfNull(container.Get(), E_FAIL);
    ComPtr<IHTMLDocument2> document;
    ThrowIfFailed(container.As(&document));
    ComPtr<IHTMLLocation> location;
    ThrowIfFailed(document->get_location(location.GetAddressOf()));
    ThrowIfNull(location.Get(), E_FAIL);
    Bstr href;
    ThrowIfFailed(location->get_href(href.put()));
    return href.str();
}

std::optional<std::wstring> PagePathFromAddress(std::wstring_view address) {
    if (address.size() < 7 || _wcsnicmp(address.data(), L"file:", 5) != 0) return std::nullopt;
    std::wstring_view path = address.substr(7);
    if (!path.empty() && path[0] == L'/') path.remove_prefix(1);
    return std::wstring(path);
}

std::wstring EscapeFolderForAddress(std::wstring_view folder) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring out;
    out.reserve(folder.size());
    for (wchar_t c : folder) {
        if (c == L'\\') {
            out.push_back(L'/');
        } else if (std::iswspace(c)) {
            std::wstring hex;
            for (unsigned v = c; v; v >>= 4) hex.insert(hex.begin(), kHex[v & 0xF]);
            out.push_back(L'%');
            out.append(hex);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool PageIsInFolder(std::wstring_view pagePath, std::wstring_view escapedFolder) noexcept {
    if (escapedFolder.empty() || pagePath.size() < escapedFolder.size()) return false;
    if (_wcsnicmp(pagePath.data(), escapedFolder.data(), escapedFolder.size()) != 0) return false;
    bool boundary = escapedFolder.back() == L'/' || pagePath.size() == escapedFolder.size() ||
                    pagePath[escapedFolder.size()] == L'/';
    if (!boundary) return false;
    // A ".." segment left in the address could climb out of the folder.
    for (size_t at = pagePath.find(L".."); at != std::wstring_view::npos; at = pagePath.find(L"..", at + 1)) {
        bool startsSegment = at == 0 || pagePath[at - 1] == L'/' || pagePath[at - 1] == L'\\';
        size_t end = at + 2;
        bool endsSegment = end == pagePath.size() || pagePath[end] == L'/' || pagePath[end] == L'\\';
        if (startsSegment && endsSegment) return false;
    }
    return true;
}

ComPtr<IClientChannel> ChannelHoldingPage(IChannelCollection* channels, std::wstring_view pagePath) {
    ComPtr<IUnknown> enumUnknown;
    ThrowIfFailed(ThrowIfNull(channels, E_FAIL)->NewEnum(enumUnknown.GetAddressOf()));
    ComPtr<IEnumVARIANT> items;
    ThrowIfFailed(ThrowIfNull(enumUnknown.Get(), E_FAIL)->QueryInterface(IID_IEnumVARIANT,
                                                                          reinterpret_cast<void**>(items.GetAddressOf())));
    for (;;) {
        Variant item;
        ULONG fetched = 0;
        if (items->Next(1, item.get(), &fetched) != S_OK || fetched != 1) ThrowHr(E_FAIL);
        if (item.vt() != VT_DISPATCH && item.vt() != VT_UNKNOWN &&
            FAILED(VariantChangeType(item.get(), item.get(), 0, VT_DISPATCH)))
            item.ChangeType(VT_UNKNOWN);
        IUnknown* object = item.vt() == VT_DISPATCH ? item->pdispVal : item->punkVal;
        ComPtr<IClientChannel> candidate;
        if (!object ||
            FAILED(object->QueryInterface(IID_IClientChannel, reinterpret_cast<void**>(candidate.GetAddressOf()))))
            continue;
        Bstr folder;
        ThrowIfFailed(candidate->GetLocalFolder(folder.put()));
        if (PageIsInFolder(pagePath, EscapeFolderForAddress(folder.view()))) return candidate;
    }
}

}  // namespace kv
