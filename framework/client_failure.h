// A failure the client returned. The client has already put its own error information on the
// thread, so whoever catches this hands the code on as it is, without error information of its
// own on top.
#pragma once

#include <windows.h>

#include "platform/hresult_error.h"

namespace kv {

class ClientFailure : public HResultError {
public:
    using HResultError::HResultError;
};

// Throws a failed HRESULT of a client call as ClientFailure; passes success codes through.
inline HRESULT ThrowIfClientFailed(HRESULT hr) {
    if (FAILED(hr)) throw ClientFailure(hr);
    return hr;
}

}  // namespace kv
