// The page's data binding: a consumer of a control's table as the browser's binding agent is.
//
// Bind() asks the control for its data source (`msDataSourceObject("")`), registers as its
// DataSourceListener (`addDataSourceListener`), queries the source for OLEDBSimpleProvider,
// registers as its OLEDBSimpleProviderListener and reads the row and column counts and every
// cell (row 0 is the header) into a mirror of the table. The listener calls keep the mirror
// current: insertedRows and deletedRows insert and remove rows (reading the new ones),
// cellChanged re-reads a cell, transferComplete and rowsAvailable re-read the table, and
// dataMemberChanged asks the control for its data source again. Every call the binding makes on
// the control and every call it receives is recorded in order; notifications that do not fit
// the mirror (a row beyond the table) are recorded as errors and leave it unchanged.
//
// Lives on the page's thread; the control may call back while the binding calls it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/com_object.h"
#include "platform/databinding.h"
#include "platform/raii.h"

namespace kv::browser {

class BindingListener;

class DataBinding {
public:
    // `control` is the control's IDispatch; cells are read in `format`.
    DataBinding(ComPtr<IDispatch> control, OSPFORMAT format);
    ~DataBinding();
    DataBinding(const DataBinding&) = delete;
    DataBinding& operator=(const DataBinding&) = delete;

    // Throws the failing call's HRESULT (the call is recorded with it).
    void Bind();
    // Removes the provider listener. The data source listener stays with the control, which
    // drops it when it goes (the binding cannot take it back: there is no remove call).
    void Unbind() noexcept;

    // Writes a cell as a bound check box does (VT_BOOL, raw format); the provider's answer.
    HRESULT CheckBox(LONG row, LONG column, bool checked);
    HRESULT SetCell(LONG row, LONG column, const Variant& value, OSPFORMAT format = OSPFORMAT_RAW);

    // The recorded calls, oldest first: "msDataSourceObject(\"\")", "insertedRows(2,1)", ...
    const std::vector<std::wstring>& Calls() const noexcept { return calls_; }
    void ClearCalls() { calls_.clear(); }
    // Notifications that did not fit the mirror, and failures while following them.
    const std::vector<std::wstring>& Errors() const noexcept { return errors_; }

    // The mirror: RowCount() data rows below the header row 0, ColumnCount() columns; cells
    // 1-based as the provider numbers them. A cell that could not be read holds VT_ERROR.
    LONG RowCount() const noexcept { return slots_.empty() ? 0 : static_cast<LONG>(slots_.size()) - 1; }
    LONG ColumnCount() const noexcept { return columns_; }
    const Variant& Cell(LONG row, LONG column) const;
    std::wstring CellText(LONG row, LONG column) const;
    // The 1-based column whose header is `name` (ASCII case ignored); 0 if none.
    LONG ColumnOf(std::wstring_view name) const;

    OLEDBSimpleProvider* Provider() const noexcept { return provider_.Get(); }
    // Reads the whole table again from the provider.
    void Reload();

private:
    friend class BindingListener;
    void Record(std::wstring call) { calls_.push_back(std::move(call)); }
    void Error(std::wstring text) { errors_.push_back(std::move(text)); }
    void AcquireProvider();
    // Reads the provider's `row` into ColumnCount() cells; false when a reload nested in the
    // reads replaced the mirror meanwhile (the cells are then left as they are).
    bool ReadRow(LONG row, std::vector<Variant>& into, size_t at);
    Variant& SlotCell(size_t slot, LONG column) { return cells_[slot * static_cast<size_t>(columns_) + static_cast<size_t>(column - 1)]; }
    size_t TakeSlot();

    // Listener calls
    void OnCellChanged(LONG row, LONG column);
    void OnDeletedRows(LONG row, LONG count);
    void OnInsertedRows(LONG row, LONG count);
    void OnTableChanged();
    void OnDataMemberChanged();

    ComPtr<IDispatch> control_;
    OSPFORMAT format_;
    ComPtr<BindingListener> listener_;
    ComPtr<OLEDBSimpleProvider> provider_;
    // The mirror's cells in one block, ColumnCount() per slot; slots_[row] is the slot of each
    // row from the header row 0 down, and slots of deleted rows are reused. One allocation
    // for the whole table instead of one per row.
    std::vector<Variant> cells_;
    std::vector<size_t> slots_, freeSlots_;
    LONG columns_ = 0;
    unsigned reloads_ = 0;
    int acquiring_ = 0;
    std::vector<std::wstring> calls_;
    std::vector<std::wstring> errors_;
};

}  // namespace kv::browser
