// Helpers for tests against the client: creating it as the kit does, reading the arrays it
// returns, and pumping messages while another thread or process works.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include <string>

#include "client_control.h"
#include "korvane_client.h"
#include "platform/com_object.h"
#include "platform/raii.h"

namespace kv::test {

// The client application object from the ProgID "Korvane", class context 0x17, run and queried.
inline ComPtr<IClientApp2> CreateClient() {
    CLSID clsid;
    ThrowIfFailed(CLSIDFromProgID(L"Korvane", &clsid));
    ComPtr<IUnknown> unknown;
    ThrowIfFailed(CoCreateInstance(clsid, nullptr, 0x17, IID_IUnknown, reinterpret_cast<void**>(unknown.GetAddressOf())));
    ThrowIfFailed(OleRun(unknown.Get()));
    ComPtr<IClientApp2> app;
    ThrowIfFailed(unknown.As(&app));
    return app;
}

inline LONG Length(const VARIANT& array) {
    if (!(array.vt & VT_ARRAY)) ThrowHr(E_INVALIDARG);
    LONG lo = 0, hi = -1;
    ThrowIfFailed(SafeArrayGetLBound(array.parray, 1, &lo));
    ThrowIfFailed(SafeArrayGetUBound(array.parray, 1, &hi));
    return hi - lo + 1;
}

// Element i of an array of VARIANTs.
inline Variant Element(const VARIANT& array, LONG i) {
    if (array.vt != (VT_ARRAY | VT_VARIANT)) ThrowHr(E_INVALIDARG);
    Variant v;
    ThrowIfFailed(SafeArrayGetElement(array.parray, &i, v.get()));
    return v;
}

// Element i of an array of 32-bit integers.
inline LONG LongAt(const VARIANT& array, LONG i) {
    if (array.vt != (VT_ARRAY | VT_I4)) ThrowHr(E_INVALIDARG);
    LONG value = 0;
    ThrowIfFailed(SafeArrayGetElement(array.parray, &i, &value));
    return value;
}

// Element i of an array of strings.
inline std::wstring StringAt(const VARIANT& array, LONG i) {
    if (array.vt != (VT_ARRAY | VT_BSTR)) ThrowHr(E_INVALIDARG);
    Bstr value;
    ThrowIfFailed(SafeArrayGetElement(array.parray, &i, value.put()));
    return value.str();
}

inline Variant Str(const wchar_t* text) { return Variant::String(text); }

// Waits for `handle`, dispatching this thread's messages meanwhile (so that calls into this
// apartment keep being served). True when the handle was signalled in time.
inline bool PumpUntil(HANDLE handle, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        DWORD r = MsgWaitForMultipleObjects(1, &handle, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) return true;
        if (r != WAIT_OBJECT_0 + 1) return false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

}  // namespace kv::test

#include <thread>

namespace kv::test {

// Runs `work` on a new thread inside an apartment of its own (`model`) and pumps this thread's
// messages until that thread has left its apartment, so that calls and releases it makes into
// this apartment are served. True when it finished within `timeoutMs`.
template <class F>
bool RunOnOtherThread(DWORD model, F work, DWORD timeoutMs = 20000) {
    UniqueHandleObj done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread thread([&] {
        {
            CoInitScope com(model);
            work();
        }
        SetEvent(done.get());
    });
    bool finished = PumpUntil(done.get(), timeoutMs);
    thread.join();
    return finished;
}

}  // namespace kv::test
