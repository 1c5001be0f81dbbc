// The extension as the client runs it, in process with the client and channel manager
// stand-ins: a fixture shared by the extension's tests. Runs in a sandbox prefix (C:\kvtest).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "client_control.h"
#include "framework/client_boundary.h"
#include "kvcdf.h"
#include "kvcdf/channel_folder.h"
#include "kvcdf/files_test_util.h"
#include "kvcdf/registry_value_list.h"
#include "platform/text.h"

namespace kv::test {

inline constexpr char kTemplate[] = "<CHANNEL BASE=\"%BASE_URL%\"><TITLE>%TITLE%</TITLE></CHANNEL>";
inline constexpr wchar_t kExtensionKey[] = L"Software\\Korvane\\ClientExtensions\\{B5D1EAF1-286B-11D1-9D7B-00C0F018612C}";

// The default wait is long: a machine busy with other suites may take seconds for what takes
// milliseconds alone, and only a failing case waits it out.
inline bool PumpUntil(const std::function<bool()>& done, DWORD ms = 20000) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
        if (done()) return true;
        if (GetTickCount() - start > ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

inline HRESULT CanUnload() {
    auto f = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"KvCDF.dll"), "DllCanUnloadNow")));
    return f ? f() : S_OK;
}

class ExtensionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(kv::CreateClientObject(L"Korvane", IID_IClientControl, reinterpret_cast<void**>(client.GetAddressOf())));
        client->Clear();
        client->ClearFailures();
        client->ClearCalls();
        client->SetClientFolder(Bstr(L"C:\\Korvane\\data").get());
        kv::DeleteTree(L"C:\\Korvane");
        kv::DeleteTree(folder.Folder());
        kv::CreateDirectoryTree(folder.Folder());
        WriteFileText(L"C:\\Korvane\\CDF\\Default\\default.cdf", kTemplate);
        WriteFileText(L"C:\\Korvane\\CDF\\Broken\\readme.txt", "a template without a channel file");
        RegDeleteTreeW(HKEY_CURRENT_USER, kv::cdf::kChannelsKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kv::cdf::kPrivilegedKey);
        kv::UniqueHkey key;
        RegCreateKeyW(HKEY_CURRENT_USER, kv::cdf::kChannelsKey, key.put());
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kExtensionKey, L"Upgrade");
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane\\Global", L"ChnDirUpdateChannel", REG_SZ,
                        L"GUIDE", 12);
    }
    void TearDown() override {
        if (cdf) Stop();
        client->Clear();
    }

    void Channel(LONG id, const wchar_t* name, LONG flags = 0, const wchar_t* key = L"") {
        std::wstring local = std::wstring(L"C:\\Channels\\") + std::to_wstring(id);
        client->PutChannel(id, Bstr(name).get(), Bstr(local).get(), flags, 0, 0, Bstr(key).get());
        client->SetChannelProperty(id, 1, *kv::Variant::String(name).get());
    }
    DWORD Entry(const wchar_t* name) {
        return kv::cdf::OpenChannelsList().Get(name).value_or(0xFFFFFFFF);
    }
    bool Published(const wchar_t* title) {
        folder.ClearCache();
        return folder.IsPublished(title);
    }
    HRESULT Start() {
        HRESULT hr = CoCreateInstance(CLSID_KorvaneCDF, nullptr, CLSCTX_INPROC_SERVER, IID_IKorvaneCDF,
                                      reinterpret_cast<void**>(cdf.GetAddressOf()));
        if (SUCCEEDED(hr)) hr = cdf->Initialize();
        return hr;
    }
    // Started and its first folder check done.
    void StartAndSettle(std::function<bool()> ready) {
        ASSERT_EQ(S_OK, Start());
        ASSERT_TRUE(PumpUntil(ready));
        PumpUntil([] { return false; }, 300);
    }
    void Stop() {
        if (cdf) cdf->OnShutdown();
        cdf.Reset();
        EXPECT_TRUE(PumpUntil([] { return CanUnload() == S_OK; }, 2000)) << "the worker ends within 2 s";
    }
    LONG Sinks(const wchar_t* source) {
        LONG mask = 0, count = -1;
        client->SinkCount(Bstr(source).get(), &mask, &count);
        return count;
    }
    std::wstring Calls() {
        kv::Variant windows, calls;
        client->GetCalls(windows.put(), calls.put());
        std::wstring out;
        SAFEARRAY* items = calls.get()->parray;
        LONG low = 0, high = -1;
        if (items) SafeArrayGetLBound(items, 1, &low), SafeArrayGetUBound(items, 1, &high);
        for (LONG i = low; i <= high; ++i) {
            kv::Variant item;
            SafeArrayGetElement(items, &i, item.put());
            if (item.get()->vt == VT_BSTR) out += std::wstring(item.get()->bstrVal) + L";";
        }
        return out;
    }
    void DeleteShortcut(const wchar_t* title) {
        folder.ClearCache();
        EXPECT_TRUE(DeleteByHand(folder.LookupPath(title))) << kv::ToAnsi(title);
    }
    // A person deletes a folder whole: a file the extension reads at that moment is tried again.
    static bool DeleteByHand(const std::wstring& path) {
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (kv::DeleteTree(path) && !Exists(path)) return true;
            PumpUntil([] { return false; }, 20);
        }
        return false;
    }

    ComPtr<IClientControl> client;
    ComPtr<IKorvaneCDF> cdf;
    kv::cdf::ChannelFolder folder{[] { return S_OK; }};
};

}  // namespace kv::test
