// The order of a story table's rows: a list of (column, ascending) keys parsed from a sort
// expression such as "title; -ID", compared cell by cell, completed by the rows' identities so
// that every two rows have a definite order. Created by RecordSet::CreateSortOrder and kept by
// the control; every row's INTERNAL_SORT cell refers to it while it orders the table.
// One thread (the control's).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "framework/column_dictionary.h"
#include "framework/table_heap.h"
#include "platform/com_object.h"

namespace kv {

class Row;

// -1, 0 or 1. Empty and null cells come first; cells of different types put the first operand
// first; strings compare by code unit, or with ASCII letters folded to lower case.
int CompareCells(const VARIANT& a, const VARIANT& b, bool caseSensitive) noexcept;

struct SortKey {
    long column;  // internal, 0-based
    bool ascending;
    bool operator==(const SortKey&) const = default;
};

class SortOrder : public ComObject<SortOrder, IUnknown> {
public:
    explicit SortOrder(ComPtr<ColumnDictionary> columns) : columns_(std::move(columns)) {}

    // Replaces the keys: items separated by ";", each an optional "+" or "-" and a column name;
    // unknown names are skipped.
    void Parse(std::wstring_view expression, bool caseSensitive);
    // True when rowA goes after rowB.
    bool Compare(const Row& rowA, const Row& rowB) const;
    // The order Compare defines (keys, then identity), as a permutation: result[i] is the index
    // in `rows` of the i-th row.
    TableVector<uint32_t> SortedOrder(const TableVector<Row*>& rows) const;

    const std::vector<SortKey>& Keys() const noexcept { return keys_; }
    bool CaseSensitive() const noexcept { return caseSensitive_; }

    // The sort order a cell refers to (an INTERNAL_SORT cell), or null.
    static SortOrder* FromCell(const VARIANT& cell) noexcept;

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override;

private:
    ComPtr<ColumnDictionary> columns_;
    std::vector<SortKey> keys_;
    bool caseSensitive_ = false;
};

}  // namespace kv
