#include "platform/hresult_error.h"

#include <oleauto.h>

#include <new>
#include <string>

namespace kv {

void ThrowHr(HRESULT hr) { throw HResultError(hr); }

void ThrowLastError() {
    DWORD err = GetLastError();
    ThrowHr(err ? HRESULT_FROM_WIN32(err) : E_FAIL);
}

HRESULT CaughtHResult() noexcept {
    try {
        throw;
    } catch (const HResultError& e) {
        return e.Code();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT SetErrorInfoFor(HRESULT hr, REFIID iid, const wchar_t* source) noexcept {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create))) return hr;
    create->SetGUID(iid);
    if (source) create->SetSource(const_cast<LPOLESTR>(source));
    wchar_t* text = nullptr;
    if (FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0,
                       nullptr) &&
        text) {
        create->SetDescription(text);
        LocalFree(text);
    }
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
    return hr;
}

HRESULT CaughtHResultWithInfo(REFIID iid, const wchar_t* source) noexcept {
    return SetErrorInfoFor(CaughtHResult(), iid, source);
}

}  // namespace kv
