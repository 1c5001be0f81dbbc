// KvReg.dll registers exactly its class, ProgIDs and type library, and removes them again.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "kvreg.h"
#include "platform/module_path.h"
#include "platform/raii.h"
#include "platform/text.h"

namespace {

// Every key and value below `path`, as "sub\key" and "sub\key:name=value" lines.
void Dump(HKEY root, const std::wstring& path, const std::wstring& prefix, std::set<std::wstring>& out) {
    kv::UniqueHkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    out.insert(prefix);
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        wchar_t data[1024];
        DWORD nameLen = 256, dataLen = sizeof(data), type = 0;
        if (RegEnumValueW(key.get(), i, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataLen) !=
            ERROR_SUCCESS)
            break;
        if (type == REG_SZ) out.insert(prefix + L":" + name + L"=" + data);
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLen = 256;
        if (RegEnumKeyExW(key.get(), i, name, &nameLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        Dump(root, path + L"\\" + name, prefix + L"\\" + name, out);
    }
}

std::set<std::wstring> Snapshot(const std::wstring& path) {
    std::set<std::wstring> out;
    Dump(HKEY_CLASSES_ROOT, path, L"", out);
    return out;
}

const wchar_t kClsid[] = L"CLSID\\{F59438EF-85BD-11D1-9D7D-00C0F018612C}";

struct Server {
    kv::UniqueModule dll;
    HRESULT(STDAPICALLTYPE* reg)() = nullptr;
    HRESULT(STDAPICALLTYPE* unreg)() = nullptr;
    std::wstring path;
};

Server LoadRegisteredServer() {
    Server s;
    wchar_t buf[1024] = {};
    DWORD size = sizeof(buf);
    RegGetValueW(HKEY_CLASSES_ROOT, (std::wstring(kClsid) + L"\\InprocServer32").c_str(), nullptr, RRF_RT_REG_SZ,
                 nullptr, buf, &size);
    s.path = buf;
    s.dll.reset(LoadLibraryW(buf));
    if (s.dll) {
        s.reg = kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(s.dll.get(), "DllRegisterServer");
        s.unreg = kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(s.dll.get(), "DllUnregisterServer");
    }
    return s;
}

TEST(KvRegRegistration, WritesExactlyTheClassKeysAndRemovesThem) {
    Server s = LoadRegisteredServer();
    ASSERT_TRUE(s.reg && s.unreg) << "KvReg.dll is registered by the prefix set-up";
    ASSERT_EQ(S_OK, s.reg());

    const std::wstring& m = s.path;
    std::set<std::wstring> expected = {
        L"",
        L":=KvRegister Class",
        L"\\ProgID",
        L"\\ProgID:=Korvane.LocalRegistration.1",
        L"\\VersionIndependentProgID",
        L"\\VersionIndependentProgID:=Korvane.LocalRegistration",
        L"\\InprocServer32",
        L"\\InprocServer32:=" + m,
        L"\\InprocServer32:ThreadingModel=Apartment",
        L"\\Control",
        L"\\Programmable",
        L"\\Insertable",
        L"\\ToolboxBitmap32",
        L"\\ToolboxBitmap32:=" + m + L", 1",
        L"\\MiscStatus",
        L"\\MiscStatus:=0",
        L"\\MiscStatus\\1",
        L"\\MiscStatus\\1:=132497",
        L"\\TypeLib",
        L"\\TypeLib:={F59438E1-85BD-11D1-9D7D-00C0F018612C}",
        L"\\Version",
        L"\\Version:=1.0",
        L"\\Implemented Categories",
        L"\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}",
        L"\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}",
    };
    EXPECT_EQ(expected, Snapshot(kClsid));
    EXPECT_EQ((std::set<std::wstring>{L"", L":=KvRegister Class", L"\\CLSID",
                                      L"\\CLSID:={F59438EF-85BD-11D1-9D7D-00C0F018612C}"}),
              Snapshot(L"Korvane.LocalRegistration.1"));
    EXPECT_EQ((std::set<std::wstring>{L"", L":=KvRegister Class", L"\\CLSID",
                                      L"\\CLSID:={F59438EF-85BD-11D1-9D7D-00C0F018612C}", L"\\CurVer",
                                      L"\\CurVer:=Korvane.LocalRegistration.1"}),
              Snapshot(L"Korvane.LocalRegistration"));
    auto typeLib = Snapshot(L"TypeLib\\{F59438E1-85BD-11D1-9D7D-00C0F018612C}\\1.0");
    EXPECT_TRUE(typeLib.count(L":=KvReg 1.0 Type Library")) << kv::ToAnsi([&] { std::wstring all; for (auto& l : Snapshot(L"TypeLib\\{F59438E1-85BD-11D1-9D7D-00C0F018612C}")) all += l + L"\n"; return all; }());
    // The type library is registered for the DLL's own architecture only.
    const std::wstring platform = sizeof(void*) == 8 ? L"win64" : L"win32";
    const std::wstring other = sizeof(void*) == 8 ? L"win32" : L"win64";
    auto registeredFor = [&](const std::wstring& arch) {
        return std::any_of(typeLib.begin(), typeLib.end(), [&](const std::wstring& line) {
            return line.size() > arch.size() && line.ends_with(L"\\" + arch);
        });
    };
    EXPECT_TRUE(registeredFor(platform));
    EXPECT_FALSE(registeredFor(other));

    EXPECT_EQ(S_OK, s.unreg());
    EXPECT_TRUE(Snapshot(kClsid).empty());
    EXPECT_TRUE(Snapshot(L"Korvane.LocalRegistration").empty());
    EXPECT_TRUE(Snapshot(L"Korvane.LocalRegistration.1").empty());
    EXPECT_TRUE(Snapshot(L"TypeLib\\{F59438E1-85BD-11D1-9D7D-00C0F018612C}").empty());
    EXPECT_FALSE(Snapshot(L"CLSID").empty());
    EXPECT_EQ(S_OK, s.unreg()) << "unregistering twice is harmless";

    ASSERT_EQ(S_OK, s.reg());
    ASSERT_EQ(S_OK, s.reg()) << "registering twice is harmless";
    EXPECT_EQ(expected, Snapshot(kClsid));
}

}  // namespace
