// Calls into an automation object as page script does.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string_view>
#include <vector>

#include "platform/raii.h"

namespace kv::browser {

// Invokes member `id` with `args` in declared order (the first parameter first); a property put
// passes its one argument as the named DISPID_PROPERTYPUT. A failure the member reported through
// DISP_E_EXCEPTION is returned as the member's own code. `result` may be null.
HRESULT InvokeMember(IDispatch* object, DISPID id, WORD flags, const std::vector<Variant>& args, VARIANT* result);

// The same by name; `fallback` is used when the object does not know the name (DISPID_UNKNOWN:
// the name's failure is returned).
HRESULT InvokeByName(IDispatch* object, std::wstring_view name, WORD flags, const std::vector<Variant>& args,
                     VARIANT* result, DISPID fallback = DISPID_UNKNOWN);

}  // namespace kv::browser
