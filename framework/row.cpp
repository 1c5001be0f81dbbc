#include "framework/row.h"

#include <atomic>

#include "framework/sort_order.h"
#include "platform/raii.h"

namespace kv {

namespace {
std::atomic<uint64_t> g_nextIdentity{1};
const VARIANT kEmptyCell = [] {
    VARIANT v;
    VariantInit(&v);
    return v;
}();
}  // namespace

Row::Row(std::shared_ptr<RowContext> context, LONG id, long idColumn)
    : context_(std::move(context)), id_(id), identity_(g_nextIdentity.fetch_add(1)) {
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = id;
    SetCell(idColumn, v, 8);
}

Row::~Row() {
    for (auto& cell : cells_) VariantClear(&cell);
}

bool Row::Compare(const Row& other) const {
    SortOrder* order = SortOrder::FromCell(CellRef(0));
    if (order) return order->Compare(*this, other);
    return identity_ > other.identity_;
}

const VARIANT& Row::EmptyCell() noexcept { return kEmptyCell; }

void Row::GetCell(long index, VARIANT* out) const {
    if (index < 0 || index >= CellCount()) return;
    std::shared_ptr<CellReadGuard> guard = context_->guard;
    if (!guard) {
        ThrowIfFailed(VariantCopy(out, const_cast<VARIANT*>(&cells_[static_cast<size_t>(index)])));
        return;
    }
    // The guard may ask the user, and the thread's messages flow meanwhile: handlers may change
    // this cell, drop this row or replace the guard. It is asked about a copy taken before, and
    // that copy is what a permitted read hands out.
    ComPtr<Row> keepAlive(const_cast<Row*>(this));
    Variant cell(cells_[static_cast<size_t>(index)]);
    if (!guard->PermitRead(*this, index, *cell.get())) {
        VariantClear(out);
        out->vt = VT_BOOL;
        out->boolVal = VARIANT_FALSE;
        return;
    }
    VariantClear(out);
    cell.Detach(out);
}

VARIANT& Row::Slot(long index, size_t capacityHint) {
    if (index < 0) ThrowHr(E_INVALIDARG);
    if (cells_.capacity() < capacityHint) cells_.reserve(capacityHint);
    if (static_cast<size_t>(index) >= cells_.size()) {
        VARIANT empty;
        VariantInit(&empty);
        cells_.resize(static_cast<size_t>(index) + 1, empty);
    }
    return cells_[static_cast<size_t>(index)];
}

void Row::SetCell(long index, const VARIANT& value, size_t capacityHint) {
    ThrowIfFailed(VariantCopy(&Slot(index, capacityHint), const_cast<VARIANT*>(&value)));
}

void Row::TakeCell(long index, VARIANT& value, size_t capacityHint) {
    VARIANT& slot = Slot(index, capacityHint);
    VariantClear(&slot);
    slot = value;
    VariantInit(&value);
}

}  // namespace kv
