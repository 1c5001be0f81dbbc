// The COM chain end to end with the test-only server: registered in the prefix by regsvr32,
// created by ProgID, called late-bound by name, unregistered and registered again, unloaded.
#include <gtest/gtest.h>

#include "kvtestsrv.h"
#include "platform/com_object.h"
#include "platform/module_path.h"
#include "platform/raii.h"

namespace {

using kv::ComPtr;

bool KeyExists(HKEY root, const wchar_t* path) {
    kv::UniqueHkey key;
    return RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring DefaultValue(HKEY root, const wchar_t* path, const wchar_t* name = nullptr) {
    wchar_t buf[1024] = {};
    DWORD size = sizeof(buf);
    if (RegGetValueW(root, path, name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS) return L"<missing>";
    return buf;
}

const wchar_t kClsidKey[] = L"CLSID\\{CD103469-4ABA-45C6-8D10-5BB2AB7FF473}";

ComPtr<IDispatch> CreateByProgId() {
    CLSID clsid;
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"KvKit.TestCalc", &clsid));
    ComPtr<IDispatch> disp;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, 0x17, IID_IDispatch,
                                     reinterpret_cast<void**>(disp.GetAddressOf())));
    return disp;
}

HRESULT CallByName(IDispatch* disp, const wchar_t* name, WORD flags, std::vector<kv::Variant> args,
                   kv::Variant* result) {
    DISPID id;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = disp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> raw;
    for (auto it = args.rbegin(); it != args.rend(); ++it) raw.push_back(*it->get());  // reverse order
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {raw.data(), flags == DISPATCH_PROPERTYPUT ? &named : nullptr,
                         static_cast<UINT>(raw.size()), flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
    return disp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result ? result->get() : nullptr,
                        nullptr, nullptr);
}

TEST(ComServer, CreatedByProgIdAndCalledByName) {
    ComPtr<IDispatch> calc = CreateByProgId();
    ASSERT_TRUE(calc);
    kv::Variant sum;
    ASSERT_EQ(S_OK, CallByName(calc.Get(), L"add", DISPATCH_METHOD, {kv::Variant::I4(40), kv::Variant::I4(2)}, &sum));
    ASSERT_EQ(VT_I4, sum.vt());
    EXPECT_EQ(42, sum->lVal);

    kv::Variant name;
    ASSERT_EQ(S_OK, CallByName(calc.Get(), L"Name", DISPATCH_PROPERTYGET, {}, &name));
    EXPECT_EQ(L"calc", kv::Bstr(name->bstrVal).str());
    ASSERT_EQ(S_OK, CallByName(calc.Get(), L"Name", DISPATCH_PROPERTYPUT, {kv::Variant::String(L"renamed")}, nullptr));
    ASSERT_EQ(S_OK, CallByName(calc.Get(), L"Name", DISPATCH_PROPERTYGET, {}, &name));
    EXPECT_EQ(L"renamed", std::wstring(name->bstrVal));

    DISPID id;
    LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"NoSuchMember")};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, calc->GetIDsOfNames(IID_NULL, unknown, 1, 0, &id));
}

TEST(ComServer, FailureComesBackWithErrorInfo) {
    ComPtr<IDispatch> calc = CreateByProgId();
    ComPtr<IKvTestCalc> direct;
    ASSERT_EQ(S_OK, calc.As(&direct));
    EXPECT_EQ(E_ACCESSDENIED, direct->Fail(E_ACCESSDENIED));
    ComPtr<IErrorInfo> info;
    ASSERT_EQ(S_OK, GetErrorInfo(0, info.GetAddressOf()));
    GUID guid;
    info->GetGUID(&guid);
    EXPECT_TRUE(IsEqualGUID(guid, IID_IKvTestCalc));
}

TEST(ComServer, CanUnloadOnlyWhenNothingIsAliveOrLocked) {
    ComPtr<IDispatch> calc = CreateByProgId();
    HMODULE dll = GetModuleHandleW(L"kvtestsrv.dll");
    ASSERT_NE(nullptr, dll);
    auto canUnload = kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(dll, "DllCanUnloadNow");
    ASSERT_NE(nullptr, canUnload);
    EXPECT_EQ(S_FALSE, canUnload());

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_KvTestCalc, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     reinterpret_cast<void**>(factory.GetAddressOf())));
    calc.Reset();
    EXPECT_EQ(S_OK, canUnload()) << "the last release frees the module";
    factory->LockServer(TRUE);
    EXPECT_EQ(S_FALSE, canUnload());
    factory->LockServer(FALSE);
    EXPECT_EQ(S_OK, canUnload());

    auto getClass = kv::GetProc<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        dll, "DllGetClassObject");
    void* p = nullptr;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClass(CLSID_NULL, IID_IClassFactory, &p));
}

TEST(ComServer, RegistrationRoundTrip) {
    // The DLL registered by the prefix set-up, so the registration is restored to the same file.
    std::wstring path = DefaultValue(HKEY_CLASSES_ROOT, (std::wstring(kClsidKey) + L"\\InprocServer32").c_str());
    kv::UniqueModule dll(LoadLibraryW(path.c_str()));
    ASSERT_TRUE(dll);
    auto reg = kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(dll.get(), "DllRegisterServer");
    auto unreg = kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(dll.get(), "DllUnregisterServer");
    ASSERT_TRUE(reg && unreg);

    ASSERT_EQ(S_OK, reg());
    EXPECT_EQ(L"KvTestCalc Class", DefaultValue(HKEY_CLASSES_ROOT, L"KvKit.TestCalc"));
    EXPECT_EQ(L"KvKit.TestCalc.1", DefaultValue(HKEY_CLASSES_ROOT, L"KvKit.TestCalc\\CurVer"));
    EXPECT_EQ(L"Apartment",
              DefaultValue(HKEY_CLASSES_ROOT, (std::wstring(kClsidKey) + L"\\InprocServer32").c_str(), L"ThreadingModel"));
    std::wstring inproc = DefaultValue(HKEY_CLASSES_ROOT, (std::wstring(kClsidKey) + L"\\InprocServer32").c_str());
    EXPECT_NE(std::wstring::npos, inproc.find(L"kvtestsrv.dll")) << "%MODULE% is the DLL's path";
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\{1576D987-F51B-429E-B667-599745ADA018}\\1.0"));
    // Registered for the DLL's own architecture only.
    const std::wstring tlb = L"TypeLib\\{1576D987-F51B-429E-B667-599745ADA018}\\1.0\\0\\";
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, (tlb + (sizeof(void*) == 8 ? L"win64" : L"win32")).c_str()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, (tlb + (sizeof(void*) == 8 ? L"win32" : L"win64")).c_str()));

    EXPECT_EQ(S_OK, unreg());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"KvKit.TestCalc"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"KvKit.TestCalc.1"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\{1576D987-F51B-429E-B667-599745ADA018}"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID")) << "NoRemove keeps the CLSID root";
    EXPECT_EQ(S_OK, unreg()) << "a second unregistration is harmless";

    ASSERT_EQ(S_OK, reg());
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    CLSID clsid;
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"KvKit.TestCalc", &clsid));
}

}  // namespace
