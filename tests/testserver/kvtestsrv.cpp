// The test server's one class and its four exports.
#include "kvtestsrv.h"

#include "comserver/server_module.h"
#include "platform/dual.h"
#include "platform/raii.h"

namespace {

class KvTestCalc : public kv::ComObject<KvTestCalc, kv::Dual<IKvTestCalc>> {
public:
    STDMETHODIMP Add(LONG a, LONG b, LONG* sum) override {
        if (!sum) return E_POINTER;
        *sum = a + b;
        return S_OK;
    }
    STDMETHODIMP get_Name(BSTR* name) override try {
        if (!name) return E_POINTER;
        *name = name_.Copy();
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }
    STDMETHODIMP put_Name(BSTR name) override try {
        name_ = kv::Bstr(std::wstring_view(name ? name : L"", SysStringLen(name)));
        return S_OK;
    } catch (...) {
        return kv::CaughtHResult();
    }
    STDMETHODIMP Fail(LONG code) override try {
        kv::ThrowHr(static_cast<HRESULT>(code));
    } catch (...) {
        return kv::CaughtHResultWithInfo(IID_IKvTestCalc, L"KvKit.TestCalc");
    }

private:
    kv::Bstr name_{L"calc"};
};

const kv::ServerClass kClass = {&CLSID_KvTestCalc, &kv::CreateObject<KvTestCalc>};

}  // namespace

extern "C" {
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) { return kv::ServerDllMain(instance, reason, kClass); }
STDAPI DllCanUnloadNow() { return kv::ServerCanUnloadNow(); }
STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) { return kv::ServerGetClassObject(clsid, riid, ppv); }
STDAPI DllRegisterServer() { return kv::ServerRegister(); }
STDAPI DllUnregisterServer() {
    kv::ServerUnregister();
    return S_OK;
}
}
