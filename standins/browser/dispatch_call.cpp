#include "standins/browser/dispatch_call.h"

#include <string>

namespace kv::browser {

HRESULT InvokeMember(IDispatch* object, DISPID id, WORD flags, const std::vector<Variant>& args, VARIANT* result) {
    if (!object) return E_POINTER;
    std::vector<VARIANT> raw;  // DISPPARAMS holds the arguments last-first
    for (auto it = args.rbegin(); it != args.rend(); ++it) raw.push_back(*it->get());
    DISPID named = DISPID_PROPERTYPUT;
    bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    DISPPARAMS params = {raw.data(), put ? &named : nullptr, static_cast<UINT>(raw.size()), put ? 1u : 0u};
    Variant ignored;
    if (result) VariantInit(result);
    EXCEPINFO excep = {};
    HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                put ? nullptr : (result ? result : ignored.get()), &excep, nullptr);
    if (hr == DISP_E_EXCEPTION) {
        if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
        if (FAILED(excep.scode)) hr = excep.scode;
    }
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    return hr;
}

HRESULT InvokeByName(IDispatch* object, std::wstring_view name, WORD flags, const std::vector<Variant>& args,
                     VARIANT* result, DISPID fallback) {
    if (!object) return E_POINTER;
    std::wstring text(name);
    LPOLESTR names[] = {text.data()};
    DISPID id;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        if (fallback == DISPID_UNKNOWN) return hr;
        id = fallback;
    }
    return InvokeMember(object, id, flags, args, result);
}

}  // namespace kv::browser
