#include "framework/control_core.h"

#include "platform/raii.h"

namespace kv {

ControlCore::ControlCore(IConnectionPointContainer* self, REFCLSID clsid, REFIID eventsIid, DWORD miscStatus)
    : clsid_(clsid),
      miscStatus_(miscStatus),
      events_(MakeObject<ConnectionPoint>(self, eventsIid)),
      propertyNotify_(MakeObject<ConnectionPoint>(self, IID_IPropertyNotifySink)) {}

ControlCore::~ControlCore() {
    events_->Detach();
    propertyNotify_->Detach();
}

LONG ControlCore::Freeze(bool freeze) noexcept {
    if (freeze)
        ++frozen_;
    else if (frozen_ > 0)
        --frozen_;
    return frozen_;
}

void ControlCore::Fire(DISPID dispid, const std::vector<VARIANT>& args) const noexcept {
    FireDispatchEvent(*events_.Get(), dispid, args);
}

void ControlCore::Changed(DISPID dispid) const noexcept { NotifyPropertyChanged(*propertyNotify_.Get(), dispid); }

HRESULT ControlCore::FindConnectionPoint(REFIID iid, IConnectionPoint** point) const noexcept {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (IsEqualIID(iid, events_->Iid()))
        *point = events_.Get();
    else if (IsEqualIID(iid, IID_IPropertyNotifySink))
        *point = propertyNotify_.Get();
    else
        return CONNECT_E_NOCONNECTION;
    (*point)->AddRef();
    return S_OK;
}

HRESULT ControlCore::EnumConnectionPoints(IEnumConnectionPoints** points) const noexcept {
    try {
        return EnumerateConnectionPoints({events_, propertyNotify_}, points);
    } catch (...) {
        return CaughtHResult();
    }
}

IOleAdviseHolder* ControlCore::AdviseHolder() {
    if (!adviseHolder_) ThrowIfFailed(CreateOleAdviseHolder(adviseHolder_.GetAddressOf()));
    return adviseHolder_.Get();
}

namespace {

HRESULT PutProperty(IDispatch* control, DISPID dispid, VARIANT* value) {
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {value, &named, 1, 1};
    return control->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                           nullptr);
}

HRESULT GetProperty(IDispatch* control, DISPID dispid, Variant& value) {
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    return control->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value.put(), nullptr,
                           nullptr);
}

// A PARAM whose text does not convert to the property's type is the page's error; any other
// failure of a put (a property without put, a channel that cannot be bound yet) is not.
bool NoSuchOperation(HRESULT hr) {
    return hr != DISP_E_TYPEMISMATCH && hr != DISP_E_OVERFLOW && hr != DISP_E_BADVARTYPE;
}

// The stream format: per property, its DISPID (LONG) and a value (VARTYPE, then the payload:
// LONG for VT_I4, SHORT for VT_BOOL, double for VT_R8 and VT_DATE, a LONG length and that many
// wide characters for VT_BSTR, nothing for VT_EMPTY). Other values are saved as VT_EMPTY. The
// list ends with DISPID 0x7FFFFFFF.
constexpr LONG kEndOfList = 0x7FFFFFFF;

void Write(IStream* s, const void* data, ULONG size) { ThrowIfFailed(s->Write(data, size, nullptr)); }
void Read(IStream* s, void* data, ULONG size) {
    ULONG got = 0;
    ThrowIfFailed(s->Read(data, size, &got));
    if (got != size) ThrowHr(STG_E_READFAULT);
}

}  // namespace

HRESULT LoadProperties(IDispatch* control, std::span<const PersistedProperty> props, IPropertyBag* bag,
                       IErrorLog* log) noexcept {
    if (!control || !bag) return E_POINTER;
    try {
        for (const auto& p : props) {
            Variant value;
            if (FAILED(bag->Read(p.name, value.get(), log))) continue;  // the page did not set it
            HRESULT hr = PutProperty(control, p.dispid, value.get());
            if (FAILED(hr) && !NoSuchOperation(hr)) return hr;
        }
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
}

HRESULT SaveProperties(IDispatch* control, std::span<const PersistedProperty> props, IPropertyBag* bag) noexcept {
    if (!control || !bag) return E_POINTER;
    try {
        for (const auto& p : props) {
            Variant value;
            if (FAILED(GetProperty(control, p.dispid, value))) continue;
            ThrowIfFailed(bag->Write(p.name, value.get()));
        }
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
}

HRESULT SaveProperties(IDispatch* control, std::span<const PersistedProperty> props, IStream* stream) noexcept {
    if (!control || !stream) return E_POINTER;
    try {
        for (const auto& p : props) {
            Variant value;
            if (FAILED(GetProperty(control, p.dispid, value))) continue;
            LONG id = p.dispid;
            Write(stream, &id, sizeof(id));
            VARTYPE vt = value.vt();
            switch (vt) {
                case VT_I4: case VT_BOOL: case VT_R8: case VT_DATE: case VT_BSTR: break;
                default: vt = VT_EMPTY;
            }
            Write(stream, &vt, sizeof(vt));
            if (vt == VT_I4) Write(stream, &value->lVal, sizeof(LONG));
            if (vt == VT_BOOL) Write(stream, &value->boolVal, sizeof(VARIANT_BOOL));
            if (vt == VT_R8 || vt == VT_DATE) Write(stream, &value->dblVal, sizeof(double));
            if (vt == VT_BSTR) {
                LONG n = static_cast<LONG>(SysStringLen(value->bstrVal));
                Write(stream, &n, sizeof(n));
                if (n) Write(stream, value->bstrVal, static_cast<ULONG>(n) * sizeof(wchar_t));
            }
        }
        Write(stream, &kEndOfList, sizeof(kEndOfList));
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
}

HRESULT LoadProperties(IDispatch* control, std::span<const PersistedProperty> props, IStream* stream) noexcept {
    if (!control || !stream) return E_POINTER;
    try {
        for (;;) {
            LONG id;
            Read(stream, &id, sizeof(id));
            if (id == kEndOfList) return S_OK;
            VARTYPE vt;
            Read(stream, &vt, sizeof(vt));
            Variant value;
            if (vt == VT_I4) {
                value = Variant::I4(0);
                Read(stream, &value->lVal, sizeof(LONG));
            } else if (vt == VT_BOOL) {
                value = Variant::Bool(false);
                Read(stream, &value->boolVal, sizeof(VARIANT_BOOL));
            } else if (vt == VT_R8 || vt == VT_DATE) {
                value->vt = vt;
                Read(stream, &value->dblVal, sizeof(double));
            } else if (vt == VT_BSTR) {
                LONG n;
                Read(stream, &n, sizeof(n));
                if (n < 0 || n > 0x1000000) ThrowHr(STG_E_READFAULT);
                std::wstring text(static_cast<size_t>(n), L'\0');
                if (n) Read(stream, text.data(), static_cast<ULONG>(n) * sizeof(wchar_t));
                value = Variant::String(text);
            } else if (vt != VT_EMPTY) {
                ThrowHr(STG_E_READFAULT);
            }
            bool known = false;
            for (const auto& p : props) known = known || p.dispid == id;
            if (!known) continue;
            HRESULT hr = PutProperty(control, id, value.get());
            if (FAILED(hr) && !NoSuchOperation(hr)) return hr;
        }
    } catch (...) {
        return CaughtHResult();
    }
}

}  // namespace kv
