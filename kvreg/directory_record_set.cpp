#include "kvreg/directory_record_set.h"

#include <algorithm>
#include <vector>

#include "framework/client_failure.h"
#include "framework/value_converter.h"
#include "platform/raii.h"

namespace kv {

namespace {

// The elements of a one-dimensional array held by a VARIANT (by value or by reference, or
// behind a VT_VARIANT reference), each as a VARIANT of its own.
std::vector<Variant> Elements(const VARIANT& holder) {
    const VARIANT* v = &holder;
    if (v->vt == (VT_VARIANT | VT_BYREF) && v->pvarVal) v = v->pvarVal;
    if (!(v->vt & VT_ARRAY)) ThrowHr(E_INVALIDARG);
    SAFEARRAY* sa = (v->vt & VT_BYREF) ? (v->pparray ? *v->pparray : nullptr) : v->parray;
    if (!sa || SafeArrayGetDim(sa) != 1) ThrowHr(E_INVALIDARG);
    LONG lo = 0, hi = -1;
    ThrowIfFailed(SafeArrayGetLBound(sa, 1, &lo));
    ThrowIfFailed(SafeArrayGetUBound(sa, 1, &hi));
    VARTYPE vt = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(sa, &vt))) vt = (sa->fFeatures & FADF_VARIANT) ? VT_VARIANT : VT_EMPTY;
    std::vector<Variant> out;
    if (hi < lo) return out;
    out.reserve(static_cast<size_t>(hi - lo) + 1);
    for (LONG i = lo; i <= hi; ++i) {
        Variant item;
        switch (vt) {
            case VT_VARIANT:
                ThrowIfFailed(SafeArrayGetElement(sa, &i, item.get()));
                break;
            case VT_I4:
                item = Variant::I4(0);
                ThrowIfFailed(SafeArrayGetElement(sa, &i, &item->lVal));
                break;
            case VT_BSTR: {
                Bstr text;
                ThrowIfFailed(SafeArrayGetElement(sa, &i, text.put()));
                item = Variant::String(text.view());
                break;
            }
            default:
                ThrowHr(E_INVALIDARG);
        }
        out.push_back(std::move(item));
    }
    return out;
}

bool IsNone(const VARIANT& v) noexcept { return v.vt == VT_EMPTY || v.vt == VT_NULL; }

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
}

void DirectoryRecordSet::Load(const VARIANT& entries, const VARIANT& subscribedIds) {
    struct ForgetIds {
        std::unordered_set<LONG>& ids;
        ~ForgetIds() { ids.clear(); }
    } forget{subscribedIds_};
    if (!IsNone(subscribedIds))
        for (auto& id : Elements(subscribedIds)) subscribedIds_.insert(CellAsLong(*id.get()));
    if (!IsNone(entries))
        for (auto& entry : Elements(entries)) SetEntry(*entry.get(), 0, false);
}

void DirectoryRecordSet::SetEntry(const VARIANT& data, long count, bool subscribed) {
    if (IsNone(data)) return;
    std::vector<Variant> pair = Elements(data);
    if (pair.size() < 2) ThrowHr(E_INVALIDARG);
    std::vector<Variant> ids = Elements(*pair[0].get()), values = Elements(*pair[1].get());
    size_t n = std::min(ids.size(), values.size());
    if (count > 0) n = std::min(n, static_cast<size_t>(count));
    if (n == 0) ThrowHr(E_INVALIDARG);  // not even the entry id

    const LONG id = CellAsLong(*values[0].get());
    const long idColumn = columns_->IndexOf(kFieldChannelId);
    const size_t width = static_cast<size_t>(columns_->Count());
    Row& row = FindRow(id) ? CursorRow() : InsertFront(MakeObject<Row>(context_, id, idColumn));

    const long subscribedColumn = columns_->FirstExtra();
    row.SetCell(subscribedColumn, *Variant::Bool(subscribed || subscribedIds_.count(id) != 0).get(), width);
    const long timeAdded = columns_->IndexOf(kFieldTimeAdded);
    for (size_t i = 0; i < n; ++i) {
        const long index = columns_->IndexOf(CellAsLong(*ids[i].get()));
        if (index < 0) continue;  // a field without a column
        if (index == timeAdded) {
            LONG seconds = 0;
            try {
                seconds = CellAsLong(*values[i].get());
            } catch (...) {
                ThrowHr(E_FAIL);
            }
            VARIANT date;
            date.vt = VT_DATE;
            date.date = LocalDateFromUnixSeconds(seconds);
            row.SetCell(index, date, width);
        } else {
            row.SetCell(index, *values[i].get(), width);
        }
    }
    row.SetCell(StateColumn(), *Variant::I4(kRowNotFiltered).get(), width);

    std::wstring categories;
    const VARIANT& cell = row.CellRef(columns_->IndexOf(kFieldCategories));
    if (cell.vt == VT_BSTR) {
        categories.assign(cell.bstrVal ? cell.bstrVal : L"", SysStringLen(cell.bstrVal));
    } else if (!IsNone(cell)) {
        Variant text(cell);
        text.ChangeType(VT_BSTR);
        categories.assign(text->bstrVal ? text->bstrVal : L"", SysStringLen(text->bstrVal));
    }
    const std::wstring& group = categories_ ? categories_->Lookup(categories) : std::wstring();
    row.SetCell(columns_->EntryCategory(), *Variant::String(group).get(), width);
}

void DirectoryRecordSet::FilterAndSort(const Filter& filter, SortOrder* sortOrder) {
    const long name = columns_->IndexOf(kFieldName);
    RowTable::FilterAndSort(
        [&](Row& row) {
            const VARIANT& cell = row.CellRef(name);
            if (cell.vt != VT_BSTR || SysStringLen(cell.bstrVal) == 0) return false;
            return !filter || filter(row);
        },
        sortOrder);
}

bool DirectoryRecordSet::IsWritable(long row, long column) const {
    return row != 0 && columns_->IsWritable(column - 1);
}

void DirectoryRecordSet::WriteCell(long row, long column, const VARIANT& value) {
    if (row < 1 || !IsWritable(row, column)) ThrowHr(E_INVALIDARG);
    ComPtr<Row> target = RowAt(row);
    if (!directory_) ThrowHr(E_POINTER);
    ComPtr<IDirectoryEntries> entries;
    ThrowIfClientFailed(directory_->GetEntries(entries.GetAddressOf()));
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
