#include "standins/browser/page_host.h"

#include <cstdio>
#include <cwchar>

#include "platform/text.h"
#include "standins/browser/control_site.h"
#include "standins/browser/dispatch_call.h"
#include "standins/browser/page_address.h"

namespace kv::browser {
namespace {

std::string HexCode(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

[[noreturn]] void Fail(HRESULT hr, const std::string& what) { throw PageHostError(hr, what + " (" + HexCode(hr) + ")"); }

void Check(HRESULT hr, const std::string& what) {
    if (FAILED(hr)) Fail(hr, what);
}

std::string Narrow(std::wstring_view text) { return ToAnsi(text); }

struct TypeAttr {
    ComPtr<ITypeInfo> info;
    TYPEATTR* attr = nullptr;
    explicit TypeAttr(ITypeInfo* i) : info(i) { ThrowIfFailed(info->GetTypeAttr(&attr)); }
    ~TypeAttr() { info->ReleaseTypeAttr(attr); }
};

// The coclass type information of a control without IProvideClassInfo: through its class id and
// the type library registered for that class.
ComPtr<ITypeInfo> ClassInfoFromRegistry(IUnknown* control) {
    ComPtr<IPersist> persist;
    CLSID clsid;
    if (FAILED(control->QueryInterface(IID_PPV_ARGS(&persist))) || FAILED(persist->GetClassID(&clsid))) return {};
    wchar_t clsidText[40];
    StringFromGUID2(clsid, clsidText, 40);
    std::wstring key = std::wstring(L"CLSID\\") + clsidText + L"\\TypeLib";
    wchar_t libText[40] = {};
    DWORD size = sizeof libText;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, libText, &size) != ERROR_SUCCESS)
        return {};
    GUID libid;
    if (FAILED(CLSIDFromString(libText, &libid))) return {};
    // The class's Version entry names the library version ("1.0"); without one, any 1.x.
    WORD major = 1, minor = 0;
    wchar_t version[32] = {};
    size = sizeof version;
    std::wstring versionKey = std::wstring(L"CLSID\\") + clsidText + L"\\Version";
    if (RegGetValueW(HKEY_CLASSES_ROOT, versionKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, version, &size) ==
        ERROR_SUCCESS) {
        unsigned a = 0, b = 0;
        if (swscanf(version, L"%u.%u", &a, &b) >= 1) {
            major = static_cast<WORD>(a);
            minor = static_cast<WORD>(b);
        }
    }
    ComPtr<ITypeLib> lib;
    if (FAILED(LoadRegTypeLib(libid, major, minor, LOCALE_NEUTRAL, lib.GetAddressOf()))) return {};
    ComPtr<ITypeInfo> info;
    if (FAILED(lib->GetTypeInfoOfGuid(clsid, info.GetAddressOf()))) return {};
    return info;
}

}  // namespace

PageHost::PageHost(std::wstring_view page) : address_(NormalizePageAddress(page)) {
    container_ = kv::MakeObject<PageContainer>(address_);
    site_ = kv::MakeObject<ControlSite>(container_);
}

PageHost::~PageHost() { Close(); }

void PageHost::Create(std::wstring_view progIdOrClsid, const ParamList& params) {
    std::wstring text(progIdOrClsid);
    CLSID clsid;
    HRESULT hr = !text.empty() && text[0] == L'{' ? CLSIDFromString(text.c_str(), &clsid)
                                                  : CLSIDFromProgID(text.c_str(), &clsid);
    Check(hr, "no control class is registered as \"" + Narrow(text) + "\"");
    Create(clsid, params);
}

void PageHost::Create(const CLSID& clsid, const ParamList& params) {
    Create(
        [clsid](REFIID riid, void** ppv) { return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, ppv); },
        params);
}

void PageHost::Create(const ControlFactory& factory, const ParamList& params) {
    if (control_) Fail(E_UNEXPECTED, "the page already holds a control");
    ComPtr<IUnknown> control;
    Check(factory(IID_IUnknown, reinterpret_cast<void**>(control.GetAddressOf())), "the control could not be created");
    if (!control) Fail(E_POINTER, "the control factory gave no object");
    try {
        Site(std::move(control), params);
    } catch (...) {
        Close();
        throw;
    }
}

void PageHost::Site(ComPtr<IUnknown> control, const ParamList& params) {
    control_ = std::move(control);
    Check(control_.As(&oleObject_), "the object is not an ActiveX control (no IOleObject)");
    control_.As(&dispatch_);

    DWORD misc = 0;
    oleObject_->GetMiscStatus(DVASPECT_CONTENT, &misc);
    bool siteFirst = (misc & OLEMISC_SETCLIENTSITEFIRST) != 0;
    if (siteFirst) Check(oleObject_->SetClientSite(site_.Get()), "the control refused its client site");

    ComPtr<IPersistPropertyBag> bagPersist;
    control_.As(&bagPersist);
    if (!params.empty()) {
        if (!bagPersist) Fail(E_NOINTERFACE, "the control takes no PARAMs (no IPersistPropertyBag)");
        auto bag = kv::MakeObject<PropertyBag>(params);
        Check(bagPersist->Load(bag.Get(), nullptr), "the control could not load its PARAMs");
    } else {
        ComPtr<IPersistStreamInit> streamInit;
        if (SUCCEEDED(control_.As(&streamInit)))
            Check(streamInit->InitNew(), "the control could not initialise itself");
        else if (bagPersist)
            Check(bagPersist->InitNew(), "the control could not initialise itself");
    }
    if (!siteFirst) Check(oleObject_->SetClientSite(site_.Get()), "the control refused its client site");

    ComPtr<IConnectionPointContainer> points;
    if (SUCCEEDED(control_.As(&points)) &&
        SUCCEEDED(points->FindConnectionPoint(IID_IPropertyNotifySink, notifyPoint_.point.GetAddressOf()))) {
        notifySink_ = kv::MakeObject<PropertyNotifySink>([this](DISPID id) { propertyChanges_.push_back(id); });
        if (FAILED(notifyPoint_.point->Advise(notifySink_.Get(), &notifyPoint_.cookie))) notifyPoint_ = {};
    }

    FindEventInfo();
    IID source;
    if (FindDefaultSource(&source)) ConnectEvents(&source);
}

void PageHost::FindEventInfo() {
    ComPtr<IProvideClassInfo> provide;
    if (SUCCEEDED(control_.As(&provide))) provide->GetClassInfo(classInfo_.ReleaseAndGetAddressOf());
    if (!classInfo_) classInfo_ = ClassInfoFromRegistry(control_.Get());
}

bool PageHost::FindDefaultSource(IID* iid) {
    if (classInfo_) {
        TypeAttr cls(classInfo_.Get());
        for (UINT i = 0; i < cls.attr->cImplTypes; ++i) {
            INT flags = 0;
            if (FAILED(classInfo_->GetImplTypeFlags(i, &flags))) continue;
            if ((flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) != (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE))
                continue;
            HREFTYPE ref;
            ComPtr<ITypeInfo> info;
            if (FAILED(classInfo_->GetRefTypeOfImplType(i, &ref)) ||
                FAILED(classInfo_->GetRefTypeInfo(ref, info.GetAddressOf())))
                continue;
            *iid = TypeAttr(info.Get()).attr->guid;
            return true;
        }
    }
    // Without type information: the first connection point that is not for property changes.
    ComPtr<IConnectionPointContainer> points;
    ComPtr<IEnumConnectionPoints> all;
    if (FAILED(control_.As(&points)) || FAILED(points->EnumConnectionPoints(all.GetAddressOf())) || !all) return false;
    ComPtr<IConnectionPoint> point;
    while (all->Next(1, point.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        IID found;
        if (SUCCEEDED(point->GetConnectionInterface(&found)) && !IsEqualIID(found, IID_IPropertyNotifySink)) {
            *iid = found;
            return true;
        }
    }
    return false;
}

void PageHost::ConnectEvents(const IID* source) {
    if (!control_) Fail(E_UNEXPECTED, "the page holds no control");
    IID iid;
    if (source)
        iid = *source;
    else if (!FindDefaultSource(&iid))
        Fail(CONNECT_E_NOCONNECTION, "the control names no default event source");
    if (eventsPoint_.point) {
        eventsPoint_.point->Unadvise(eventsPoint_.cookie);
        eventsPoint_ = {};
        eventSink_->Detach();
    }
    ComPtr<IConnectionPointContainer> points;
    Check(control_.As(&points), "the control has no connection points");
    Check(points->FindConnectionPoint(iid, eventsPoint_.point.GetAddressOf()), "the control has no such event source");
    eventSink_ = kv::MakeObject<EventSink>(iid, [this](DISPID id, DISPPARAMS* params, VARIANT*) {
        return OnEventInvoke(id, params);
    });
    HRESULT hr = eventsPoint_.point->Advise(eventSink_.Get(), &eventsPoint_.cookie);
    if (FAILED(hr)) {
        eventsPoint_ = {};
        Fail(hr, "the control refused the page's event sink");
    }
    sourceIid_ = iid;
    sourceInfo_.Reset();
    if (classInfo_) {
        ComPtr<ITypeLib> lib;
        UINT index;
        if (SUCCEEDED(classInfo_->GetContainingTypeLib(lib.GetAddressOf(), &index)))
            lib->GetTypeInfoOfGuid(iid, sourceInfo_.GetAddressOf());
    }
}

std::wstring PageHost::EventName(DISPID dispid) const {
    if (sourceInfo_) {
        Bstr name;
        UINT count = 0;
        if (SUCCEEDED(sourceInfo_->GetNames(dispid, name.put(), 1, &count)) && count == 1) return name.str();
    }
    return L"#" + std::to_wstring(dispid);
}

HRESULT PageHost::OnEventInvoke(DISPID dispid, DISPPARAMS* params) {
    EventCall call;
    call.dispid = dispid;
    call.name = EventName(dispid);
    call.frozen = frozen_ > 0;
    UINT count = params ? params->cArgs : 0;
    for (UINT i = count; i-- > 0;) {
        Variant arg;
        if (FAILED(VariantCopyInd(arg.get(), &params->rgvarg[i]))) arg.Clear();
        call.args.push_back(std::move(arg));
    }
    events_.push_back(call);
    if (printer_) {
        std::wstring line = call.name + L"(";
        for (size_t i = 0; i < call.args.size(); ++i) line += (i ? L", " : L"") + FormatValue(*call.args[i].get());
        printer_(line + L")");
    }

    auto run = [&](const EventHandler& handler) {
        try {
            handler(*this, call);
        } catch (...) {
            handlerErrors_.push_back(call.name + L": " + ToWide(HexCode(CaughtHResult())));
        }
    };
    // Copies: a handler may register more handlers.
    auto byId = idHandlers_;
    for (const auto& [id, handler] : byId)
        if (id == dispid) run(handler);
    auto byName = nameHandlers_;
    for (const auto& [name, handler] : byName)
        if (EqualsNoCase(name, call.name)) run(handler);
    return S_OK;
}

void PageHost::OnEvent(DISPID dispid, EventHandler handler) { idHandlers_.emplace_back(dispid, std::move(handler)); }

void PageHost::OnEvent(std::wstring_view name, EventHandler handler) {
    // A name the control's event interface does not have is a mistake of the page, said at once.
    if (sourceInfo_) {
        std::wstring text(name);
        LPOLESTR names[] = {text.data()};
        MEMBERID id;
        if (FAILED(sourceInfo_->GetIDsOfNames(names, 1, &id)))
            Fail(DISP_E_UNKNOWNNAME, "the control has no event \"" + Narrow(name) + "\"");
    }
    nameHandlers_.emplace_back(std::wstring(name), std::move(handler));
}

std::wstring PageHost::FormatValue(const VARIANT& value) {
    switch (value.vt) {
    case VT_EMPTY: return L"empty";
    case VT_NULL: return L"null";
    case VT_BOOL: return value.boolVal ? L"true" : L"false";
    case VT_DISPATCH:
    case VT_UNKNOWN: return value.punkVal ? L"[object]" : L"null";
    case VT_BSTR: return L"\"" + std::wstring(value.bstrVal ? value.bstrVal : L"", SysStringLen(value.bstrVal)) + L"\"";
    default: break;
    }
    Variant text;
    if (FAILED(VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&value), LOCALE_INVARIANT, 0, VT_BSTR)))
        return L"[type " + std::to_wstring(value.vt) + L"]";
    return std::wstring(text->bstrVal, SysStringLen(text->bstrVal));
}

void PageHost::PrintEvents(LineWriter writer) {
    if (!writer)
        writer = [](const std::wstring& line) {
            std::fputs(ToAnsi(line + L"\n").c_str(), stdout);
            std::fflush(stdout);
        };
    printer_ = std::move(writer);
}

void PageHost::AnswerFilter(FilterCondition condition, std::wstring_view eventName) {
    OnEvent(eventName, [condition = std::move(condition)](PageHost& page, const EventCall& e) {
        if (e.args.empty() || e.args[0].vt() != VT_DISPATCH || !e.args[0]->pdispVal) ThrowHr(E_INVALIDARG);
        IDispatch* item = e.args[0]->pdispVal;
        DISPID id;
        LPOLESTR names[] = {const_cast<LPOLESTR>(condition.column.c_str())};
        Variant cell;
        // A row without the column does not satisfy the condition.
        if (SUCCEEDED(item->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) {
            DISPPARAMS none = {};
            ThrowIfFailed(item->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, cell.put(),
                                       nullptr, nullptr));
            page.Put(L"returnValue", Variant::Bool(Satisfies(condition, *cell.get())));
        } else {
            page.Put(L"returnValue", Variant::Bool(false));
        }
    });
}

HRESULT PageHost::FreezeEvents(bool freeze) {
    ComPtr<IOleControl> control;
    if (!control_ || FAILED(control_.As(&control))) return E_NOINTERFACE;
    // Counted before the call: a control delivers its held events from inside FreezeEvents(FALSE).
    int before = frozen_;
    frozen_ = freeze ? frozen_ + 1 : (frozen_ > 0 ? frozen_ - 1 : 0);
    HRESULT hr = control->FreezeEvents(freeze ? TRUE : FALSE);
    if (FAILED(hr)) frozen_ = before;
    return hr;
}

DataBinding& PageHost::Bind(OSPFORMAT format) {
    if (!dispatch_) Fail(E_NOINTERFACE, "the control has no IDispatch to bind to");
    binding_.reset();
    binding_ = std::make_unique<DataBinding>(dispatch_, format);
    try {
        binding_->Bind();
    } catch (const HResultError& e) {
        Fail(e.Code(), "the page could not bind the control's data");
    }
    return *binding_;
}

DISPID PageHost::DispIdOf(std::wstring_view name) {
    if (!dispatch_) Fail(E_NOINTERFACE, "the control has no IDispatch");
    std::wstring text(name);
    LPOLESTR names[] = {text.data()};
    DISPID id;
    Check(dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id),
          "the control has no member \"" + Narrow(name) + "\"");
    return id;
}

HRESULT PageHost::TryInvoke(std::wstring_view name, WORD flags, const std::vector<Variant>& args, Variant* result) {
    if (!dispatch_) return E_NOINTERFACE;
    return InvokeByName(dispatch_.Get(), name, flags, args, result ? result->put() : nullptr);
}

Variant PageHost::Get(std::wstring_view name) {
    DispIdOf(name);
    Variant result;
    Check(TryInvoke(name, DISPATCH_PROPERTYGET, {}, &result), "reading \"" + Narrow(name) + "\" failed");
    return result;
}

void PageHost::Put(std::wstring_view name, const Variant& value) {
    DispIdOf(name);
    Check(TryInvoke(name, DISPATCH_PROPERTYPUT, {value}, nullptr), "setting \"" + Narrow(name) + "\" failed");
}

Variant PageHost::Call(std::wstring_view name, const std::vector<Variant>& args) {
    DispIdOf(name);
    Variant result;
    Check(TryInvoke(name, DISPATCH_METHOD, args, &result), "calling \"" + Narrow(name) + "\" failed");
    return result;
}

ParamList PageHost::SaveParams() {
    ComPtr<IPersistPropertyBag> persist;
    if (!control_ || FAILED(control_.As(&persist))) Fail(E_NOINTERFACE, "the control keeps no PARAMs (no IPersistPropertyBag)");
    auto bag = kv::MakeObject<PropertyBag>();
    Check(persist->Save(bag.Get(), TRUE, TRUE), "the control could not save its properties");
    return bag->Params();
}

void PageHost::Close() noexcept {
    binding_.reset();
    if (eventsPoint_.point) eventsPoint_.point->Unadvise(eventsPoint_.cookie);
    if (notifyPoint_.point) notifyPoint_.point->Unadvise(notifyPoint_.cookie);
    eventsPoint_ = {};
    notifyPoint_ = {};
    if (eventSink_) eventSink_->Detach();
    if (notifySink_) notifySink_->Detach();
    eventSink_.Reset();
    notifySink_.Reset();
    if (oleObject_) {
        oleObject_->SetClientSite(nullptr);
        oleObject_->Close(OLECLOSE_NOSAVE);
    }
    oleObject_.Reset();
    dispatch_.Reset();
    sourceInfo_.Reset();
    classInfo_.Reset();
    control_.Reset();
    sourceIid_ = IID_NULL;
    frozen_ = 0;
}

}  // namespace kv::browser
