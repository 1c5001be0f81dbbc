#include "framework/row_table.h"

#include <iterator>
#include <unordered_set>

#include "platform/raii.h"

namespace kv {

namespace {

VARIANT I4Cell(LONG value) noexcept {
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

}  // namespace

RowTable::RowTable(std::shared_ptr<RowContext> context, ComPtr<ColumnDictionary> columns)
    : context_(std::move(context)), columns_(std::move(columns)) {}

Row& RowTable::InsertFront(ComPtr<Row> row) {
    Row* raw = row.Get();
    rows_.push_front(std::move(row));
    byId_.emplace(raw->Id(), Entry{raw, --base_});
    cursor_ = 0;
    return *raw;
}

long RowTable::FindRow(LONG id) {
    auto it = byId_.find(id);
    if (it == byId_.end()) {
        cursor_ = 0;
        return 0;
    }
    cursor_ = static_cast<long>(it->second.slot - base_);
    return cursor_ + 1;
}

void RowTable::GetCell(long row, long column, VARIANT* out) {
    VariantInit(out);
    if (column < 1 || column > ColumnCount() || row < 0 || row > RowCount()) ThrowHr(E_INVALIDARG);
    if (row == 0) {
        out->bstrVal = columns_->NameAt(column - 1).Detach();
        out->vt = VT_BSTR;
        return;
    }
    cursor_ = row - 1;
    rows_[static_cast<size_t>(cursor_)]->GetCell(column - 1, out);
}

ComPtr<Row> RowTable::RowAt(long position) {
    if (position < 1 || position > RowCount()) ThrowHr(E_INVALIDARG);
    cursor_ = position - 1;
    return rows_[static_cast<size_t>(cursor_)];
}

void RowTable::DeleteRow(long position) {
    if (position < 1 || position > RowCount()) ThrowHr(E_INVALIDARG);
    size_t at = static_cast<size_t>(position - 1);
    byId_.erase(rows_[at]->Id());
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(at));
    Renumber(at);
    cursor_ = at < rows_.size() ? static_cast<long>(at) : 0;
}

void RowTable::ResetStates() {
    for (auto& row : rows_) row->SetCell(stateColumn_, I4Cell(kRowNotFiltered), 0);
}

bool RowTable::IsWritable(long, long) const { return false; }

void RowTable::WriteCell(long, long, const VARIANT&) { ThrowHr(E_NOTIMPL); }

void RowTable::Renumber(size_t from) noexcept {
    for (size_t i = from; i < rows_.size(); ++i) {
        auto it = byId_.find(rows_[i]->Id());
        if (it != byId_.end()) it->second.slot = base_ + static_cast<int64_t>(i);
    }
}

void RowTable::Rebuild(TableVector<ComPtr<Row>>&& rows) {
    rows_.assign(std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    base_ = 0;
    Renumber(0);
    cursor_ = 0;
}

void RowTable::FilterAndSort(const Filter& filter, SortOrder* sortOrder, bool filterRunsScript) {
    Variant order;
    if (sortOrder) order = Variant::Unknown(sortOrder->Unknown());
    auto notFiltered = [this](const Row& row) {
        const VARIANT& state = row.CellRef(stateColumn_);
        return !(state.vt == VT_I4 && state.lVal != kRowNotFiltered);
    };

    // The filter runs page script, which may read (or even change) the table meanwhile: walk a
    // copy, remember the rejected rows, and take them out afterwards.
    std::unordered_set<const Row*> rejected;
    auto finish = [&] {
        if (!rejected.empty()) {
            TableVector<ComPtr<Row>> kept;
            kept.reserve(rows_.size());
            for (auto& row : rows_) {
                if (rejected.count(row.Get())) byId_.erase(row->Id());
                else kept.push_back(std::move(row));
            }
            Rebuild(std::move(kept));
        }
        for (auto& row : rows_) {
            const VARIANT& current = row->CellRef(0);
            if (current.vt != order.vt() || (current.vt == VT_UNKNOWN && current.punkVal != order->punkVal))
                row->SetCell(0, *order.get(), 0);
        }
        cursor_ = 0;
    };
    if (filter && !filterRunsScript) {
        // Nothing can change the table meanwhile: no copy to walk.
        for (auto& row : rows_) {
            if (!notFiltered(*row.Get())) continue;
            if (filter(*row.Get()))
                row->SetCell(stateColumn_, I4Cell(kRowAccepted), 0);
            else
                rejected.insert(row.Get());
        }
    } else if (filter) {
        TableVector<ComPtr<Row>> walk(rows_.begin(), rows_.end());
        try {
            for (auto& row : walk) {
                if (!notFiltered(*row.Get())) continue;
                auto present = byId_.find(row->Id());
                if (present == byId_.end() || present->second.row != row.Get()) continue;
                if (filter(*row.Get()))
                    row->SetCell(stateColumn_, I4Cell(kRowAccepted), 0);
                else
                    rejected.insert(row.Get());
            }
        } catch (...) {
            finish();
            throw;
        }
    } else {
        for (auto& row : rows_)
            if (notFiltered(*row.Get())) row->SetCell(stateColumn_, I4Cell(kRowAccepted), 0);
    }
    finish();

    if (sortOrder) {
        TableVector<Row*> rows;
        rows.reserve(rows_.size());
        for (auto& row : rows_) rows.push_back(row.Get());
        TableVector<uint32_t> sorted = sortOrder->SortedOrder(rows);
        TableVector<ComPtr<Row>> moved(rows_.size());
        for (size_t i = 0; i < moved.size(); ++i) moved[i] = std::move(rows_[sorted[i]]);
        std::move(moved.begin(), moved.end(), rows_.begin());
        base_ = 0;
        Renumber(0);
        cursor_ = 0;
    }
}

}  // namespace kv
