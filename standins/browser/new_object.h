// A new COM object of ours held by a ComPtr that owns its one reference.
#pragma once

#include <utility>

#include "platform/com_object.h"

namespace kv::browser {

// The ComPtr constructor takes the first reference (mingw-w64's ComPtr::Attach adds one more,
// so an object attached after its own AddRef would never be freed).
template <class T, class... Args>
ComPtr<T> NewObject(Args&&... args) {
    return ComPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace kv::browser
