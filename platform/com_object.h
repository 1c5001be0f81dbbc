// The common object base of the kit's COM objects: a reference count, a flat interface table
// and a factory. Every live object holds one lock on its module, so DllCanUnloadNow answers
// S_OK only when nothing of the module is alive and no client called LockServer(TRUE).
//
//   class Thing : public kv::ComObject<Thing, IThing, IOther> { ... };
//   ComPtr<IThing> p = kv::MakeObject<Thing>(args...);
//
// QueryInterface answers IUnknown, each listed interface, IDispatch (the first listed interface
// derived from it) and whatever QueryInterfaceExtra adds. Reference counting is thread-safe.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <new>
#include <type_traits>
#include <utility>

#include "platform/hresult_error.h"

namespace kv {

using Microsoft::WRL::ComPtr;

// The module lock count: live objects plus LockServer locks.
void ModuleAddLock() noexcept;
void ModuleReleaseLock() noexcept;
LONG ModuleLockCount() noexcept;

// The module (DLL or program) this code is linked into.
HINSTANCE ThisModule() noexcept;

// An entry of the interface table: the interface itself, or an implementation helper such as
// Dual<I> that names its interface as `Interface`.
template <class T>
struct InterfaceOf {
    using type = T;
};
template <class T>
    requires requires { typename T::Interface; }
struct InterfaceOf<T> {
    using type = typename T::Interface;
};

template <class Derived, class First, class... Rest>
class ComObject : public First, public Rest... {
public:
    ComObject() noexcept { ModuleAddLock(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;
    virtual ~ComObject() { ModuleReleaseLock(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = FindInterface(riid);
        if (!*ppv) return E_NOINTERFACE;
        static_cast<IUnknown*>(*ppv)->AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

    IUnknown* Unknown() noexcept { return static_cast<First*>(this); }

protected:
    // Interfaces beyond the table (tear-offs, aliases). Returns an un-AddRef'd pointer or null.
    virtual void* QueryInterfaceExtra(REFIID) noexcept { return nullptr; }

private:
    template <class Entry>
    void Match(REFIID riid, void*& found) noexcept {
        using I = typename InterfaceOf<Entry>::type;
        if (!found && IsEqualIID(riid, __uuidof(I))) found = static_cast<I*>(static_cast<Entry*>(this));
    }
    template <class Entry>
    void MatchDispatch(void*& found) noexcept {
        if constexpr (std::is_base_of_v<IDispatch, Entry>)
            if (!found) found = static_cast<IDispatch*>(static_cast<Entry*>(this));
    }
    void* FindInterface(REFIID riid) noexcept {
        void* found = nullptr;
        if (IsEqualIID(riid, IID_IUnknown)) return static_cast<IUnknown*>(static_cast<First*>(this));
        Match<First>(riid, found);
        (Match<Rest>(riid, found), ...);
        if (!found && IsEqualIID(riid, IID_IDispatch)) {
            MatchDispatch<First>(found);
            (MatchDispatch<Rest>(found), ...);
        }
        if (!found) found = QueryInterfaceExtra(riid);
        return found;
    }

    LONG refs_ = 0;
};

// The factory: new object, query for the wanted interface, release on failure.
template <class T, class... Args>
HRESULT CreateObject(REFIID riid, void** ppv, Args&&... args) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    try {
        T* obj = new T(std::forward<Args>(args)...);
        obj->AddRef();
        HRESULT hr = obj->QueryInterface(riid, ppv);
        obj->Release();
        return hr;
    } catch (...) {
        return CaughtHResult();
    }
}

// The same for C++ callers: returns the object itself, throws on failure.
// (The toolchain's ComPtr::Attach takes a reference of its own, unlike other implementations:
// the kit never uses Attach; constructing from the raw pointer takes the one reference.)
template <class T, class... Args>
ComPtr<T> MakeObject(Args&&... args) {
    return ComPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace kv
