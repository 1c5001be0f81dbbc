#include "kvreg/directory_record_set.h"

#include <algorithm>
#include <vector>

#include "framework/client_failure.h"
#include "framework/value_converter.h"
#include "platform/raii.h"

namespace kv {

namespace {

// A one-dimensional array held by a VARIANT (by value, by reference, or behind a VT_VARIANT
// reference) of VARIANTs, 32-bit integers or strings, read in place for one scope. An element
// comes out as a VARIANT that borrows the array's payload: copy it to keep it.
class ArrayView {
public:
    explicit ArrayView(const VARIANT& holder) : sa_(ArrayOf(holder)), data_(sa_) {
        if (SafeArrayGetDim(sa_) != 1) ThrowHr(E_INVALIDARG);
        LONG lo = 0, hi = -1;
        ThrowIfFailed(SafeArrayGetLBound(sa_, 1, &lo));
        ThrowIfFailed(SafeArrayGetUBound(sa_, 1, &hi));
        length_ = hi >= lo ? static_cast<size_t>(hi - lo) + 1 : 0;
        if (FAILED(SafeArrayGetVartype(sa_, &vt_)))
            vt_ = (sa_->fFeatures & FADF_VARIANT) ? VT_VARIANT : (sa_->fFeatures & FADF_BSTR) ? VT_BSTR : VT_EMPTY;
        size_t size = vt_ == VT_VARIANT ? sizeof(VARIANT) : vt_ == VT_I4 ? sizeof(LONG) : vt_ == VT_BSTR ? sizeof(BSTR) : 0;
        if (size == 0 || sa_->cbElements != size) ThrowHr(E_INVALIDARG);
    }
    size_t Length() const noexcept { return length_; }
    VARIANT At(size_t i) const noexcept {
        if (vt_ == VT_VARIANT) {
            const VARIANT& v = reinterpret_cast<const VARIANT*>(data_.data())[i];
            return v.vt == (VT_VARIANT | VT_BYREF) && v.pvarVal ? *v.pvarVal : v;
        }
        VARIANT v;
        v.vt = vt_;
        if (vt_ == VT_I4) v.lVal = reinterpret_cast<const LONG*>(data_.data())[i];
        else v.bstrVal = reinterpret_cast<BSTR const*>(data_.data())[i];
        return v;
    }

private:
    static SAFEARRAY* ArrayOf(const VARIANT& holder) {
        const VARIANT* v = &holder;
        if (v->vt == (VT_VARIANT | VT_BYREF) && v->pvarVal) v = v->pvarVal;
        if (!(v->vt & VT_ARRAY)) ThrowHr(E_INVALIDARG);
        SAFEARRAY* sa = (v->vt & VT_BYREF) ? (v->pparray ? *v->pparray : nullptr) : v->parray;
        if (!sa) ThrowHr(E_INVALIDARG);
        return sa;
    }

    SAFEARRAY* sa_;
    SafeArrayData<BYTE> data_;
    size_t length_ = 0;
    VARTYPE vt_ = VT_EMPTY;
};

bool IsNone(const VARIANT& v) noexcept { return v.vt == VT_EMPTY || v.vt == VT_NULL; }

bool HoldsArray(const VARIANT& v) noexcept {
    const VARIANT* held = v.vt == (VT_VARIANT | VT_BYREF) && v.pvarVal ? v.pvarVal : &v;
    return (held->vt & VT_ARRAY) != 0;
}

bool AsBool(const VARIANT& value) {
    if (value.vt == VT_BOOL) return value.boolVal != VARIANT_FALSE;
    Variant copy(value);
    copy.ChangeType(VT_BOOL);
    return copy->boolVal != VARIANT_FALSE;
}

}  // namespace

LONG CellAsLong(const VARIANT& cell) {
    if (cell.vt == VT_I4) return cell.lVal;
    Variant copy(cell);
    copy.ChangeType(VT_I4);
    return copy->lVal;
}

ComPtr<IClientPropertySet> ClientEntry(IDirectoryEntries* entries, LONG id) {
    if (!entries) ThrowHr(E_POINTER);
    ComPtr<IClientPropertySet> entry;
    ThrowIfClientFailed(entries->Item(*Variant::I4(id).get(), entry.GetAddressOf()));
    if (!entry) ThrowHr(E_POINTER);
    return entry;
}

DirectoryRecordSet::DirectoryRecordSet(std::shared_ptr<const DirectoryColumnTable> columns,
                                       std::shared_ptr<const CategoryMap> categories,
                                       ComPtr<IClientDirectory> directory)
    : RowTable(std::make_shared<RowContext>(), columns->Dictionary()),
      columns_(std::move(columns)),
      categories_(std::move(categories)),
      directory_(std::move(directory)) {
    SetStateColumn(columns_->InternalState());
    context_->width = static_cast<size_t>(columns_->Count());
}

void DirectoryRecordSet::Load(const VARIANT& entries, const VARIANT& subscribedIds) {
    struct ForgetIds {
        std::unordered_set<LONG>& ids;
        ~ForgetIds() { ids.clear(); }
    } forget{subscribedIds_};
    // Subscribed ids count only when they come as an array; anything else names none.
    if (HoldsArray(subscribedIds)) {
        ArrayView ids(subscribedIds);
        for (size_t i = 0; i < ids.Length(); ++i) subscribedIds_.insert(CellAsLong(ids.At(i)));
    }
    if (!IsNone(entries)) {
        ArrayView all(entries);
        for (size_t i = 0; i < all.Length(); ++i) SetEntry(all.At(i), 0, false);
    }
}

void DirectoryRecordSet::SetEntry(const VARIANT& data, long count, bool subscribed) {
    if (IsNone(data)) return;
    ArrayView pair(data);
    if (pair.Length() < 2) ThrowHr(E_INVALIDARG);
    ArrayView ids(pair.At(0)), values(pair.At(1));
    size_t n = std::min(ids.Length(), values.Length());
    if (count > 0) n = std::min(n, static_cast<size_t>(count));
    if (n == 0) ThrowHr(E_INVALIDARG);  // not even the entry id

    const LONG id = CellAsLong(values.At(0));
    const long idColumn = columns_->IndexOf(kFieldChannelId);
    const size_t width = static_cast<size_t>(columns_->Count());
    const long timeAdded = columns_->IndexOf(kFieldTimeAdded);
    const long categoriesColumn = columns_->IndexOf(kFieldCategories);
    // The client's fields fill the directory columns only: IS_SUBSCRIBED (field 4096) is
    // computed from the client's own answer.
    auto fieldColumn = [&](size_t i) {
        const long index = columns_->IndexOf(CellAsLong(ids.At(i)));
        return index >= columns_->FirstExtra() ? -1 : index;
    };

    // Everything that can fail is worked out before the row changes, so that an entry the client
    // delivers broken leaves its row as it was and a new one out of the table.
    bool datePending = false, categoriesDelivered = false;
    DATE date = 0;
    VARIANT categoriesValue;
    VariantInit(&categoriesValue);
    for (size_t i = 0; i < n; ++i) {
        const long index = fieldColumn(i);
        if (index == timeAdded) {
            try {
                date = LocalDateFromUnixSeconds(CellAsLong(values.At(i)));
            } catch (...) {
                ThrowHr(E_FAIL);
            }
            datePending = true;
        } else if (index == categoriesColumn) {
            categoriesValue = values.At(i);  // borrowed from the array, which outlives this call
            categoriesDelivered = true;
        }
    }
    const bool known = FindRow(id) != 0;
    ComPtr<Row> fresh = known ? nullptr : MakeObject<Row>(context_, id, idColumn);
    Row& row = known ? CursorRow() : *fresh.Get();
    const VARIANT& cell = categoriesDelivered ? categoriesValue : row.CellRef(categoriesColumn);
    Variant converted;
    std::wstring_view categories;
    if (cell.vt == VT_BSTR) {
        categories = {cell.bstrVal ? cell.bstrVal : L"", SysStringLen(cell.bstrVal)};
    } else if (!IsNone(cell)) {
        converted = Variant(cell);
        converted.ChangeType(VT_BSTR);
        categories = {converted->bstrVal ? converted->bstrVal : L"", SysStringLen(converted->bstrVal)};
    }
    Variant group = Variant::String(categories_ ? std::wstring_view(categories_->Lookup(categories)) : L"");

    const long subscribedColumn = columns_->FirstExtra();
    row.SetCell(subscribedColumn, *Variant::Bool(subscribed || subscribedIds_.count(id) != 0).get(), width);
    for (size_t i = 0; i < n; ++i) {
        const long index = fieldColumn(i);
        if (index < 0) continue;  // a field without a column of its own
        if (index == timeAdded) {
            if (!datePending) continue;  // the last TIME_ADDED delivered is written once
            VARIANT value;
            value.vt = VT_DATE;
            value.date = date;
            row.SetCell(index, value, width);
            datePending = false;
        } else {
            row.SetCell(index, values.At(i), width);
        }
    }
    row.SetCell(StateColumn(), *Variant::I4(kRowNotFiltered).get(), width);
    row.TakeCell(columns_->EntryCategory(), *group.get(), width);
    if (!known) InsertFront(fresh);
}

void DirectoryRecordSet::FilterAndSort(const Filter& filter, SortOrder* sortOrder) {
    const long name = columns_->IndexOf(kFieldName);
    RowTable::FilterAndSort(
        [&](Row& row) {
            const VARIANT& cell = row.CellRef(name);
            if (cell.vt != VT_BSTR || SysStringLen(cell.bstrVal) == 0) return false;
            return !filter || filter(row);
        },
        sortOrder, static_cast<bool>(filter));
}

bool DirectoryRecordSet::IsWritable(long row, long column) const {
    return row != 0 && columns_->IsWritable(column - 1);
}

void DirectoryRecordSet::WriteCell(long row, long column, const VARIANT& value) {
    if (row < 1 || !IsWritable(row, column)) ThrowHr(E_INVALIDARG);
    ComPtr<Row> target = RowAt(row);
    ComPtr<IClientDirectory> directory = directorySource_ ? directorySource_() : directory_;
    if (!directory) ThrowHr(E_POINTER);
    ComPtr<IDirectoryEntries> entries;
    ThrowIfClientFailed(directory->GetEntries(entries.GetAddressOf()));
    ComPtr<IClientPropertySet> entry = ClientEntry(entries.Get(), target->Id());
    WriteSubscription(*columns_, *target.Get(), entry.Get(), value);
}

void WriteSubscription(const DirectoryColumnTable& columns, Row& row, IClientPropertySet* entry,
                       const VARIANT& value) {
    const long index = columns.FirstExtra();
    const bool wanted = AsBool(value);
    const VARIANT& current = row.CellRef(index);
    if (current.vt == VT_BOOL && (current.boolVal != VARIANT_FALSE) == wanted) return;
    if (!entry) ThrowHr(E_POINTER);
    const LONG window = HandleToLong(GetActiveWindow());
    if (!wanted) {
        // The cell changes when the client reports the entry changed.
        ThrowIfClientFailed(entry->Unsubscribe(window, 0));
        return;
    }
    ThrowIfClientFailed(entry->Subscribe(window, 0));
    LONG typeFlags = 0;
    const VARIANT& flags = row.CellRef(columns.IndexOf(kFieldTypeFlags));
    if (!IsNone(flags)) {
        try {
            typeFlags = CellAsLong(flags);
        } catch (...) {
        }
    }
    if (!(typeFlags & 0x300)) row.SetCell(index, *Variant::Bool(true).get(), static_cast<size_t>(columns.Count()));
}

}  // namespace kv
