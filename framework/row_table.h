// The table a data control serves to the page's data binding: rows in display order, each found
// by its ID and by its position in constant time, the column names, the filter step and the
// sort. The story table and the directory table build on it; each adds how its rows are loaded.
//
// Rows and columns are 1-based towards the data binding and page script (row 0 is the header
// row of column names) and 0-based inside. Column 0 of every table is INTERNAL_SORT (the sort
// order a row compares itself by); the table names its "not yet filtered" state column. A cursor
// remembers the row last touched. A table is read-only towards the binding unless it says
// otherwise through IsWritable and WriteCell.
//
// Owned by its control, on the control's thread only. Failures are thrown as the
// HRESULT-carrying exception.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "framework/column_dictionary.h"
#include "framework/row.h"
#include "framework/table_heap.h"
#include "framework/sort_order.h"
#include "platform/com_object.h"

namespace kv {

class RowTable : public ComObject<RowTable, IUnknown> {
public:
    // The filter step's question for a row that has not yet been through it: keep it?
    using Filter = std::function<bool(Row& row)>;

    long RowCount() const noexcept { return static_cast<long>(rows_.size()); }
    long ColumnCount() const noexcept { return columns_->Count(); }
    // 1-based position of the row with that ID, 0 when absent (the cursor then goes to the
    // first row).
    long FindRow(LONG id);
    // `row` and `column` 1-based; row 0 gives the column's name. E_INVALIDARG out of range.
    void GetCell(long row, long column, VARIANT* out);
    // The stored cell at data row `row` (1-based) and `column`, when it can be read at once
    // without asking anyone (see Row::CellInPlace); null otherwise. Moves the cursor to the row.
    // E_INVALIDARG out of range or for row 0.
    const VARIANT* CellInPlace(long row, long column) {
        if (column < 1 || column > ColumnCount() || row < 1 || row > RowCount()) ThrowHr(E_INVALIDARG);
        cursor_ = row - 1;
        return rows_[static_cast<size_t>(cursor_)]->CellInPlace(column - 1);
    }
    // The row at the 1-based `position` (E_INVALIDARG out of range); moves the cursor there.
    ComPtr<Row> RowAt(long position);
    // Removes the row at the 1-based `position`.
    void DeleteRow(long position);
    // Marks every row as not yet filtered.
    void ResetStates();
    // Offers every row not yet filtered to `filter` (none: keep all), drops the rejected ones,
    // stores `sortOrder` in each row's INTERNAL_SORT cell and sorts when there is one. The
    // filter may run page script that reads or changes the table meanwhile, unless
    // `filterRunsScript` is false (a check of the row's own cells).
    void FilterAndSort(const Filter& filter, SortOrder* sortOrder, bool filterRunsScript = true);
    ComPtr<SortOrder> CreateSortOrder() const { return MakeObject<SortOrder>(columns_); }

    // Whether the binding may write the cell (1-based; row -1 asks about the whole column).
    virtual bool IsWritable(long row, long column) const;
    // The binding's write of one cell, in range; the default table refuses with E_NOTIMPL.
    virtual void WriteCell(long row, long column, const VARIANT& value);

    ColumnDictionary& Columns() const noexcept { return *columns_.Get(); }
    ComPtr<ColumnDictionary> ColumnsRef() const noexcept { return columns_; }
    long StateColumn() const noexcept { return stateColumn_; }
    // 0-based position of the cursor.
    long CursorPosition() const noexcept { return cursor_; }

protected:
    RowTable(std::shared_ptr<RowContext> context, ComPtr<ColumnDictionary> columns);
    void SetStateColumn(long column) noexcept { stateColumn_ = column; }

    // Puts a new row at the top; the cursor goes to it.
    Row& InsertFront(ComPtr<Row> row);
    // The row under the cursor (there is one after a successful FindRow).
    Row& CursorRow() const { return *rows_[static_cast<size_t>(cursor_)].Get(); }

    std::shared_ptr<RowContext> context_;
    ComPtr<ColumnDictionary> columns_;

private:
    void Renumber(size_t from) noexcept;
    void Rebuild(TableVector<ComPtr<Row>>&& rows);

    long stateColumn_ = 1;

    // Display order. Invariant: byId_[rows_[i]->Id()].slot == base_ + i, so a row found by ID
    // knows its position, and a new row at the top costs one step (--base_).
    struct Entry {
        Row* row;
        int64_t slot;
    };
    std::deque<ComPtr<Row>, TableAllocator<ComPtr<Row>>> rows_;
    int64_t base_ = 0;
    std::unordered_map<LONG, Entry, std::hash<LONG>, std::equal_to<LONG>, TableAllocator<std::pair<const LONG, Entry>>> byId_;
    long cursor_ = 0;
};

// Cell values of the filter step's state column.
constexpr long kRowNotFiltered = 0;
constexpr long kRowAccepted = 1;

}  // namespace kv
