#include "standins/browser/data_binding.h"

#include <cwchar>

#include "platform/text.h"
#include "standins/browser/dispatch_call.h"

namespace kv::browser {

// The binding's face towards the control: both listener interfaces, forwarding to the binding
// while it lives (the control may keep the listener longer than the binding).
class BindingListener final
    : public ComObject<BindingListener, DataSourceListener, OLEDBSimpleProviderListener> {
public:
    explicit BindingListener(DataBinding* binding) : binding_(binding) {}
    void Detach() noexcept { binding_ = nullptr; }

    // DataSourceListener
    STDMETHODIMP dataMemberChanged(BSTR member) override {
        return Forward(L"dataMemberChanged" + Member(member), [&] { binding_->OnDataMemberChanged(); });
    }
    STDMETHODIMP dataMemberAdded(BSTR member) override { return Forward(L"dataMemberAdded" + Member(member)); }
    STDMETHODIMP dataMemberRemoved(BSTR member) override { return Forward(L"dataMemberRemoved" + Member(member)); }

    // OLEDBSimpleProviderListener
    STDMETHODIMP aboutToChangeCell(DBROWCOUNT row, DB_LORDINAL column) override {
        return Forward(Call(L"aboutToChangeCell", row, column));
    }
    STDMETHODIMP cellChanged(DBROWCOUNT row, DB_LORDINAL column) override {
        return Forward(Call(L"cellChanged", row, column), [&] { binding_->OnCellChanged(row, column); });
    }
    STDMETHODIMP aboutToDeleteRows(DBROWCOUNT row, DBROWCOUNT count) override {
        return Forward(Call(L"aboutToDeleteRows", row, count));
    }
    STDMETHODIMP deletedRows(DBROWCOUNT row, DBROWCOUNT count) override {
        return Forward(Call(L"deletedRows", row, count), [&] { binding_->OnDeletedRows(row, count); });
    }
    STDMETHODIMP aboutToInsertRows(DBROWCOUNT row, DBROWCOUNT count) override {
        return Forward(Call(L"aboutToInsertRows", row, count));
    }
    STDMETHODIMP insertedRows(DBROWCOUNT row, DBROWCOUNT count) override {
        return Forward(Call(L"insertedRows", row, count), [&] { binding_->OnInsertedRows(row, count); });
    }
    STDMETHODIMP rowsAvailable(DBROWCOUNT row, DBROWCOUNT count) override {
        return Forward(Call(L"rowsAvailable", row, count), [&] { binding_->OnTableChanged(); });
    }
    STDMETHODIMP transferComplete(OSPXFER xfer) override {
        return Forward(L"transferComplete(" + std::to_wstring(static_cast<int>(xfer)) + L")", [&] {
            if (xfer == OSPXFER_COMPLETE) binding_->OnTableChanged();
        });
    }

private:
    static std::wstring Member(BSTR member) {
        return member ? L"(\"" + std::wstring(member, SysStringLen(member)) + L"\")" : L"()";
    }
    static std::wstring Call(const wchar_t* name, LONG a, LONG b) {
        return std::wstring(name) + L"(" + std::to_wstring(a) + L"," + std::to_wstring(b) + L")";
    }
    template <class F = void (*)()>
    HRESULT Forward(std::wstring call, F&& follow = [] {}) noexcept {
        if (!binding_) return S_OK;
        try {
            binding_->Record(std::move(call));
            follow();
        } catch (...) {
            // The binding keeps going with the rest of the page; the failure is for the test to see.
            HRESULT hr = CaughtHResult();
            wchar_t text[64];
            swprintf(text, 64, L"0x%08lX while following %ls", static_cast<unsigned long>(hr),
                     binding_->calls_.back().c_str());
            binding_->Error(text);
        }
        return S_OK;
    }

    DataBinding* binding_;
};

namespace {

std::wstring HrText(HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

}  // namespace

DataBinding::DataBinding(ComPtr<IDispatch> control, OSPFORMAT format)
    : control_(std::move(control)), format_(format), listener_(kv::MakeObject<BindingListener>(this)) {}

DataBinding::~DataBinding() {
    Unbind();
    listener_->Detach();
}

void DataBinding::AcquireProvider() {
    ++acquiring_;
    struct Leave {
        int& n;
        ~Leave() { --n; }
    } leave{acquiring_};

    Variant qualifier = Variant::String(L"");
    Variant source;
    Record(L"msDataSourceObject(\"\")");
    HRESULT hr = InvokeByName(control_.Get(), L"msDataSourceObject", DISPATCH_METHOD, {qualifier}, source.get(), -3900);
    if (FAILED(hr)) {
        Record(L"msDataSourceObject failed " + HrText(hr));
        ThrowHr(hr);
    }
    if ((source.vt() != VT_UNKNOWN && source.vt() != VT_DISPATCH) || !source->punkVal) {
        Record(L"msDataSourceObject gave no object");
        ThrowHr(E_NOINTERFACE);
    }

    Variant listener = Variant::Unknown(static_cast<DataSourceListener*>(listener_.Get()));
    Record(L"addDataSourceListener");
    hr = InvokeByName(control_.Get(), L"addDataSourceListener", DISPATCH_METHOD, {listener}, nullptr, -3901);
    if (FAILED(hr)) {
        Record(L"addDataSourceListener failed " + HrText(hr));
        ThrowHr(hr);
    }

    ComPtr<OLEDBSimpleProvider> provider;
    hr = source->punkVal->QueryInterface(__uuidof(OLEDBSimpleProvider), reinterpret_cast<void**>(provider.GetAddressOf()));
    if (FAILED(hr)) {
        Record(L"OLEDBSimpleProvider not supported " + HrText(hr));
        ThrowHr(hr);
    }
    if (provider_ && provider_.Get() != provider.Get()) {
        Record(L"removeOLEDBSimpleProviderListener");
        provider_->removeOLEDBSimpleProviderListener(listener_.Get());
    }
    provider_ = provider;
    Record(L"addOLEDBSimpleProviderListener");
    hr = provider_->addOLEDBSimpleProviderListener(listener_.Get());
    if (FAILED(hr)) {
        Record(L"addOLEDBSimpleProviderListener failed " + HrText(hr));
        ThrowHr(hr);
    }
}

void DataBinding::Bind() {
    AcquireProvider();
    Reload();
}

void DataBinding::Unbind() noexcept {
    if (!provider_) return;
    Record(L"removeOLEDBSimpleProviderListener");
    provider_->removeOLEDBSimpleProviderListener(listener_.Get());
    provider_.Reset();
}

bool DataBinding::ReadRow(LONG row, std::vector<Variant>& into, size_t at) {
    const unsigned reloads = reloads_;
    for (LONG c = 1; c <= columns_; ++c) {
        // Read into a local: the provider may call back and reshape the mirror meanwhile.
        Variant cell;
        HRESULT hr = provider_->getVariant(row, c, format_, cell.put());
        if (FAILED(hr)) {
            cell.Clear();
            cell->vt = VT_ERROR;
            cell->scode = hr;
        }
        if (reloads_ != reloads) return false;  // a nested reload replaced the mirror
        into[at + static_cast<size_t>(c - 1)] = std::move(cell);
    }
    return true;
}

size_t DataBinding::TakeSlot() {
    if (!freeSlots_.empty()) {
        size_t slot = freeSlots_.back();
        freeSlots_.pop_back();
        return slot;
    }
    size_t slot = cells_.size() / static_cast<size_t>(columns_);
    cells_.resize(cells_.size() + static_cast<size_t>(columns_));
    return slot;
}

void DataBinding::Reload() {
    if (!provider_ || acquiring_) return;
    DBROWCOUNT rows = 0;
    DB_LORDINAL columns = 0;
    ThrowIfFailed(provider_->getRowCount(&rows));
    ThrowIfFailed(provider_->getColumnCount(&columns));
    Record(L"getRowCount=" + std::to_wstring(rows) + L" getColumnCount=" + std::to_wstring(columns));
    if (rows < 0 || columns < 0) {
        Error(L"negative table size");
        rows = columns = 0;
    }
    const unsigned reloads = ++reloads_;
    columns_ = columns;
    freeSlots_.clear();
    slots_.clear();
    // Sized once: reading the rows then allocates only the cells' own values. A row joins the
    // mirror when it has been read.
    cells_.clear();
    cells_.resize(static_cast<size_t>(rows + 1) * static_cast<size_t>(columns));
    slots_.reserve(static_cast<size_t>(rows) + 1);
    for (LONG r = 0; r <= rows; ++r) {
        if (!ReadRow(r, cells_, static_cast<size_t>(r) * static_cast<size_t>(columns)) || reloads_ != reloads) return;
        slots_.push_back(static_cast<size_t>(r));
    }
}

void DataBinding::OnCellChanged(LONG row, LONG column) {
    if (acquiring_) return;
    if (row < 0 || row > RowCount() || column < 1 || column > columns_) {
        Error(L"cellChanged(" + std::to_wstring(row) + L"," + std::to_wstring(column) + L") outside the table");
        return;
    }
    Variant cell;
    HRESULT hr = provider_->getVariant(row, column, format_, cell.put());
    if (FAILED(hr)) {
        cell.Clear();
        cell->vt = VT_ERROR;
        cell->scode = hr;
    }
    // The read may have let the mirror change: store only where the cell still is.
    if (row <= RowCount() && column <= columns_) SlotCell(slots_[static_cast<size_t>(row)], column) = std::move(cell);
}

void DataBinding::OnDeletedRows(LONG row, LONG count) {
    if (acquiring_) return;
    if (row < 1 || count < 0 || count > RowCount() - row + 1) {
        Error(L"deletedRows(" + std::to_wstring(row) + L"," + std::to_wstring(count) + L") outside the table");
        return;
    }
    for (LONG r = row; r < row + count; ++r) {
        size_t slot = slots_[static_cast<size_t>(r)];
        for (LONG c = 1; c <= columns_; ++c) SlotCell(slot, c).Clear();
        freeSlots_.push_back(slot);
    }
    slots_.erase(slots_.begin() + row, slots_.begin() + row + count);
}

void DataBinding::OnInsertedRows(LONG row, LONG count) {
    if (acquiring_) return;
    // The provider's own row count bounds what can have been inserted (a wild count must not make
    // the binding read millions of rows that are not there).
    DBROWCOUNT providerRows = 0;
    provider_->getRowCount(&providerRows);
    if (row < 1 || count < 0 || row > RowCount() + 1 || count > providerRows - RowCount()) {
        Error(L"insertedRows(" + std::to_wstring(row) + L"," + std::to_wstring(count) + L") outside the table");
        return;
    }
    // The new rows are read first and join the mirror together, as they were announced.
    std::vector<Variant> fresh(static_cast<size_t>(count) * static_cast<size_t>(columns_));
    for (LONG r = 0; r < count; ++r)
        if (!ReadRow(row + r, fresh, static_cast<size_t>(r) * static_cast<size_t>(columns_))) return;
    std::vector<size_t> slots;
    for (LONG r = 0; r < count; ++r) {
        size_t slot = columns_ ? TakeSlot() : 0;
        for (LONG c = 1; c <= columns_; ++c)
            SlotCell(slot, c) = std::move(fresh[static_cast<size_t>(r) * static_cast<size_t>(columns_) + static_cast<size_t>(c - 1)]);
        slots.push_back(slot);
    }
    slots_.insert(slots_.begin() + row, slots.begin(), slots.end());
}

void DataBinding::OnTableChanged() {
    if (!acquiring_) Reload();
}

void DataBinding::OnDataMemberChanged() {
    if (acquiring_) return;
    AcquireProvider();
    Reload();
}

HRESULT DataBinding::SetCell(LONG row, LONG column, const Variant& value, OSPFORMAT format) {
    if (!provider_) return E_UNEXPECTED;
    Variant copy(value);
    HRESULT hr = provider_->setVariant(row, column, format, *copy.get());
    Record(L"setVariant(" + std::to_wstring(row) + L"," + std::to_wstring(column) + L")=" + HrText(hr));
    return hr;
}

HRESULT DataBinding::CheckBox(LONG row, LONG column, bool checked) {
    return SetCell(row, column, Variant::Bool(checked), OSPFORMAT_RAW);
}

const Variant& DataBinding::Cell(LONG row, LONG column) const {
    if (row < 0 || row > RowCount() || column < 1 || column > columns_) ThrowHr(E_INVALIDARG);
    return cells_[slots_[static_cast<size_t>(row)] * static_cast<size_t>(columns_) + static_cast<size_t>(column - 1)];
}

std::wstring DataBinding::CellText(LONG row, LONG column) const {
    Variant text(*Cell(row, column).get());
    if (text.vt() == VT_EMPTY || text.vt() == VT_NULL) return {};
    if (text.vt() == VT_ERROR) return L"#error " + HrText(text->scode);
    if (text.vt() != VT_BSTR && FAILED(VariantChangeTypeEx(text.get(), text.get(), LOCALE_INVARIANT, 0, VT_BSTR)))
        return L"#" + std::to_wstring(text.vt());
    return text->bstrVal ? std::wstring(text->bstrVal, SysStringLen(text->bstrVal)) : std::wstring();
}

LONG DataBinding::ColumnOf(std::wstring_view name) const {
    for (LONG c = 1; c <= columns_; ++c)
        if (EqualsNoCase(CellText(0, c), name)) return c;
    return 0;
}

}  // namespace kv::browser
