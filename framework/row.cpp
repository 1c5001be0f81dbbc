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
// Types whose value is the VARIANT itself: copying one owns and releases nothing.
bool IsPlain(VARTYPE vt) noexcept {
    switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE:
    case VT_ERROR: case VT_BOOL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT:
        return true;
    default:
        return false;
    }
}

}  // namespace

Row::Row(std::shared_ptr<RowContext> context, LONG id, long idColumn)
    : context_(std::move(context)), id_(id), identity_(g_nextIdentity.fetch_add(1)) {
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = id;
    SetCell(idColumn, v, context_->width);
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
    if (!context_->guard) {
        ThrowIfFailed(VariantCopy(out, const_cast<VARIANT*>(&cells_[static_cast<size_t>(index)])));
        return;
    }
    Variant holder;
    const VARIANT& cell = PermittedCell(index, holder);
    if (&cell == holder.get()) {
        VariantClear(out);
        holder.Detach(out);
        return;
    }
    ThrowIfFailed(VariantCopy(out, const_cast<VARIANT*>(&cell)));
}

const VARIANT& Row::PermittedCell(long index, Variant& holder) const {
    if (index < 0 || index >= CellCount()) return EmptyCell();
    const VARIANT& stored = cells_[static_cast<size_t>(index)];
    if (!context_->guard || !context_->guard->MayRefuse(*this, index, stored)) return stored;
    // The guard may ask the user, and the thread's messages flow meanwhile: handlers may change
    // this cell, drop this row or replace the guard. It is asked about a copy taken before, and
    // that copy is what a permitted read hands out.
    std::shared_ptr<CellReadGuard> guard = context_->guard;
    ComPtr<Row> keepAlive(const_cast<Row*>(this));
    holder = Variant(stored);
    if (!guard->PermitRead(*this, index, *holder.get())) holder = Variant::Bool(false);
    return *holder.get();
}

void CopyCell(VARIANT* out, const VARIANT& cell) {
    if (IsPlain(cell.vt)) {
        *out = cell;
        return;
    }
    VariantInit(out);
    ThrowIfFailed(VariantCopy(out, const_cast<VARIANT*>(&cell)));
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
    VARIANT& slot = Slot(index, capacityHint);
    if (IsPlain(value.vt) && IsPlain(slot.vt)) {
        slot = value;  // what VariantCopy does for values that own nothing, without the calls
        return;
    }
    ThrowIfFailed(VariantCopy(&slot, const_cast<VARIANT*>(&value)));
}

void Row::TakeCell(long index, VARIANT& value, size_t capacityHint) {
    VARIANT& slot = Slot(index, capacityHint);
    VariantClear(&slot);
    slot = value;
    VariantInit(&value);
}

}  // namespace kv
