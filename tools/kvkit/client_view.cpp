// kvkit client [<data folder>]: the Korvane client as the kit sees it, through its automation
// objects: the client folder, each channel with its flags and stories, the channel directory.
// With a data folder the client's state is first loaded from its client-state.txt.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <string>

#include "client_control.h"
#include "korvane_client.h"
#include "platform/com_object.h"
#include "platform/raii.h"
#include "platform/text.h"

namespace {

void Line(const std::wstring& text) { std::fputs(kv::ToAnsi(text + L"\n").c_str(), stdout); }

LONG Count(const VARIANT& array) {
    if (!(array.vt & VT_ARRAY)) return 0;
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(array.parray, 1, &lo);
    SafeArrayGetUBound(array.parray, 1, &hi);
    return hi - lo + 1;
}

kv::Variant Element(const VARIANT& array, LONG i) {
    kv::Variant v;
    kv::ThrowIfFailed(SafeArrayGetElement(array.parray, &i, v.get()));
    return v;
}

std::wstring Text(const VARIANT& value) {
    kv::Variant copy(value);
    if (FAILED(VariantChangeType(copy.get(), copy.get(), 0, VT_BSTR))) return L"?";
    return copy->bstrVal ? copy->bstrVal : L"";
}

void ShowChannel(IClientChannel2* ch) {
    LONG id = 0, flags = 0, mode = 0, security = 0;
    kv::Bstr name, folder;
    ch->GetId(&id);
    ch->GetName(name.put());
    ch->GetLocalFolder(folder.put());
    ch->GetFlags(&flags);
    ch->GetMode(&mode);
    ch->GetSecurityFlags(&security);
    wchar_t hex[16];
    swprintf(hex, 16, L"0x%lX", static_cast<unsigned long>(flags));
    Line(L"  channel " + std::to_wstring(id) + L" \"" + name.str() + L"\" flags " + hex + L" mode " +
         std::to_wstring(mode) + L" security " + std::to_wstring(security) + L"  " + folder.str());
    kv::Variant snapshot;
    if (FAILED(ch->GetStorySnapshot(1, 1, snapshot.get()))) return;
    for (LONG part = 1; part <= 2; ++part) {
        kv::Variant arrays = Element(*snapshot.get(), part);
        kv::Variant ids = Element(*arrays.get(), 0), names = Element(*arrays.get(), 1), values = Element(*arrays.get(), 2);
        for (LONG i = 0; i < Count(*ids.get()); ++i) {
            LONG story = 0;
            SafeArrayGetElement(ids->parray, &i, &story);
            kv::Bstr n, v;
            SafeArrayGetElement(names->parray, &i, n.put());
            SafeArrayGetElement(values->parray, &i, v.put());
            Line(L"    story " + std::to_wstring(story) + L" " + n.str() + L" = " + v.str());
        }
    }
}

}  // namespace

int ShowClient(const wchar_t* dataFolder) try {
    CLSID clsid;
    kv::ComPtr<IUnknown> unknown;
    kv::ComPtr<IClientApp2> app;
    if (FAILED(CLSIDFromProgID(L"Korvane", &clsid)) ||
        FAILED(CoCreateInstance(clsid, nullptr, 0x17, IID_IUnknown, reinterpret_cast<void**>(unknown.GetAddressOf()))) ||
        FAILED(OleRun(unknown.Get())) || FAILED(unknown.As(&app))) {
        Line(L"The Korvane client is not registered.");
        return 1;
    }
    if (dataFolder) {
        kv::ComPtr<IClientControl> control;
        HRESULT hr = unknown.As(&control);
        if (SUCCEEDED(hr)) hr = control->LoadState(kv::Bstr(dataFolder).get());
        if (FAILED(hr)) {
            wchar_t code[16];
            swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
            Line(std::wstring(L"Cannot load the client state from ") + dataFolder + L": " + code);
            return 1;
        }
    }
    kv::ComPtr<IClientSettings> settings;
    kv::ComPtr<IClientFolders> folders;
    kv::Bstr clientFolder;
    kv::ThrowIfFailed(app->GetSettings(settings.GetAddressOf()));
    kv::ThrowIfFailed(settings->GetFolders(folders.GetAddressOf()));
    kv::ThrowIfFailed(folders->GetClientFolder(clientFolder.put()));
    Line(L"Korvane client, folder " + clientFolder.str());

    Line(L"Channels:");
    kv::ComPtr<IChannelCollection> channels;
    kv::ComPtr<IUnknown> enumUnknown;
    kv::ComPtr<IEnumVARIANT> items;
    kv::ThrowIfFailed(app->GetChannels(channels.GetAddressOf()));
    kv::ThrowIfFailed(channels->NewEnum(enumUnknown.GetAddressOf()));
    kv::ThrowIfFailed(enumUnknown.As(&items));
    for (;;) {
        kv::Variant item;
        if (items->Next(1, item.get(), nullptr) != S_OK) break;
        kv::ComPtr<IClientChannel2> ch;
        if (item.vt() == VT_DISPATCH && SUCCEEDED(item->pdispVal->QueryInterface(IID_PPV_ARGS(ch.GetAddressOf()))))
            ShowChannel(ch.Get());
    }

    Line(L"Channel directory:");
    kv::ComPtr<IClientDirectory> directory;
    kv::Variant entries, subscribed;
    kv::ThrowIfFailed(app->GetDirectory(directory.GetAddressOf()));
    kv::ThrowIfFailed(directory->Query(3, 1, entries.get()));
    kv::ThrowIfFailed(directory->Query(1, 2, subscribed.get()));
    for (LONG i = 0; i < Count(*entries.get()); ++i) {
        kv::Variant entry = Element(*entries.get(), i);
        kv::Variant ids = Element(*entry.get(), 0), values = Element(*entry.get(), 1);
        std::wstring text;
        for (LONG f = 0; f < Count(*ids.get()); ++f) {
            LONG field = 0;
            SafeArrayGetElement(ids->parray, &f, &field);
            text += L" [" + std::to_wstring(field) + L"] " + Text(*Element(*values.get(), f).get());
        }
        Line(L" " + text);
    }
    std::wstring subs;
    for (LONG i = 0; i < Count(*subscribed.get()); ++i) {
        LONG id = 0;
        SafeArrayGetElement(subscribed->parray, &i, &id);
        subs += L" " + std::to_wstring(id);
    }
    Line(L"  subscribed:" + (subs.empty() ? std::wstring(L" none") : subs));
    return 0;
} catch (const kv::HResultError& e) {
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(e.Code()));
    Line(std::wstring(L"The client failed: ") + code);
    return 1;
}
