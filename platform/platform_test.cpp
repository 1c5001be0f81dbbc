#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "platform/class_factory.h"
#include "platform/comma_list.h"
#include "platform/com_object.h"
#include "platform/module_path.h"
#include "platform/platform_test_ids.h"
#include "platform/raii.h"
#include "platform/text.h"

namespace {

using kv::ComPtr;

HRESULT Map(void (*thrower)()) {
    try {
        thrower();
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }
}

TEST(HResultMapping, EachKindOfFailureBecomesItsHResult) {
    struct Case {
        const char* what;
        void (*thrower)();
        HRESULT expected;
    } cases[] = {
        {"carried code", [] { kv::ThrowHr(E_INVALIDARG); }, E_INVALIDARG},
        {"success code thrown", [] { kv::ThrowHr(S_FALSE); }, E_FAIL},
        {"out of memory", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {"other exception", [] { throw std::runtime_error("x"); }, E_FAIL},
        {"not an exception", [] { throw 42; }, E_FAIL},
        {"ThrowIfFailed", [] { kv::ThrowIfFailed(DISP_E_TYPEMISMATCH); }, DISP_E_TYPEMISMATCH},
        {"last error", [] { SetLastError(ERROR_FILE_NOT_FOUND); kv::ThrowLastError(); },
         HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
        {"no last error", [] { SetLastError(0); kv::ThrowLastError(); }, E_FAIL},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, Map(c.thrower)) << c.what;
    EXPECT_EQ(S_FALSE, kv::ThrowIfFailed(S_FALSE));
}

TEST(HResultMapping, ErrorInfoNamesTheInterface) {
    HRESULT hr;
    try {
        kv::ThrowHr(E_INVALIDARG);
    } catch (...) {
        hr = kv::CaughtHResultWithInfo(IID_IClassFactory, L"Korvane.Test");
    }
    EXPECT_EQ(E_INVALIDARG, hr);
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, GetErrorInfo(0, info.GetAddressOf()));
    GUID guid;
    info->GetGUID(&guid);
    EXPECT_TRUE(IsEqualGUID(guid, IID_IClassFactory));
    kv::Bstr source;
    info->GetSource(source.put());
    EXPECT_EQ(L"Korvane.Test", source.str());
}

TEST(CommaList, SplitsAtCommasAndDropsOneEmptyLastItem) {
    struct Case {
        const wchar_t* text;
        std::vector<std::wstring> items;
    } cases[] = {
        {L"Exists,Play,StoryObject", {L"Exists", L"Play", L"StoryObject"}},
        {L"a,b,", {L"a", L"b"}},
        {L"a,b,,", {L"a", L"b", L""}},
        {L"a,,b", {L"a", L"", L"b"}},
        {L",a", {L"", L"a"}},
        {L"single", {L"single"}},
        {L"", {}},
        {L",", {L""}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.items, kv::SplitCommaList(c.text)) << c.text;
}

TEST(CommaList, SixtyFourItemsAtMostFromTheStringTable) {
    HINSTANCE self = GetModuleHandleW(nullptr);
    EXPECT_EQ(63u, kv::LoadCommaList(self, IDS_LIST_63).size());
    auto list64 = kv::LoadCommaList(self, IDS_LIST_64);
    ASSERT_EQ(64u, list64.size());
    EXPECT_EQ(L"a64", list64.back());
    EXPECT_EQ(64u, kv::LoadCommaList(self, IDS_LIST_64_TRAILING).size());

    auto load = [&](UINT id) {
        try {
            kv::LoadCommaList(self, id);
            return S_OK;
        } catch (...) {
            return kv::CaughtHResult();
        }
    };
    EXPECT_EQ(E_FAIL, load(IDS_LIST_65));
    EXPECT_EQ(E_INVALIDARG, load(IDS_MISSING));
}

TEST(CommaList, MessageAndCaptionKeepTheirLineBreak) {
    auto items = kv::LoadCommaList(GetModuleHandleW(nullptr), IDS_MESSAGE);
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ(L"The first line\nThe second line", items[0]);
    EXPECT_EQ(L"Caption", items[1]);
}

TEST(Text, ConversionsKeepEveryCharacterOfLongText) {
    std::wstring wide(5000, L'x');
    wide += L"\x00e9nd";
    std::string ansi = kv::ToAnsi(wide, CP_UTF8);
    EXPECT_EQ(wide, kv::ToWide(ansi, CP_UTF8));
    EXPECT_EQ(std::string(), kv::ToAnsi(L""));
    EXPECT_EQ(L"ABC_1\x00e9", kv::AsciiUpper(L"aBc_1\x00e9"));
    EXPECT_TRUE(kv::EqualsNoCase(L"Title", L"TITLE"));
    EXPECT_FALSE(kv::EqualsNoCase(L"Title", L"TITLES"));
}

TEST(ModulePathTest, GivesTheProgramsFullPath) {
    std::wstring path = kv::ModulePath(nullptr);
    ASSERT_GT(path.size(), 3u);
    EXPECT_EQ(L':', path[1]);
    EXPECT_NE(std::wstring::npos, kv::AsciiUpper(path).find(L"PLATFORM_TEST.EXE"));
}

// A probe object for the object base: counts its own destruction.
int g_destroyed = 0;
class Probe : public kv::ComObject<Probe, IPersist, IOleWindow> {
public:
    ~Probe() override { ++g_destroyed; }
    STDMETHODIMP GetClassID(CLSID* id) override {
        *id = CLSID_NULL;
        return S_OK;
    }
    STDMETHODIMP GetWindow(HWND* hwnd) override {
        *hwnd = nullptr;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
};

TEST(ObjectBase, InterfaceTableAndIdentity) {
    LONG before = kv::ModuleLockCount();
    ComPtr<IPersist> persist;
    ASSERT_EQ(S_OK, kv::CreateObject<Probe>(IID_IPersist, reinterpret_cast<void**>(persist.GetAddressOf())));
    EXPECT_EQ(before + 1, kv::ModuleLockCount());

    ComPtr<IOleWindow> window;
    EXPECT_EQ(S_OK, persist.As(&window));
    ComPtr<IUnknown> unk1, unk2;
    persist.As(&unk1);
    window.As(&unk2);
    EXPECT_EQ(unk1.Get(), unk2.Get()) << "IUnknown is the object's identity";
    ComPtr<IDispatch> disp;
    EXPECT_EQ(E_NOINTERFACE, persist.As(&disp));
    EXPECT_EQ(nullptr, disp.Get());

    int destroyed = g_destroyed;
    persist.Reset();
    window.Reset();
    unk1.Reset();
    unk2.Reset();
    EXPECT_EQ(destroyed + 1, g_destroyed);
    EXPECT_EQ(before, kv::ModuleLockCount());
}

TEST(ObjectBase, FactoryReleasesTheObjectWhenTheInterfaceIsMissing) {
    LONG before = kv::ModuleLockCount();
    int destroyed = g_destroyed;
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, kv::CreateObject<Probe>(IID_IDispatch, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(destroyed + 1, g_destroyed);
    EXPECT_EQ(before, kv::ModuleLockCount());
    EXPECT_EQ(E_POINTER, kv::CreateObject<Probe>(IID_IPersist, nullptr));
}

TEST(ObjectBase, MakeObjectHandsOutTheOnlyReference) {
    LONG before = kv::ModuleLockCount();
    int destroyed = g_destroyed;
    {
        ComPtr<Probe> probe = kv::MakeObject<Probe>();
        ComPtr<Probe> copy = probe;
        EXPECT_EQ(before + 1, kv::ModuleLockCount());
    }
    EXPECT_EQ(destroyed + 1, g_destroyed);
    EXPECT_EQ(before, kv::ModuleLockCount());
}

HRESULT CreateProbe(REFIID riid, void** ppv) { return kv::CreateObject<Probe>(riid, ppv); }

TEST(ObjectBase, ClassFactoryLocksTheModuleOnlyThroughObjectsAndLockServer) {
    LONG before = kv::ModuleLockCount();
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, kv::ClassFactory::Create(CreateProbe, IID_IClassFactory,
                                             reinterpret_cast<void**>(factory.GetAddressOf())));
    EXPECT_EQ(before, kv::ModuleLockCount()) << "a cached factory does not keep the module";

    ComPtr<IUnknown> obj;
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              factory->CreateInstance(factory.Get(), IID_IUnknown, reinterpret_cast<void**>(obj.GetAddressOf())));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(obj.GetAddressOf())));
    EXPECT_EQ(before + 1, kv::ModuleLockCount());
    factory->LockServer(TRUE);
    obj.Reset();
    EXPECT_EQ(before + 1, kv::ModuleLockCount());
    factory->LockServer(FALSE);
    EXPECT_EQ(before, kv::ModuleLockCount());
}

TEST(Owners, VariantAndBstrOwnTheirValues) {
    kv::Variant a = kv::Variant::String(L"2048");
    kv::Variant b = a;
    b.ChangeType(VT_I4);
    EXPECT_EQ(VT_BSTR, a.vt());
    EXPECT_EQ(2048, b->lVal);
    kv::Variant c = kv::Variant::String(L"not a number");
    HRESULT hr = S_OK;
    try {
        c.ChangeType(VT_I4);
    } catch (...) {
        hr = kv::CaughtHResult();
    }
    EXPECT_EQ(DISP_E_TYPEMISMATCH, hr);

    kv::Bstr empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(L"", empty.str());
    kv::Bstr text(std::wstring_view(L"a\0b", 3));
    EXPECT_EQ(3u, text.Length()) << "embedded nulls are kept";
}

}  // namespace

#include "platform/databinding.h"

namespace {
TEST(DataBinding, InterfaceIdsAreTheBrowsers) {
    wchar_t text[40];
    StringFromGUID2(__uuidof(OLEDBSimpleProvider), text, 40);
    EXPECT_STREQ(L"{E0E270C0-C0BE-11D0-8FE4-00A0C90A6341}", text);
    EXPECT_TRUE(IsEqualIID(IID_OLEDBSimpleProviderListener, __uuidof(OLEDBSimpleProviderListener)));
    StringFromGUID2(IID_DataSourceListener, text, 40);
    EXPECT_STREQ(L"{7C0FFAB2-CD84-11D0-949A-00A0C91110ED}", text);
}
}  // namespace
