// The document and its location are written against the C form of the interfaces, so that the
// hundred or so members they do not implement can be filled in by NotImplementedVtable.
#define CINTERFACE
#include <windows.h>
#include <ole2.h>
#include <mshtml.h>
#include <mshtmdid.h>

#include <new>

#include "standins/browser/html_document.h"
#include "standins/browser/not_implemented_vtable.h"

namespace kv {
void ModuleAddLock() noexcept;
void ModuleReleaseLock() noexcept;
}  // namespace kv

namespace kv::browser {

struct PageDocument {
    IHTMLDocument2 iface;
    IUnknown* outer;
    BSTR href;
};

namespace {

struct PageLocation {
    IHTMLLocation iface;
    LONG refs;
    BSTR href;
};

PageDocument* AsDocument(IHTMLDocument2* p) { return reinterpret_cast<PageDocument*>(p); }
PageLocation* AsLocation(IHTMLLocation* p) { return reinterpret_cast<PageLocation*>(p); }

HRESULT CopyText(BSTR text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(text, SysStringLen(text));
    return *out ? S_OK : E_OUTOFMEMORY;
}

bool NameIs(const wchar_t* name, const wchar_t* wanted) { return name && lstrcmpiW(name, wanted) == 0; }

// --- the location ---

HRESULT STDMETHODCALLTYPE LocationQueryInterface(IHTMLLocation* self, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) && !IsEqualIID(riid, IID_IHTMLLocation))
        return E_NOINTERFACE;
    *ppv = self;
    InterlockedIncrement(&AsLocation(self)->refs);
    return S_OK;
}
ULONG STDMETHODCALLTYPE LocationAddRef(IHTMLLocation* self) {
    return static_cast<ULONG>(InterlockedIncrement(&AsLocation(self)->refs));
}
ULONG STDMETHODCALLTYPE LocationRelease(IHTMLLocation* self) {
    PageLocation* location = AsLocation(self);
    LONG n = InterlockedDecrement(&location->refs);
    if (n == 0) {
        SysFreeString(location->href);
        delete location;
        ModuleReleaseLock();
    }
    return static_cast<ULONG>(n);
}
HRESULT STDMETHODCALLTYPE LocationTypeInfoCount(IHTMLLocation*, UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE LocationIdsOfNames(IHTMLLocation*, REFIID, LPOLESTR* names, UINT count, LCID,
                                             DISPID* ids) {
    if (!names || !ids || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (NameIs(names[0], L"href") || NameIs(names[0], L"toString")) {
        ids[0] = DISPID_IHTMLLOCATION_HREF;
        return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    }
    return DISP_E_UNKNOWNNAME;
}
HRESULT STDMETHODCALLTYPE LocationInvoke(IHTMLLocation* self, DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                         VARIANT* result, EXCEPINFO*, UINT*) {
    if (id != DISPID_IHTMLLOCATION_HREF) return DISP_E_MEMBERNOTFOUND;
    if (!(flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD))) return DISP_E_MEMBERNOTFOUND;
    if (!result) return E_INVALIDARG;
    VariantInit(result);
    HRESULT hr = CopyText(AsLocation(self)->href, &result->bstrVal);
    if (SUCCEEDED(hr)) result->vt = VT_BSTR;
    return hr;
}
HRESULT STDMETHODCALLTYPE LocationHref(IHTMLLocation* self, BSTR* out) { return CopyText(AsLocation(self)->href, out); }

const IHTMLLocationVtbl* LocationTable() {
    static const IHTMLLocationVtbl table = [] {
        auto t = NotImplementedVtable<IHTMLLocationVtbl>();
        t.QueryInterface = LocationQueryInterface;
        t.AddRef = LocationAddRef;
        t.Release = LocationRelease;
        t.GetTypeInfoCount = LocationTypeInfoCount;
        t.GetIDsOfNames = LocationIdsOfNames;
        t.Invoke = LocationInvoke;
        t.get_href = LocationHref;
        t.toString = LocationHref;
        return t;
    }();
    return &table;
}

HRESULT NewLocation(BSTR href, IHTMLLocation** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    auto* location = new (std::nothrow) PageLocation{{const_cast<IHTMLLocationVtbl*>(LocationTable())}, 1, nullptr};
    if (!location) return E_OUTOFMEMORY;
    ModuleAddLock();
    if (FAILED(CopyText(href, &location->href))) {
        LocationRelease(&location->iface);
        return E_OUTOFMEMORY;
    }
    *out = &location->iface;
    return S_OK;
}

// --- the document ---

HRESULT STDMETHODCALLTYPE DocumentQueryInterface(IHTMLDocument2* self, REFIID riid, void** ppv) {
    IUnknown* outer = AsDocument(self)->outer;
    return outer->lpVtbl->QueryInterface(outer, riid, ppv);
}
ULONG STDMETHODCALLTYPE DocumentAddRef(IHTMLDocument2* self) {
    IUnknown* outer = AsDocument(self)->outer;
    return outer->lpVtbl->AddRef(outer);
}
ULONG STDMETHODCALLTYPE DocumentRelease(IHTMLDocument2* self) {
    IUnknown* outer = AsDocument(self)->outer;
    return outer->lpVtbl->Release(outer);
}
HRESULT STDMETHODCALLTYPE DocumentTypeInfoCount(IHTMLDocument2*, UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE DocumentIdsOfNames(IHTMLDocument2*, REFIID, LPOLESTR* names, UINT count, LCID,
                                             DISPID* ids) {
    if (!names || !ids || count == 0) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (NameIs(names[0], L"location"))
        ids[0] = DISPID_IHTMLDOCUMENT2_LOCATION;
    else if (NameIs(names[0], L"URL"))
        ids[0] = DISPID_IHTMLDOCUMENT2_URL;
    else
        return DISP_E_UNKNOWNNAME;
    return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}
HRESULT STDMETHODCALLTYPE DocumentLocation(IHTMLDocument2* self, IHTMLLocation** out) {
    return NewLocation(AsDocument(self)->href, out);
}
HRESULT STDMETHODCALLTYPE DocumentUrl(IHTMLDocument2* self, BSTR* out) { return CopyText(AsDocument(self)->href, out); }
HRESULT STDMETHODCALLTYPE DocumentInvoke(IHTMLDocument2* self, DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                         VARIANT* result, EXCEPINFO*, UINT*) {
    if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    if (id != DISPID_IHTMLDOCUMENT2_LOCATION && id != DISPID_IHTMLDOCUMENT2_URL) return DISP_E_MEMBERNOTFOUND;
    if (!result) return E_INVALIDARG;
    VariantInit(result);
    if (id == DISPID_IHTMLDOCUMENT2_URL) {
        HRESULT hr = DocumentUrl(self, &result->bstrVal);
        if (SUCCEEDED(hr)) result->vt = VT_BSTR;
        return hr;
    }
    IHTMLLocation* location = nullptr;
    HRESULT hr = DocumentLocation(self, &location);
    if (SUCCEEDED(hr)) {
        result->vt = VT_DISPATCH;
        result->pdispVal = reinterpret_cast<IDispatch*>(location);
    }
    return hr;
}

const IHTMLDocument2Vtbl* DocumentTable() {
    static const IHTMLDocument2Vtbl table = [] {
        auto t = NotImplementedVtable<IHTMLDocument2Vtbl>();
        t.QueryInterface = DocumentQueryInterface;
        t.AddRef = DocumentAddRef;
        t.Release = DocumentRelease;
        t.GetTypeInfoCount = DocumentTypeInfoCount;
        t.GetIDsOfNames = DocumentIdsOfNames;
        t.Invoke = DocumentInvoke;
        t.get_location = DocumentLocation;
        t.get_URL = DocumentUrl;
        return t;
    }();
    return &table;
}

}  // namespace

PageDocument* NewPageDocument(void* outer, const wchar_t* href) {
    BSTR text = SysAllocString(href ? href : L"");
    if (!text) throw std::bad_alloc();
    return new PageDocument{{const_cast<IHTMLDocument2Vtbl*>(DocumentTable())}, static_cast<IUnknown*>(outer), text};
}

void DeletePageDocument(PageDocument* document) noexcept {
    if (!document) return;
    SysFreeString(document->href);
    delete document;
}

void* PageDocumentInterface(PageDocument* document, REFIID riid) noexcept {
    if (!document) return nullptr;
    if (!IsEqualIID(riid, IID_IHTMLDocument2) && !IsEqualIID(riid, IID_IHTMLDocument) &&
        !IsEqualIID(riid, IID_IDispatch))
        return nullptr;
    DocumentAddRef(&document->iface);
    return &document->iface;
}

}  // namespace kv::browser
