#include "standins/browser/control_site.h"

#include "platform/raii.h"

namespace kv::browser {

PageContainer::PageContainer(const std::wstring& address)
    : document_(NewPageDocument(static_cast<IUnknown*>(static_cast<IOleContainer*>(this)), address.c_str())) {}

PageContainer::~PageContainer() { DeletePageDocument(document_); }

void* PageContainer::QueryInterfaceExtra(REFIID riid) noexcept {
    void* p = PageDocumentInterface(document_, riid);
    if (p) Release();  // the table hands out un-AddRef'd pointers; QueryInterface adds the one reference
    return p;
}

STDMETHODIMP PageContainer::ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP PageContainer::EnumObjects(DWORD, IEnumUnknown** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP PageContainer::LockContainer(BOOL) { return S_OK; }

STDMETHODIMP ControlSite::SaveObject() { return S_OK; }
STDMETHODIMP ControlSite::GetMoniker(DWORD, DWORD, IMoniker** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP ControlSite::GetContainer(IOleContainer** container) {
    if (!container) return E_POINTER;
    *container = container_.Get();
    (*container)->AddRef();
    return S_OK;
}
STDMETHODIMP ControlSite::ShowObject() { return S_OK; }
STDMETHODIMP ControlSite::OnShowWindow(BOOL) { return S_OK; }
STDMETHODIMP ControlSite::RequestNewObjectLayout() { return E_NOTIMPL; }

STDMETHODIMP ControlSite::OnControlInfoChanged() { return S_OK; }
STDMETHODIMP ControlSite::LockInPlaceActive(BOOL) { return S_OK; }
STDMETHODIMP ControlSite::GetExtendedControl(IDispatch** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP ControlSite::TransformCoords(POINTL*, POINTF*, DWORD) { return E_NOTIMPL; }
STDMETHODIMP ControlSite::TranslateAccelerator(MSG*, DWORD) { return S_FALSE; }
STDMETHODIMP ControlSite::OnFocus(BOOL) { return S_OK; }
STDMETHODIMP ControlSite::ShowPropertyFrame() { return E_NOTIMPL; }

STDMETHODIMP ControlSite::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}
STDMETHODIMP ControlSite::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info) *info = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP ControlSite::GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) {
    for (UINT i = 0; ids && i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

STDMETHODIMP ControlSite::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                 UINT*) try {
    if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    Variant value;
    switch (id) {
    case DISPID_AMBIENT_USERMODE: value = Variant::Bool(true); break;
    case DISPID_AMBIENT_UIDEAD:
    case DISPID_AMBIENT_SHOWGRABHANDLES:
    case DISPID_AMBIENT_SHOWHATCHING:
    case DISPID_AMBIENT_MESSAGEREFLECT: value = Variant::Bool(false); break;
    case DISPID_AMBIENT_LOCALEID: value = Variant::I4(static_cast<LONG>(GetUserDefaultLCID())); break;
    case DISPID_AMBIENT_DISPLAYNAME: value = Variant::String(L"KvPage"); break;
    default: return DISP_E_MEMBERNOTFOUND;
    }
    if (!result) return E_INVALIDARG;
    VariantInit(result);
    value.Detach(result);
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

}  // namespace kv::browser
