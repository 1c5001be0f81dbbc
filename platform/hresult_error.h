// Failures inside the kit travel as one exception type that carries an HRESULT. Every COM
// method, sink event and message handler ends in one catch that turns it back into an HRESULT:
//
//   STDMETHODIMP Thing::Method() try { ...; return S_OK; } catch (...) { return kv::CaughtHResult(); }
//
// Nothing throws across a COM boundary.
#pragma once

#include <windows.h>

#include <exception>

namespace kv {

class HResultError : public std::exception {
public:
    // A code that is not a failure (S_OK, S_FALSE) becomes E_FAIL: an exception always fails.
    explicit HResultError(HRESULT hr) noexcept : hr_(FAILED(hr) ? hr : E_FAIL) {}
    HRESULT Code() const noexcept { return hr_; }
    const char* what() const noexcept override { return "HRESULT failure"; }

private:
    HRESULT hr_;
};

[[noreturn]] void ThrowHr(HRESULT hr);

// Throws on a failed HRESULT and passes success codes (S_FALSE included) through.
inline HRESULT ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) ThrowHr(hr);
    return hr;
}

// Throws HRESULT_FROM_WIN32(GetLastError()), or E_FAIL when the last error is 0.
[[noreturn]] void ThrowLastError();

template <class T>
T ThrowLastErrorIf(T value, bool failed) {
    if (failed) ThrowLastError();
    return value;
}

template <class T>
T* ThrowIfNull(T* p, HRESULT hr = E_POINTER) {
    if (!p) ThrowHr(hr);
    return p;
}

// Maps the exception being handled to an HRESULT: HResultError to its code, std::bad_alloc to
// E_OUTOFMEMORY, anything else to E_FAIL. Call only inside a catch block.
HRESULT CaughtHResult() noexcept;

// The same, and also sets the thread's error information (the interface id, the source and the
// system's text for the code) for script callers of the controls.
HRESULT CaughtHResultWithInfo(REFIID iid, const wchar_t* source) noexcept;

// Sets the thread's error information for a failure code returned without an exception.
HRESULT SetErrorInfoFor(HRESULT hr, REFIID iid, const wchar_t* source) noexcept;

}  // namespace kv
