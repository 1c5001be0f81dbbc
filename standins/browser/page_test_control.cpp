#include "standins/browser/page_test_control.h"

#include <mshtml.h>

#include "platform/text.h"

namespace kv::browser::pagetest {

class ControlConnectionPoint final : public ComObject<ControlConnectionPoint, IConnectionPoint> {
public:
    ControlConnectionPoint(IConnectionPointContainer* owner, const IID& iid, std::wstring name,
                           std::vector<std::wstring>* log)
        : owner_(owner), iid_(iid), name_(std::move(name)), log_(log) {}

    std::vector<std::pair<DWORD, ComPtr<IUnknown>>> sinks;

    STDMETHODIMP GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = iid_;
        return S_OK;
    }
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** owner) override {
        if (!owner) return E_POINTER;
        *owner = owner_;
        owner_->AddRef();
        return S_OK;
    }
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override {
        if (!sink || !cookie) return E_POINTER;
        ComPtr<IUnknown> typed;
        if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(typed.GetAddressOf()))))
            return CONNECT_E_CANNOTCONNECT;
        *cookie = ++lastCookie_;
        sinks.emplace_back(*cookie, typed);
        log_->push_back(L"Advise(" + name_ + L")");
        return S_OK;
    }
    STDMETHODIMP Unadvise(DWORD cookie) override {
        for (auto it = sinks.begin(); it != sinks.end(); ++it) {
            if (it->first != cookie) continue;
            sinks.erase(it);
            log_->push_back(L"Unadvise(" + name_ + L")");
            return S_OK;
        }
        return CONNECT_E_NOCONNECTION;
    }
    STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

private:
    IConnectionPointContainer* owner_;
    IID iid_;
    std::wstring name_;
    std::vector<std::wstring>* log_;
    DWORD lastCookie_ = 0;
};

namespace {

// One row as page script sees it in OnFilter: every column a property of the same name.
class RowItem final : public ComObject<RowItem, IDispatch> {
public:
    RowItem(const std::vector<std::wstring>& columns, const std::vector<Variant>& cells)
        : columns_(columns), cells_(cells) {}

    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
        for (size_t i = 0; i < columns_.size(); ++i) {
            if (!EqualsNoCase(columns_[i], names[0])) continue;
            ids[0] = static_cast<DISPID>(i);
            return S_OK;
        }
        ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
        if (id < 0 || static_cast<size_t>(id) >= cells_.size()) return DISP_E_MEMBERNOTFOUND;
        if (!result) return E_INVALIDARG;
        return VariantCopy(result, const_cast<VARIANT*>(cells_[static_cast<size_t>(id)].get()));
    }

private:
    std::vector<std::wstring> columns_;
    std::vector<Variant> cells_;
};

}  // namespace

PageTestControl::PageTestControl() {
    IConnectionPointContainer* self = this;
    events_ = kv::MakeObject<ControlConnectionPoint>(self, DIID__PageTestControlEvents, L"events", &log);
    notify_ = kv::MakeObject<ControlConnectionPoint>(self, IID_IPropertyNotifySink, L"notify", &log);
}

PageTestControl::~PageTestControl() = default;

STDMETHODIMP PageTestControl::QueryInterface(REFIID riid, void** ppv) {
    if (noClassInfo && IsEqualIID(riid, IID_IProvideClassInfo)) {
        if (ppv) *ppv = nullptr;
        return E_NOINTERFACE;
    }
    return ComObject::QueryInterface(riid, ppv);
}

void* PageTestControl::QueryInterfaceExtra(REFIID riid) noexcept {
    if (IsEqualIID(riid, IID_IPersist)) return static_cast<IPersistPropertyBag*>(this);
    return nullptr;
}

std::wstring PageTestControl::PageAddress() {
    if (!site_) ThrowHr(E_UNEXPECTED);
    ComPtr<IOleContainer> container;
    ThrowIfFailed(site_->GetContainer(container.GetAddressOf()));
    ComPtr<IHTMLDocument2> document;
    ThrowIfFailed(container.As(&document));
    ComPtr<IHTMLLocation> location;
    ThrowIfFailed(document->get_location(location.GetAddressOf()));
    Bstr href;
    ThrowIfFailed(location->get_href(href.put()));
    return href.str();
}

void PageTestControl::Fire(DISPID id, std::vector<Variant> args) {
    if (frozen_ > 0) {
        held_.emplace_back(id, std::move(args));
        return;
    }
    std::vector<VARIANT> raw;
    for (auto it = args.rbegin(); it != args.rend(); ++it) raw.push_back(*it->get());
    DISPPARAMS params = {raw.data(), nullptr, static_cast<UINT>(raw.size()), 0};
    auto sinks = events_->sinks;
    for (auto& [cookie, sink] : sinks) {
        ComPtr<IDispatch> dispatch;
        if (SUCCEEDED(sink.As(&dispatch)))
            dispatch->Invoke(id, IID_NULL, 1024, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    }
}

void PageTestControl::SetReadyState(LONG state) {
    if (state == readyState_) return;
    readyState_ = state;
    auto sinks = notify_->sinks;
    for (auto& [cookie, sink] : sinks) {
        ComPtr<IPropertyNotifySink> notify;
        if (SUCCEEDED(sink.As(&notify))) notify->OnChanged(DISPID_READYSTATE);
    }
}

void PageTestControl::FilterRows() {
    for (size_t r = 0; r < rows.size();) {
        returnValue_.Clear();
        Fire(2, {Variant::Dispatch(kv::MakeObject<RowItem>(columns, rows[r]).Get())});
        if (returnValue_.vt() == VT_EMPTY || returnValue_.vt() == VT_NULL) {
            ++r;
            continue;
        }
        Variant keep(returnValue_);
        keep.ChangeType(VT_BOOL);
        if (keep->boolVal) {
            ++r;
            continue;
        }
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(r));
        if (listener_) listener_->deletedRows(static_cast<LONG>(r) + 1, 1);
    }
}

void PageTestControl::InsertRow(LONG position, std::vector<Variant> cells) {
    rows.insert(rows.begin() + (position - 1), std::move(cells));
    if (listener_) listener_->insertedRows(position, 1);
}

void PageTestControl::DeleteRow(LONG position) {
    rows.erase(rows.begin() + (position - 1));
    if (listener_) listener_->deletedRows(position, 1);
}

void PageTestControl::ChangeCell(LONG row, LONG column, Variant value) {
    rows[static_cast<size_t>(row - 1)][static_cast<size_t>(column - 1)] = std::move(value);
    if (listener_) listener_->cellChanged(row, column);
}

void PageTestControl::AddColumn(std::wstring name) {
    columns.push_back(std::move(name));
    for (auto& row : rows) row.emplace_back();
    if (sourceListener_) sourceListener_->dataMemberChanged(nullptr);
}

void PageTestControl::CompleteTransfer() {
    if (listener_) listener_->transferComplete(OSPXFER_COMPLETE);
}

void PageTestControl::Notify(const char* what, LONG a, LONG b) {
    if (!listener_) return;
    std::string call = what;
    if (call == "insertedRows") listener_->insertedRows(a, b);
    if (call == "deletedRows") listener_->deletedRows(a, b);
    if (call == "cellChanged") listener_->cellChanged(a, b);
}

// --- IPageTestControl ---

STDMETHODIMP PageTestControl::get_Caption(BSTR* value) try {
    *value = caption_.Copy();
    return S_OK;
} catch (...) {
    return CaughtHResult();
}
STDMETHODIMP PageTestControl::put_Caption(BSTR value) try {
    caption_ = Bstr(value ? std::wstring_view(value, SysStringLen(value)) : std::wstring_view());
    return S_OK;
} catch (...) {
    return CaughtHResult();
}
STDMETHODIMP PageTestControl::get_Count(LONG* value) {
    *value = count_;
    return S_OK;
}
STDMETHODIMP PageTestControl::put_Count(LONG value) {
    count_ = value;
    return S_OK;
}
STDMETHODIMP PageTestControl::get_Checked(VARIANT_BOOL* value) {
    *value = checked_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
STDMETHODIMP PageTestControl::put_Checked(VARIANT_BOOL value) {
    checked_ = value != VARIANT_FALSE;
    return S_OK;
}
STDMETHODIMP PageTestControl::get_returnValue(VARIANT* value) {
    VariantInit(value);
    return VariantCopy(value, returnValue_.get());
}
STDMETHODIMP PageTestControl::put_returnValue(VARIANT value) { return VariantCopy(returnValue_.put(), &value); }
STDMETHODIMP PageTestControl::get_ReadyState(LONG* value) {
    *value = readyState_;
    return S_OK;
}

STDMETHODIMP PageTestControl::msDataSourceObject(BSTR qualifier, IUnknown** source) {
    log.push_back(L"msDataSourceObject");
    *source = nullptr;
    if (FAILED(dataSourceFailure)) return dataSourceFailure;
    if (SysStringLen(qualifier) != 0) return E_INVALIDARG;
    *source = static_cast<OLEDBSimpleProvider*>(this);
    AddRef();
    return S_OK;
}
STDMETHODIMP PageTestControl::addDataSourceListener(IUnknown* listener) {
    log.push_back(L"addDataSourceListener");
    if (!listener) return E_POINTER;
    return listener->QueryInterface(__uuidof(DataSourceListener),
                                    reinterpret_cast<void**>(sourceListener_.ReleaseAndGetAddressOf()));
}

// --- IOleObject, IOleControl ---

STDMETHODIMP PageTestControl::SetClientSite(IOleClientSite* site) {
    log.push_back(site ? L"SetClientSite" : L"SetClientSite(null)");
    site_ = site;
    return S_OK;
}
STDMETHODIMP PageTestControl::GetClientSite(IOleClientSite** site) {
    *site = site_.Get();
    if (*site) (*site)->AddRef();
    return S_OK;
}
STDMETHODIMP PageTestControl::Close(DWORD) {
    log.push_back(L"Close");
    // A control lets go of the page's listeners when it closes.
    listener_.Reset();
    sourceListener_.Reset();
    return S_OK;
}
STDMETHODIMP PageTestControl::GetMiscStatus(DWORD, DWORD* status) {
    *status = OLEMISC_INVISIBLEATRUNTIME | (siteFirst ? OLEMISC_SETCLIENTSITEFIRST : 0);
    return S_OK;
}
STDMETHODIMP PageTestControl::FreezeEvents(BOOL freeze) {
    log.push_back(freeze ? L"FreezeEvents(1)" : L"FreezeEvents(0)");
    if (freeze) {
        ++frozen_;
    } else if (frozen_ > 0 && --frozen_ == 0) {
        auto held = std::move(held_);
        held_.clear();
        for (auto& [id, args] : held) Fire(id, std::move(args));
    }
    return S_OK;
}

// --- persistence ---

STDMETHODIMP PageTestControl::GetClassID(CLSID* clsid) {
    *clsid = CLSID_PageTestControl;
    return S_OK;
}
STDMETHODIMP PageTestControl::InitNew() {
    log.push_back(L"InitNew");
    return S_OK;
}
STDMETHODIMP PageTestControl::Load(IPropertyBag* bag, IErrorLog* errors) try {
    log.push_back(L"Load");
    // As a control's property map loads: each property read as its own type; a missing one
    // keeps its default, any other failure fails the load.
    auto read = [&](const wchar_t* name, VARTYPE vt, Variant* out) {
        out->put()->vt = vt;
        HRESULT hr = bag->Read(name, out->get(), errors);
        if (hr == E_INVALIDARG) return false;
        ThrowIfFailed(hr);
        return true;
    };
    Variant v;
    if (read(L"Caption", VT_BSTR, &v)) caption_ = Bstr(v->bstrVal ? v->bstrVal : L"");
    if (read(L"Count", VT_I4, &v)) count_ = v->lVal;
    if (read(L"Checked", VT_BOOL, &v)) checked_ = v->boolVal != VARIANT_FALSE;
    return S_OK;
} catch (...) {
    return CaughtHResult();
}
STDMETHODIMP PageTestControl::Save(IPropertyBag* bag, BOOL, BOOL) try {
    log.push_back(L"Save");
    Variant caption = Variant::String(caption_.view());
    Variant count = Variant::I4(count_);
    Variant checked = Variant::Bool(checked_);
    ThrowIfFailed(bag->Write(L"Caption", caption.get()));
    ThrowIfFailed(bag->Write(L"Count", count.get()));
    ThrowIfFailed(bag->Write(L"Checked", checked.get()));
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

STDMETHODIMP PageTestControl::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
    if (!point) return E_POINTER;
    *point = nullptr;
    if (IsEqualIID(riid, DIID__PageTestControlEvents))
        *point = events_.Get();
    else if (IsEqualIID(riid, IID_IPropertyNotifySink))
        *point = notify_.Get();
    else
        return CONNECT_E_NOCONNECTION;
    (*point)->AddRef();
    return S_OK;
}
STDMETHODIMP PageTestControl::GetClassInfo(ITypeInfo** info) {
    return LoadModuleTypeInfo(ThisModule(), CLSID_PageTestControl, info);
}

// --- OLEDBSimpleProvider ---

STDMETHODIMP PageTestControl::getRowCount(DBROWCOUNT* count) {
    *count = static_cast<DBROWCOUNT>(rows.size());
    return S_OK;
}
STDMETHODIMP PageTestControl::getColumnCount(DB_LORDINAL* count) {
    *count = static_cast<DB_LORDINAL>(columns.size());
    return S_OK;
}
STDMETHODIMP PageTestControl::getRWStatus(DBROWCOUNT, DB_LORDINAL, OSPRW* status) {
    *status = OSPRW_READWRITE;
    return S_OK;
}
STDMETHODIMP PageTestControl::getVariant(DBROWCOUNT row, DB_LORDINAL column, OSPFORMAT, VARIANT* value) try {
    if (row < 0 || column < 1 || row > static_cast<LONG>(rows.size()) || column > static_cast<LONG>(columns.size()))
        return E_INVALIDARG;
    VariantInit(value);
    if (row == 0) {
        Variant::String(columns[static_cast<size_t>(column - 1)]).Detach(value);
        return S_OK;
    }
    return VariantCopy(value, rows[static_cast<size_t>(row - 1)][static_cast<size_t>(column - 1)].get());
} catch (...) {
    return CaughtHResult();
}
STDMETHODIMP PageTestControl::setVariant(DBROWCOUNT row, DB_LORDINAL column, OSPFORMAT format, VARIANT value) try {
    log.push_back(L"setVariant(" + std::to_wstring(row) + L"," + std::to_wstring(column) + L"," +
                  std::to_wstring(static_cast<int>(format)) + L")");
    if (FAILED(setVariantFailure)) return setVariantFailure;
    if (row < 1 || column < 1 || row > static_cast<LONG>(rows.size()) || column > static_cast<LONG>(columns.size()))
        return E_INVALIDARG;
    ChangeCell(row, column, Variant(value));
    return S_OK;
} catch (...) {
    return CaughtHResult();
}
STDMETHODIMP PageTestControl::getLocale(BSTR* locale) {
    *locale = nullptr;
    return S_OK;
}
STDMETHODIMP PageTestControl::addOLEDBSimpleProviderListener(OLEDBSimpleProviderListener* listener) {
    log.push_back(L"addOLEDBSimpleProviderListener");
    listener_ = listener;
    return S_OK;
}
STDMETHODIMP PageTestControl::removeOLEDBSimpleProviderListener(OLEDBSimpleProviderListener* listener) {
    log.push_back(L"removeOLEDBSimpleProviderListener");
    if (listener == listener_.Get()) listener_.Reset();
    return S_OK;
}
STDMETHODIMP PageTestControl::isAsync(BOOL* async) {
    *async = FALSE;
    return S_OK;
}

}  // namespace kv::browser::pagetest
