#include "standins/browser/event_sinks.h"

namespace kv::browser {

void* EventSink::QueryInterfaceExtra(REFIID riid) noexcept {
    return IsEqualIID(riid, source_) ? static_cast<IDispatch*>(this) : nullptr;
}

STDMETHODIMP EventSink::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}
STDMETHODIMP EventSink::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP EventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) {
    for (UINT i = 0; ids && i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}
STDMETHODIMP EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                               UINT*) try {
    if (!handler_) return S_OK;
    Handler keep = handler_;  // the page may detach the sink from inside its handler
    return keep(id, params, result);
} catch (...) {
    return CaughtHResult();
}

STDMETHODIMP PropertyNotifySink::OnChanged(DISPID id) try {
    if (changed_) {
        auto keep = changed_;
        keep(id);
    }
    return S_OK;
} catch (...) {
    return CaughtHResult();
}
STDMETHODIMP PropertyNotifySink::OnRequestEdit(DISPID) { return S_OK; }

}  // namespace kv::browser
