#include "standins/browser/property_bag.h"

#include "platform/text.h"

namespace kv::browser {

Param TextParam(std::wstring name, std::wstring_view value) { return {std::move(name), Variant::String(value)}; }

std::wstring ParamText(const Param& param) {
    Variant text(*param.value.get());
    if (text.vt() == VT_BOOL) return text->boolVal ? L"true" : L"false";
    if (text.vt() != VT_BSTR) text.ChangeType(VT_BSTR, LOCALE_INVARIANT);
    return text->bstrVal ? std::wstring(text->bstrVal, SysStringLen(text->bstrVal)) : std::wstring();
}

Param* PropertyBag::Find(const wchar_t* name) {
    for (auto& p : params_)
        if (EqualsNoCase(p.name, name)) return &p;
    return nullptr;
}

STDMETHODIMP PropertyBag::Read(LPCOLESTR name, VARIANT* value, IErrorLog* log) try {
    if (!name || !value) return E_POINTER;
    namesRead_.emplace_back(name);
    const Param* found = Find(name);
    if (!found) return E_INVALIDARG;
    VARTYPE wanted = value->vt;
    Variant copy(*found->value.get());
    if (wanted != VT_EMPTY && wanted != copy.vt()) {
        // PARAM values are text: "true"/"false" are what pages write for booleans.
        if (wanted == VT_BOOL && copy.vt() == VT_BSTR) {
            std::wstring_view text = copy->bstrVal ? copy->bstrVal : L"";
            if (EqualsNoCase(text, L"true")) copy = Variant::Bool(true);
            else if (EqualsNoCase(text, L"false")) copy = Variant::Bool(false);
        }
        HRESULT hr = copy.vt() == wanted ? S_OK : VariantChangeTypeEx(copy.get(), copy.get(), LOCALE_INVARIANT, 0, wanted);
        if (FAILED(hr)) {
            if (log) {
                EXCEPINFO info = {};
                info.scode = hr;
                log->AddError(name, &info);
            }
            return hr;
        }
    }
    VariantClear(value);
    copy.Detach(value);
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

STDMETHODIMP PropertyBag::Write(LPCOLESTR name, VARIANT* value) try {
    if (!name || !value) return E_POINTER;
    Variant copy;
    ThrowIfFailed(VariantCopyInd(copy.get(), value));
    if (Param* existing = Find(name))
        existing->value = std::move(copy);
    else
        params_.push_back({name, std::move(copy)});
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

}  // namespace kv::browser
