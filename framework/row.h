// One story of a story table: its ID, a creation identity, and a growable vector of cells
// indexed by internal column index. A cell beyond the vector reads as VT_EMPTY.
//
// Rows are shared with their RecordSet and with any story object a page holds, so a row stays
// readable after the table dropped it. Every read of a cell on behalf of a page (the data
// binding, story objects, the decorator's READ/ALERTED lookups) goes through GetCell, which
// consults the table's CellReadGuard; sorting and derived columns read CellRef directly.
// One thread (the control's).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "framework/table_heap.h"
#include "korvane_client.h"
#include "platform/com_object.h"
#include "platform/raii.h"

namespace kv {

class Row;

// The hook every page-facing cell read passes: the story control installs one that asks the
// user before an executable attachment is handed out. PermitRead returning false makes the
// read yield VT_BOOL FALSE; a failure is thrown as the HRESULT-carrying exception.
class CellReadGuard {
public:
    virtual ~CellReadGuard() = default;
    virtual bool PermitRead(const Row& row, long index, const VARIANT& cell) = 0;
    // False when PermitRead would permit `cell` at once, without asking anyone or letting
    // messages flow: the read may then use the stored cell in place instead of a copy.
    virtual bool MayRefuse(const Row& row, long index, const VARIANT& cell) {
        (void)row, (void)index, (void)cell;
        return true;
    }
};

// What every row of one table shares: the client's channel, the installed guard, and the
// table's column count, which a new row reserves cells for at once.
struct RowContext {
    ComPtr<IClientChannel> channel;
    std::shared_ptr<CellReadGuard> guard;
    size_t width = 8;
};

class Row : public ComObject<Row, IUnknown> {
public:
    Row(std::shared_ptr<RowContext> context, LONG id, long idColumn);
    ~Row() override;
    // Rows live in the table heap.
    static void* operator new(size_t bytes) { return TableHeapAlloc(bytes); }
    static void operator delete(void* block, size_t bytes) noexcept { TableHeapFree(block, bytes); }

    bool IsSame(const Row& other) const noexcept { return this == &other; }
    // True when this row goes after `other` under the sort order stored in the INTERNAL_SORT
    // cell (column 0); without one, by identity alone.
    bool Compare(const Row& other) const;

    LONG Id() const noexcept { return id_; }
    // Fixed and unique for the row's lifetime (creation order); completes every sort.
    uint64_t Identity() const noexcept { return identity_; }
    IClientChannel* Channel() const noexcept { return context_->channel.Get(); }

    long CellCount() const noexcept { return static_cast<long>(cells_.size()); }
    // The stored cell, or an empty VARIANT beyond the vector.
    const VARIANT& CellRef(long index) const noexcept {
        return index >= 0 && index < CellCount() ? cells_[static_cast<size_t>(index)] : EmptyCell();
    }
    // Copies the cell into `out` through the guard; leaves `out` untouched beyond the vector.
    void GetCell(long index, VARIANT* out) const;
    // The cell as a permitted read sees it: the stored cell itself when the guard has nothing
    // to ask, otherwise `holder` with the copy the guard permitted (or VT_BOOL FALSE). Beyond
    // the vector, an empty VARIANT. The reference is valid until the row or `holder` changes.
    const VARIANT& PermittedCell(long index, Variant& holder) const;
    // The stored cell when the guard would permit it at once (an empty VARIANT beyond the
    // vector); null when the guard must be asked, which may let messages flow.
    const VARIANT* CellInPlace(long index) const {
        if (index < 0 || index >= CellCount()) return &EmptyCell();
        const VARIANT& stored = cells_[static_cast<size_t>(index)];
        if (context_->guard && context_->guard->MayRefuse(*this, index, stored)) return nullptr;
        return &stored;
    }
    // Copies `value` into the cell (the previous value is released), growing the vector.
    void SetCell(long index, const VARIANT& value, size_t capacityHint);
    // The same, taking ownership of `value` (left VT_EMPTY).
    void TakeCell(long index, VARIANT& value, size_t capacityHint);

private:
    static const VARIANT& EmptyCell() noexcept;
    VARIANT& Slot(long index, size_t capacityHint);

    std::shared_ptr<RowContext> context_;
    LONG id_;
    uint64_t identity_;
    std::vector<VARIANT, TableAllocator<VARIANT>> cells_;
};

// Copies `cell` into `out`, which holds nothing to release: values that own nothing are
// copied as they are, without a call into the platform.
void CopyCell(VARIANT* out, const VARIANT& cell);

}  // namespace kv
