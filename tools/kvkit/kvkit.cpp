// kvkit.exe: the kit's command-line tool. It runs inside a Wine prefix (or on Windows) and
// shows what the kit does: the tour of the demo, and views of the registry.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/com_object.h"
#include "platform/raii.h"
#include "platform/text.h"

namespace {

struct KitServer {
    const wchar_t* file;
    const wchar_t* progId;
};

const KitServer kServers[] = {
    {L"KvDC.dll", L"Korvane.Channel"},
    {L"KvReg.dll", L"Korvane.LocalRegistration"},
    {L"KvCDF.dll", L"Korvane.CDF"},
    {L"kvtestsrv.dll", L"KvKit.TestCalc"},
};

void Print(const std::wstring& text) { std::fputs(kv::ToAnsi(text + L"\n").c_str(), stdout); }

std::wstring RegString(HKEY root, const std::wstring& path, const wchar_t* name = nullptr) {
    DWORD size = 0;
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) return {};
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, value.data(), &size) != ERROR_SUCCESS)
        return {};
    value.resize(wcslen(value.c_str()));
    return value;
}

std::wstring ClsidText(const CLSID& clsid) {
    wchar_t text[40] = {};
    StringFromGUID2(clsid, text, 40);
    return text;
}

// The registered servers of the kit, one line each.
void ShowServers() {
    Print(L"Registered servers:");
    for (const auto& s : kServers) {
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(s.progId, &clsid))) {
            Print(std::wstring(L"  ") + s.progId + L": not registered");
            continue;
        }
        std::wstring path = RegString(HKEY_CLASSES_ROOT, L"CLSID\\" + ClsidText(clsid) + L"\\InprocServer32");
        Print(std::wstring(L"  ") + s.progId + L" " + ClsidText(clsid) + L" -> " + path);
    }
}

int Tour() {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    Print(L"== The Korvane desktop-integration kit ==");
    Print(std::wstring(L"Windows directory of the prefix: ") + windows);
    ShowServers();

    Print(L"Creating a COM object by ProgID (class context 0x17):");
    CLSID clsid;
    kv::ComPtr<IDispatch> disp;
    if (SUCCEEDED(CLSIDFromProgID(L"KvKit.TestCalc", &clsid)) &&
        SUCCEEDED(CoCreateInstance(clsid, nullptr, 0x17, IID_IDispatch, reinterpret_cast<void**>(disp.GetAddressOf())))) {
        DISPID id;
        LPOLESTR name[] = {const_cast<LPOLESTR>(L"Add")};
        VARIANT args[2];
        args[0].vt = VT_I4;
        args[0].lVal = 2;
        args[1].vt = VT_I4;
        args[1].lVal = 40;
        DISPPARAMS params = {args, nullptr, 2, 0};
        kv::Variant result;
        if (SUCCEEDED(disp->GetIDsOfNames(IID_NULL, name, 1, 0, &id)) &&
            SUCCEEDED(disp->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr)))
            Print(L"  KvKit.TestCalc.Add(40, 2) = " + std::to_wstring(result->lVal));
    } else {
        Print(L"  KvKit.TestCalc is not registered");
    }
    return 0;
}

}  // namespace

// The client as the kit sees it (client_view.cpp).
int ShowClient(const wchar_t* dataFolder);

namespace {

int Usage() {
    Print(L"usage: kvkit <command> [arguments]\n"
          L"  tour      what the demo shows: the prefix, the registered servers, a live object\n"
          L"  servers   the kit's registered COM servers\n"
          L"  client [<data folder>]   the Korvane client's channels, stories and directory");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    kv::CoInitScope com;
    if (argc < 2) return Usage();
    std::wstring command = argv[1];
    if (command == L"tour") return Tour();
    if (command == L"client") return ShowClient(argc > 2 ? argv[2] : nullptr);
    if (command == L"servers") {
        ShowServers();
        return 0;
    }
    return Usage();
}
