// The property bag a page hands to a control: the PARAM elements of its OBJECT tag, in order.
// Names are matched without regard to case, as HTML does. Read converts the stored value to the
// type the control asks for (VT_EMPTY: as stored), Write replaces a value of the same name or
// appends one. Used on the page's thread only.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/com_object.h"
#include "platform/raii.h"

namespace kv::browser {

struct Param {
    std::wstring name;
    Variant value;
};
using ParamList = std::vector<Param>;

// A PARAM as a page writes it: a name and a text value.
Param TextParam(std::wstring name, std::wstring_view value);

// The value of a saved property as the text a page would write in its PARAM.
std::wstring ParamText(const Param& param);

class PropertyBag final : public ComObject<PropertyBag, IPropertyBag> {
public:
    explicit PropertyBag(ParamList params = {}) : params_(std::move(params)) {}

    const ParamList& Params() const noexcept { return params_; }
    // The names the control asked for, in order (found or not).
    const std::vector<std::wstring>& NamesRead() const noexcept { return namesRead_; }

    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog* log) override;
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override;

private:
    Param* Find(const wchar_t* name);

    ParamList params_;
    std::vector<std::wstring> namesRead_;
};

}  // namespace kv::browser
