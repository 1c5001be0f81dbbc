// Each control server registers exactly its class, ProgIDs and type library, and removes them
// again; and its module carries the pictures its registration names.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

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

// One control server: what its registration must write, and nothing else.
struct ServerRow {
    const char* name;
    const wchar_t* clsid;
    const wchar_t* progId;  // version-independent; the versioned one adds ".1"
    const wchar_t* className;
    const wchar_t* miscStatus;
    const wchar_t* typeLib;
    const wchar_t* typeLibName;
    // The pictures the registration names: a key below the CLSID, the value after the module's
    // path, and the picture the module carries for it (type 0: the module carries none).
    struct Picture {
        const wchar_t* key;
        const wchar_t* value;
        UINT type;
        int width, height;
    };
    std::vector<Picture> pictures;
};

const ServerRow kServers[] = {
    {"KvDC", L"{60FB349E-0CD8-11D1-9D7B-00C0F018612C}", L"Korvane.Channel", L"KvChannel Class", L"131473",
     L"{60FB3490-0CD8-11D1-9D7B-00C0F018612C}", L"KvDC 1.0 Type Library",
     {{L"ToolboxBitmap32", L",1", IMAGE_BITMAP, 16, 15}, {L"DefaultIcon", L",2", IMAGE_ICON, 32, 32}}},
    {"KvReg", L"{F59438EF-85BD-11D1-9D7D-00C0F018612C}", L"Korvane.LocalRegistration", L"KvRegister Class",
     L"132497", L"{F59438E1-85BD-11D1-9D7D-00C0F018612C}", L"KvReg 1.0 Type Library",
     {{L"ToolboxBitmap32", L", 1", 0, 0, 0}}},
};

struct Server {
    kv::UniqueModule dll;
    HRESULT(STDAPICALLTYPE* reg)() = nullptr;
    HRESULT(STDAPICALLTYPE* unreg)() = nullptr;
    std::wstring path;
};

std::wstring ClassKey(const ServerRow& row) { return std::wstring(L"CLSID\\") + row.clsid; }

Server LoadRegisteredServer(const ServerRow& row) {
    Server s;
    wchar_t buf[1024] = {};
    DWORD size = sizeof(buf);
    RegGetValueW(HKEY_CLASSES_ROOT, (ClassKey(row) + L"\\InprocServer32").c_str(), nullptr, RRF_RT_REG_SZ, nullptr,
                 buf, &size);
    s.path = buf;
    s.dll.reset(LoadLibraryW(buf));
    if (s.dll) {
        s.reg = kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(s.dll.get(), "DllRegisterServer");
        s.unreg = kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(s.dll.get(), "DllUnregisterServer");
    }
    return s;
}

std::set<std::wstring> ExpectedClassKeys(const ServerRow& row, const std::wstring& m) {
    std::set<std::wstring> expected = {
        L"",
        L":=" + std::wstring(row.className),
        L"\\ProgID",
        L"\\ProgID:=" + std::wstring(row.progId) + L".1",
        L"\\VersionIndependentProgID",
        L"\\VersionIndependentProgID:=" + std::wstring(row.progId),
        L"\\InprocServer32",
        L"\\InprocServer32:=" + m,
        L"\\InprocServer32:ThreadingModel=Apartment",
        L"\\Control",
        L"\\Programmable",
        L"\\Insertable",
        L"\\MiscStatus",
        L"\\MiscStatus:=0",
        L"\\MiscStatus\\1",
        L"\\MiscStatus\\1:=" + std::wstring(row.miscStatus),
        L"\\TypeLib",
        L"\\TypeLib:=" + std::wstring(row.typeLib),
        L"\\Version",
        L"\\Version:=1.0",
        L"\\Implemented Categories",
        L"\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}",
        L"\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}",
    };
    for (const auto& p : row.pictures) {
        expected.insert(L"\\" + std::wstring(p.key));
        expected.insert(L"\\" + std::wstring(p.key) + L":=" + m + p.value);
    }
    return expected;
}

class Registration : public testing::TestWithParam<ServerRow> {};

TEST_P(Registration, WritesExactlyTheClassKeysAndRemovesThem) {
    const ServerRow& row = GetParam();
    const std::wstring classKey = ClassKey(row), progId = row.progId, versioned = progId + L".1";
    const std::wstring typeLibKey = std::wstring(L"TypeLib\\") + row.typeLib;
    Server s = LoadRegisteredServer(row);
    ASSERT_TRUE(s.reg && s.unreg) << row.name << ".dll is registered by the prefix set-up";
    ASSERT_EQ(S_OK, s.reg());

    const std::set<std::wstring> expected = ExpectedClassKeys(row, s.path);
    EXPECT_EQ(expected, Snapshot(classKey));
    const std::set<std::wstring> progIdKeys = {L"", L":=" + std::wstring(row.className), L"\\CLSID",
                                               L"\\CLSID:=" + std::wstring(row.clsid)};
    EXPECT_EQ(progIdKeys, Snapshot(versioned));
    std::set<std::wstring> independent = progIdKeys;
    independent.insert({L"\\CurVer", L"\\CurVer:=" + versioned});
    EXPECT_EQ(independent, Snapshot(progId));
    auto typeLib = Snapshot(typeLibKey + L"\\1.0");
    EXPECT_TRUE(typeLib.count(L":=" + std::wstring(row.typeLibName))) << kv::ToAnsi([&] { std::wstring all; for (auto& l : Snapshot(typeLibKey)) all += l + L"\n"; return all; }());
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
    EXPECT_TRUE(Snapshot(classKey).empty());
    EXPECT_TRUE(Snapshot(progId).empty());
    EXPECT_TRUE(Snapshot(versioned).empty());
    EXPECT_TRUE(Snapshot(typeLibKey).empty());
    EXPECT_FALSE(Snapshot(L"CLSID").empty());
    EXPECT_EQ(S_OK, s.unreg()) << "unregistering twice is harmless";

    ASSERT_EQ(S_OK, s.reg());
    ASSERT_EQ(S_OK, s.reg()) << "registering twice is harmless";
    EXPECT_EQ(expected, Snapshot(classKey));
}

// The registration names the control's pictures as "path,n"; the module holds each.
TEST_P(Registration, TheModuleCarriesThePicturesItsRegistrationNames) {
    const ServerRow& row = GetParam();
    Server s = LoadRegisteredServer(row);
    ASSERT_TRUE(s.dll);
    for (const auto& p : row.pictures) {
        if (!p.type) continue;
        wchar_t value[1024] = {};
        DWORD size = sizeof(value);
        ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CLASSES_ROOT, (ClassKey(row) + L"\\" + p.key).c_str(),
                                              nullptr, RRF_RT_REG_SZ, nullptr, value, &size));
        std::wstring text = value;
        size_t comma = text.rfind(L',');
        ASSERT_NE(std::wstring::npos, comma) << kv::ToAnsi(text);
        EXPECT_EQ(s.path, text.substr(0, comma));
        int id = std::stoi(text.substr(comma + 1));
        HANDLE picture = LoadImageW(s.dll.get(), MAKEINTRESOURCEW(id), p.type, 0, 0, p.type == IMAGE_ICON ? LR_DEFAULTSIZE : 0);
        ASSERT_TRUE(picture) << kv::ToAnsi(p.key) << " names resource " << id;
        HBITMAP bitmap = static_cast<HBITMAP>(picture);
        ICONINFO icon{};
        if (p.type == IMAGE_ICON) {
            ASSERT_TRUE(GetIconInfo(static_cast<HICON>(picture), &icon));
            bitmap = icon.hbmColor;
        }
        BITMAP shape{};
        GetObjectW(bitmap, sizeof shape, &shape);
        EXPECT_EQ(p.width, shape.bmWidth) << kv::ToAnsi(p.key);
        EXPECT_EQ(p.height, shape.bmHeight) << kv::ToAnsi(p.key);
        if (p.type == IMAGE_ICON) {
            DeleteObject(icon.hbmColor);
            DeleteObject(icon.hbmMask);
            DestroyIcon(static_cast<HICON>(picture));
        } else {
            DeleteObject(bitmap);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ControlServers, Registration, testing::ValuesIn(kServers),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
