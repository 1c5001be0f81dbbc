// The channel directory as the directory control's table: one row per directory entry (a
// channel one may subscribe to), the fixed columns of DirectoryColumnTable, and the computed
// cells INTERNAL_STATE, ENTRY_CATEGORY and IS_SUBSCRIBED. Entries arrive as parallel arrays of
// field ids and values (the client's Query and GetValues); a new entry goes to the top until the
// next sort. The binding may write IS_SUBSCRIBED, which subscribes or unsubscribes the entry
// through the client.
//
// Owned by the directory control, on its thread only. Failures are thrown as the
// HRESULT-carrying exception (a client's failure as ClientFailure); what was applied before a
// failure stays.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <functional>
#include <memory>
#include <unordered_set>

#include "framework/category_map.h"
#include "framework/row_table.h"
#include "korvane_client.h"
#include "kvreg/directory_columns.h"

namespace kv {

class DirectoryRecordSet : public RowTable {
public:
    // `directory` is the client's directory the binding's writes go to (may be null: every
    // write then fails with E_POINTER).
    DirectoryRecordSet(std::shared_ptr<const DirectoryColumnTable> columns,
                       std::shared_ptr<const CategoryMap> categories, ComPtr<IClientDirectory> directory);

    // Applies one entry's data (an array of two: field ids, values; the first value is the
    // entry id). `count` below 1 means "every field"; no count or array length is trusted
    // beyond the shortest. The entry is subscribed when `subscribed` is true or its id is in
    // the subscribed-id set of the running Load.
    void SetEntry(const VARIANT& data, long count, bool subscribed);
    // Applies the whole directory: the entries array and the subscribed-ids array (either may
    // be VT_EMPTY or VT_NULL for none).
    void Load(const VARIANT& entries, const VARIANT& subscribedIds);
    // Drops rows without a name before they reach `filter` (none: keep every named row), then
    // as the row table does.
    void FilterAndSort(const Filter& filter, SortOrder* sortOrder);

    bool IsWritable(long row, long column) const override;
    // IS_SUBSCRIBED: subscribes or unsubscribes the entry (E_INVALIDARG for any other cell).
    void WriteCell(long row, long column, const VARIANT& value) override;

    const DirectoryColumnTable& ColumnTable() const noexcept { return *columns_; }
    std::shared_ptr<const DirectoryColumnTable> ColumnTableRef() const noexcept { return columns_; }
    IClientDirectory* Directory() const noexcept { return directory_.Get(); }
    // Where the binding's writes go from now on, asked at each write: the control's connection
    // to the client of that moment, which may be newer than the table.
    using DirectorySource = std::function<ComPtr<IClientDirectory>()>;
    void SetDirectorySource(DirectorySource source) { directorySource_ = std::move(source); }

private:
    std::shared_ptr<const DirectoryColumnTable> columns_;
    std::shared_ptr<const CategoryMap> categories_;
    ComPtr<IClientDirectory> directory_;
    std::unordered_set<LONG> subscribedIds_;
    DirectorySource directorySource_;
};

// A row's subscription set to `value` (converted to a boolean first) through `entry`: nothing
// when the row's IS_SUBSCRIBED cell already says so; otherwise Subscribe or Unsubscribe with
// the active window. After a subscribe the cell is set at once unless the entry's TYPE_FLAGS
// have 0x100 or 0x200; otherwise it waits for the client's notification.
void WriteSubscription(const DirectoryColumnTable& columns, Row& row, IClientPropertySet* entry, const VARIANT& value);

// The client's entry object for an entry id.
ComPtr<IClientPropertySet> ClientEntry(IDirectoryEntries* entries, LONG id);

// A cell as a 32-bit integer (the standard conversion; E_FAIL when there is none).
LONG CellAsLong(const VARIANT& cell);

}  // namespace kv
