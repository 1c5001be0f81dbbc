// Owners for the handles and automation values the kit uses. Each owns exactly one resource and
// frees it once; moving transfers ownership. Interface pointers use Microsoft::WRL::ComPtr.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <string>
#include <string_view>
#include <utility>

#include "platform/hresult_error.h"

namespace kv {

// A handle type with its invalid values and its close function.
template <class H, class Traits>
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(H h) noexcept : h_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    H get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return Traits::Valid(h_); }
    H release() noexcept { return std::exchange(h_, Traits::Invalid()); }
    void reset(H h = Traits::Invalid()) noexcept {
        if (Traits::Valid(h_)) Traits::Close(h_);
        h_ = h;
    }
    // For out parameters: frees what is held and hands out the slot.
    H* put() noexcept {
        reset();
        return &h_;
    }

private:
    H h_ = Traits::Invalid();
};

struct HandleTraits {
    static HANDLE Invalid() { return nullptr; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
struct FindHandleTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { FindClose(h); }
};
struct ChangeNotificationTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { FindCloseChangeNotification(h); }
};
struct HkeyTraits {
    static HKEY Invalid() { return nullptr; }
    static bool Valid(HKEY h) { return h != nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};
struct HwndTraits {
    static HWND Invalid() { return nullptr; }
    static bool Valid(HWND h) { return h != nullptr; }
    static void Close(HWND h) { DestroyWindow(h); }
};
struct HmoduleTraits {
    static HMODULE Invalid() { return nullptr; }
    static bool Valid(HMODULE h) { return h != nullptr; }
    static void Close(HMODULE h) { FreeLibrary(h); }
};

using UniqueHandleObj = UniqueHandle<HANDLE, HandleTraits>;
using UniqueFindHandle = UniqueHandle<HANDLE, FindHandleTraits>;
using UniqueChangeNotification = UniqueHandle<HANDLE, ChangeNotificationTraits>;
using UniqueHkey = UniqueHandle<HKEY, HkeyTraits>;
using UniqueHwnd = UniqueHandle<HWND, HwndTraits>;
using UniqueModule = UniqueHandle<HMODULE, HmoduleTraits>;

// CoInitialize / CoUninitialize for one scope. Succeeded() tells whether the scope owns a
// balancing CoUninitialize (S_FALSE counts: COM was already initialised on this thread).
class CoInitScope {
public:
    explicit CoInitScope(DWORD model = COINIT_APARTMENTTHREADED) noexcept
        : hr_(CoInitializeEx(nullptr, model)) {}
    ~CoInitScope() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    CoInitScope(const CoInitScope&) = delete;
    CoInitScope& operator=(const CoInitScope&) = delete;
    HRESULT Result() const noexcept { return hr_; }
    bool Succeeded() const noexcept { return SUCCEEDED(hr_); }

private:
    HRESULT hr_;
};

// An owned BSTR. A null BSTR is a valid, empty string.
class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(std::wstring_view text) : b_(Alloc(text)) {}
    Bstr(const Bstr& o) : b_(o.b_ ? Alloc(o.view()) : nullptr) {}
    Bstr(Bstr&& o) noexcept : b_(o.Detach()) {}
    Bstr& operator=(Bstr o) noexcept {
        std::swap(b_, o.b_);
        return *this;
    }
    ~Bstr() { SysFreeString(b_); }

    static Bstr Attach(BSTR b) noexcept {
        Bstr r;
        r.b_ = b;
        return r;
    }
    BSTR Detach() noexcept { return std::exchange(b_, nullptr); }
    BSTR get() const noexcept { return b_; }
    BSTR* put() noexcept {
        SysFreeString(std::exchange(b_, nullptr));
        return &b_;
    }
    // A copy for an out parameter; the caller's callee owns it.
    BSTR Copy() const { return b_ ? Alloc(view()) : nullptr; }

    UINT Length() const noexcept { return SysStringLen(b_); }
    bool empty() const noexcept { return Length() == 0; }
    std::wstring_view view() const noexcept { return {b_ ? b_ : L"", Length()}; }
    std::wstring str() const { return std::wstring(view()); }

private:
    static BSTR Alloc(std::wstring_view text) {
        BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!b && !text.empty()) ThrowHr(E_OUTOFMEMORY);
        if (!b) b = SysAllocString(L"");
        if (!b) ThrowHr(E_OUTOFMEMORY);
        return b;
    }
    BSTR b_ = nullptr;
};

// An owned VARIANT, cleared on destruction.
class Variant {
public:
    Variant() noexcept { VariantInit(&v_); }
    Variant(const Variant& o) : Variant() { ThrowIfFailed(VariantCopy(&v_, const_cast<VARIANT*>(&o.v_))); }
    explicit Variant(const VARIANT& o) : Variant() { ThrowIfFailed(VariantCopy(&v_, const_cast<VARIANT*>(&o))); }
    Variant(Variant&& o) noexcept : v_(o.v_) { VariantInit(&o.v_); }
    Variant& operator=(const Variant& o) {
        if (this != &o) ThrowIfFailed(VariantCopy(&v_, const_cast<VARIANT*>(&o.v_)));
        return *this;
    }
    Variant& operator=(Variant&& o) noexcept {
        if (this != &o) {
            VariantClear(&v_);
            v_ = o.v_;
            VariantInit(&o.v_);
        }
        return *this;
    }
    ~Variant() { VariantClear(&v_); }

    static Variant I4(LONG value) noexcept {
        Variant r;
        r.v_.vt = VT_I4;
        r.v_.lVal = value;
        return r;
    }
    static Variant Bool(bool value) noexcept {
        Variant r;
        r.v_.vt = VT_BOOL;
        r.v_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        return r;
    }
    static Variant String(std::wstring_view text) {
        Variant r;
        r.v_.bstrVal = Bstr(text).Detach();
        r.v_.vt = VT_BSTR;
        return r;
    }
    // Takes a reference of its own.
    static Variant Unknown(IUnknown* p) noexcept {
        Variant r;
        r.v_.vt = VT_UNKNOWN;
        r.v_.punkVal = p;
        if (p) p->AddRef();
        return r;
    }
    static Variant Dispatch(IDispatch* p) noexcept {
        Variant r;
        r.v_.vt = VT_DISPATCH;
        r.v_.pdispVal = p;
        if (p) p->AddRef();
        return r;
    }

    VARIANT* get() noexcept { return &v_; }
    const VARIANT* get() const noexcept { return &v_; }
    VARIANT* operator->() noexcept { return &v_; }
    const VARIANT* operator->() const noexcept { return &v_; }
    VARTYPE vt() const noexcept { return v_.vt; }
    VARIANT* put() noexcept {
        VariantClear(&v_);
        return &v_;
    }
    void Clear() noexcept { VariantClear(&v_); }
    // Hands the value to an out parameter (which must be empty or uninitialised).
    void Detach(VARIANT* out) noexcept {
        *out = v_;
        VariantInit(&v_);
    }
    // Changes the held value in place; throws the conversion's HRESULT.
    void ChangeType(VARTYPE vt, LCID lcid = 0, USHORT flags = 0) {
        if (lcid)
            ThrowIfFailed(VariantChangeTypeEx(&v_, &v_, lcid, flags, vt));
        else
            ThrowIfFailed(VariantChangeType(&v_, &v_, flags, vt));
    }

private:
    VARIANT v_;
};

// SafeArrayAccessData for one scope.
template <class T>
class SafeArrayData {
public:
    explicit SafeArrayData(SAFEARRAY* sa) : sa_(sa) {
        ThrowIfFailed(SafeArrayAccessData(sa_, reinterpret_cast<void**>(&data_)));
    }
    ~SafeArrayData() { SafeArrayUnaccessData(sa_); }
    SafeArrayData(const SafeArrayData&) = delete;
    SafeArrayData& operator=(const SafeArrayData&) = delete;
    T* data() const noexcept { return data_; }
    T& operator[](size_t i) const noexcept { return data_[i]; }

private:
    SAFEARRAY* sa_;
    T* data_ = nullptr;
};

// An owned SAFEARRAY, destroyed on destruction.
class SafeArray {
public:
    SafeArray() noexcept = default;
    explicit SafeArray(SAFEARRAY* sa) noexcept : sa_(sa) {}
    SafeArray(const SafeArray&) = delete;
    SafeArray& operator=(const SafeArray&) = delete;
    SafeArray(SafeArray&& o) noexcept : sa_(std::exchange(o.sa_, nullptr)) {}
    SafeArray& operator=(SafeArray&& o) noexcept {
        std::swap(sa_, o.sa_);
        return *this;
    }
    ~SafeArray() {
        if (sa_) SafeArrayDestroy(sa_);
    }
    // A one-dimensional array of n elements of type vt, lower bound 0.
    static SafeArray Vector(VARTYPE vt, ULONG n) {
        SAFEARRAY* sa = SafeArrayCreateVector(vt, 0, n);
        if (!sa) ThrowHr(E_OUTOFMEMORY);
        return SafeArray(sa);
    }
    SAFEARRAY* get() const noexcept { return sa_; }
    SAFEARRAY* Detach() noexcept { return std::exchange(sa_, nullptr); }

private:
    SAFEARRAY* sa_ = nullptr;
};

}  // namespace kv
