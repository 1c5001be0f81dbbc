// Korvane.exe, the client program stand-in:
//
//   Korvane.exe [/data:<folder>] [/busy:N] [/never-answer] [/refuse-close] [/companions] [/popups]
//               [-Embedding]
//   Korvane.exe /RegServer | /UnregServer
//
// It serves the "Korvane" class from this process (to other processes and to the extensions it
// loads), shows the main window "Korvane Agent", loads the client extensions, and runs until the
// main window is closed. The state comes from <folder>\client-state.txt when /data is given.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>

#include "comserver/registrar.h"
#include "korvane_client.h"
#include "platform/class_factory.h"
#include "platform/raii.h"
#include "platform/text.h"
#include "standins/client/agent_window.h"
#include "standins/client/client_extensions.h"
#include "standins/client/client_objects.h"
#include "standins/client/client_state.h"

namespace {

using kv::standin::AgentOptions;

bool StartsWithNoCase(const std::wstring& arg, std::wstring_view prefix) {
    return arg.size() >= prefix.size() && kv::EqualsNoCase(std::wstring_view(arg).substr(0, prefix.size()), prefix);
}

HRESULT Register(bool registering) {
    HINSTANCE self = kv::ThisModule();
    if (!registering) {
        kv::standin::RegisterControlTypeLib(self, false);
        kv::UnregisterModuleTypeLib(self);
        return kv::RunRegistryScript(self, false);
    }
    HRESULT hr = kv::RunRegistryScript(self, true);
    if (SUCCEEDED(hr)) hr = kv::RegisterModuleTypeLib(self);
    if (SUCCEEDED(hr)) hr = kv::standin::RegisterControlTypeLib(self, true);
    return hr;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    AgentOptions options;
    std::wstring dataFolder;
    int reg = 0;  // 1 register, -1 unregister
    for (int i = 1; argv && i < argc; ++i) {
        std::wstring arg = argv[i];
        if (StartsWithNoCase(arg, L"/data:")) dataFolder = arg.substr(6);
        else if (StartsWithNoCase(arg, L"/busy:")) options.busyAnswers = _wtoi(arg.c_str() + 6);
        else if (kv::EqualsNoCase(arg, L"/never-answer")) options.neverAnswer = true;
        else if (kv::EqualsNoCase(arg, L"/refuse-close")) options.refuseClose = true;
        else if (kv::EqualsNoCase(arg, L"/companions")) options.companions = true;
        else if (kv::EqualsNoCase(arg, L"/popups")) options.popups = true;
        else if (kv::EqualsNoCase(arg, L"/RegServer") || kv::EqualsNoCase(arg, L"-RegServer")) reg = 1;
        else if (kv::EqualsNoCase(arg, L"/UnregServer") || kv::EqualsNoCase(arg, L"-UnregServer")) reg = -1;
        // -Embedding (started by COM) changes nothing: the program always serves its class.
    }
    LocalFree(argv);

    kv::CoInitScope com(COINIT_APARTMENTTHREADED);
    if (!com.Succeeded()) return 1;
    if (reg != 0) return SUCCEEDED(Register(reg > 0)) ? 0 : 2;

    auto& state = kv::standin::ClientState::Get();
    if (!dataFolder.empty()) {
        try {
            state.LoadFolder(dataFolder);
        } catch (const kv::HResultError&) {
            std::string msg = "Korvane: cannot load the client state from " + kv::ToAnsi(dataFolder) + "\n";
            OutputDebugStringA(msg.c_str());
        }
    }

    kv::ComPtr<IClassFactory> factory;
    if (FAILED(kv::ClassFactory::Create(&kv::standin::CreateClientApplication, IID_IClassFactory,
                                        reinterpret_cast<void**>(factory.GetAddressOf()))))
        return 3;
    DWORD classCookie = 0;
    // Registered for in-process requests too, so the extensions this program loads reach this
    // client rather than loading a server of their own.
    if (FAILED(CoRegisterClassObject(CLSID_KorvaneApplication, factory.Get(), CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER,
                                     REGCLS_MULTIPLEUSE, &classCookie)))
        return 4;

    kv::standin::ClientExtensions extensions;
    bool closed = false;
    auto onClose = [&] {
        if (closed) return;
        closed = true;
        extensions.ShutdownAll();
        state.Sinks(kv::standin::Source::App).Fire([](IUnknown* sink) {
            return reinterpret_cast<IClientAppEvents*>(sink)->OnClientShutdown();
        });
    };
    int rc = 0;
    try {
        kv::standin::AgentWindow window(options, onClose, [&] { return state.OpenDialogCount(); });
        extensions.LoadAll();
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        onClose();
    } catch (...) {
        rc = 5;
    }
    CoRevokeClassObject(classCookie);
    for (int i = 0; i < static_cast<int>(kv::standin::Source::Count); ++i)
        state.Sinks(static_cast<kv::standin::Source>(i)).Clear();
    return rc;
}
