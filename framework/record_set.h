// The in-memory story table behind a story control: one Row per story of the bound channel,
// one column per property name the client has reported, plus the columns the control computes.
//
// Rows are kept in display order; new stories go to the top until the next sort. Rows and
// columns are 1-based towards the data binding and page script (row 0 is the header row of
// column names) and 0-based inside. Lookups by story ID and by position are constant time, so
// loading and reading grow linearly with the number of stories. A cursor remembers the row last
// touched, as FindRow and sequential reads leave it.
//
// Owned by the control, on the control's thread only. Client failures and conversion failures
// are thrown as the HRESULT-carrying exception; what was applied before a failure stays.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "framework/column_dictionary.h"
#include "framework/row.h"
#include "framework/sort_order.h"
#include "framework/value_converter.h"
#include "korvane_client.h"
#include "platform/com_object.h"

namespace kv {

// Internal indexes of the columns every story table knows; -1 where a column is absent.
struct FixedColumns {
    long internalSort = -1, internalState = -1, id = -1, icon = -1, type = -1;
    long url = -1, text = -1, storyLocal = -1, parcelType = -1, keep = -1;
};

// Channel flag: the channel has no parcels, so PARCEL_TYPE and KEEP are not made up front.
constexpr long kChannelFlagNoParcels = 0x1000;

class RecordSet;

// Cells a table derives from others after each property update once it is loaded (the story
// control's TYPE and ICON).
class DerivedCells {
public:
    virtual ~DerivedCells() = default;
    virtual void Update(const RecordSet& table, Row& row) = 0;
};

// The filter step's question for a row that has not yet been through it: keep it?
using RowFilter = std::function<bool(IClientChannel* channel, Row& row)>;

class RecordSet : public ComObject<RecordSet, IUnknown> {
public:
    // Makes the fixed columns, asking `channel` for its flags (a null channel counts as flags 0).
    RecordSet(ComPtr<IClientChannel> channel, ComPtr<ValueConverter> converter,
              std::shared_ptr<DerivedCells> derived = {});

    // Applies a story snapshot (element 2, then element 1). With idCount > 0 only the stories
    // whose IDs are among ids[0..idCount) are touched. Returns whether a column was added.
    bool Load(const VARIANT& snapshot, long idCount, const LONG* ids);
    // Asks the channel for its snapshot and loads it.
    bool LoadFromChannel(long idCount, const LONG* ids);
    // Offers every row not yet filtered to `filter` (none: keep all), drops the rejected ones,
    // stores `sortOrder` in each row's INTERNAL_SORT cell and sorts when there is one.
    void FilterAndSort(const RowFilter& filter, SortOrder* sortOrder);
    // Marks every row as not yet filtered.
    void ResetStates();

    long RowCount() const noexcept { return static_cast<long>(rows_.size()); }
    long ColumnCount() const noexcept { return columns_->Count(); }
    // 1-based position of the story, 0 when absent (the cursor then goes to the first row).
    long FindRow(LONG id);
    // `row` and `column` 1-based; row 0 gives the column's name. E_INVALIDARG out of range.
    void GetCell(long row, long column, VARIANT* out);
    // Stores one property of one story, making the story and the column when new. Returns
    // whether a column was added.
    bool SetProperty(LONG id, std::wstring_view name, const VARIANT& value);
    // Removes the row at the 1-based `position`.
    void DeleteRow(long position);
    ComPtr<SortOrder> CreateSortOrder() const { return MakeObject<SortOrder>(columns_); }
    // The row at the 1-based `position` (E_INVALIDARG out of range); moves the cursor there.
    ComPtr<Row> RowAt(long position);

    ColumnDictionary& Columns() const noexcept { return *columns_.Get(); }
    ComPtr<ColumnDictionary> ColumnsRef() const noexcept { return columns_; }
    const FixedColumns& Fixed() const noexcept { return fixed_; }
    IClientChannel* Channel() const noexcept { return context_->channel.Get(); }
    // 0-based position of the cursor.
    long CursorPosition() const noexcept { return cursor_; }
    // Installs the hook every page-facing cell read of this table's rows passes.
    void SetCellReadGuard(std::shared_ptr<CellReadGuard> guard) { context_->guard = std::move(guard); }

private:
    long ColumnFor(std::wstring_view rawName, bool& added);
    Conversion RuleFor(long column);
    void Renumber(size_t from) noexcept;
    void Rebuild(std::vector<ComPtr<Row>>&& rows);
    bool LoadPart(const VARIANT& part, long idCount, const LONG* ids);

    std::shared_ptr<RowContext> context_;
    ComPtr<ValueConverter> converter_;
    ComPtr<ColumnDictionary> columns_;
    std::shared_ptr<DerivedCells> derived_;
    FixedColumns fixed_;
    bool loaded_ = false;

    // Display order. Invariant: byId_[rows_[i]->Id()].slot == base_ + i, so a story found by
    // ID knows its position, and a new row at the top costs one step (--base_).
    struct Entry {
        Row* row;
        int64_t slot;
    };
    std::deque<ComPtr<Row>> rows_;
    int64_t base_ = 0;
    std::unordered_map<LONG, Entry> byId_;
    long cursor_ = 0;

    // Raw property names already seen, with their column (normalising is deterministic).
    std::unordered_map<std::wstring, long> rawNames_;
    std::vector<Conversion> rules_;
};

// "name" normalised as the table stores it: white space becomes "_", a-z become A-Z.
std::wstring NormaliseColumnName(std::wstring_view name);

}  // namespace kv
