#include "framework/record_set.h"

#include <algorithm>
#include <cwctype>
#include <iterator>
#include <unordered_set>

#include "platform/raii.h"

namespace kv {

namespace {

constexpr long kStateNotFiltered = 0;
constexpr long kStateAccepted = 1;

// A one-dimensional SAFEARRAY held by a VARIANT (by value or by reference), accessed for one
// scope, with typed element reads that reject elements of the wrong type.
class SnapshotArray {
public:
    explicit SnapshotArray(const VARIANT& holder) : sa_(ArrayOf(holder)), data_(sa_) {
        if (SafeArrayGetDim(sa_) != 1) ThrowHr(E_INVALIDARG);
        LONG lower = 0, upper = -1;
        ThrowIfFailed(SafeArrayGetLBound(sa_, 1, &lower));
        ThrowIfFailed(SafeArrayGetUBound(sa_, 1, &upper));
        length_ = upper >= lower ? static_cast<long>(upper - lower + 1) : 0;
        if (FAILED(SafeArrayGetVartype(sa_, &vt_))) {
            if (sa_->fFeatures & FADF_VARIANT) vt_ = VT_VARIANT;
            else if (sa_->fFeatures & FADF_BSTR) vt_ = VT_BSTR;
            else ThrowHr(E_INVALIDARG);
        }
        size_t want = vt_ == VT_VARIANT ? sizeof(VARIANT) : vt_ == VT_BSTR ? sizeof(BSTR) : vt_ == VT_I4 ? sizeof(LONG) : 0;
        if (want == 0 || sa_->cbElements != want) ThrowHr(E_INVALIDARG);
    }
    long Length() const noexcept { return length_; }

    const VARIANT& Variant(long i) const {
        if (vt_ != VT_VARIANT) ThrowHr(E_INVALIDARG);
        return reinterpret_cast<const VARIANT*>(data_.data())[Checked(i)];
    }
    LONG Id(long i) const {
        if (vt_ == VT_I4) return reinterpret_cast<const LONG*>(data_.data())[Checked(i)];
        const VARIANT& v = Variant(i);
        if (v.vt != VT_I4) ThrowHr(E_INVALIDARG);
        return v.lVal;
    }
    BSTR String(long i) const {
        if (vt_ == VT_BSTR) return reinterpret_cast<BSTR const*>(data_.data())[Checked(i)];
        const VARIANT& v = Variant(i);
        if (v.vt != VT_BSTR) ThrowHr(E_INVALIDARG);
        return v.bstrVal;
    }

private:
    static SAFEARRAY* ArrayOf(const VARIANT& v) {
        if (!(v.vt & VT_ARRAY)) ThrowHr(E_INVALIDARG);
        SAFEARRAY* sa = (v.vt & VT_BYREF) ? (v.pparray ? *v.pparray : nullptr) : v.parray;
        if (!sa) ThrowHr(E_INVALIDARG);
        return sa;
    }
    size_t Checked(long i) const {
        if (i < 0 || i >= length_) ThrowHr(E_INVALIDARG);
        return static_cast<size_t>(i);
    }

    SAFEARRAY* sa_;
    SafeArrayData<BYTE> data_;
    long length_ = 0;
    VARTYPE vt_ = VT_EMPTY;
};

VARIANT I4Cell(LONG value) noexcept {
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

}  // namespace

std::wstring NormaliseColumnName(std::wstring_view name) {
    std::wstring out(name);
    for (auto& c : out) {
        if (std::iswspace(c)) c = L'_';
        else if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
    }
    return out;
}

RecordSet::RecordSet(ComPtr<IClientChannel> channel, ComPtr<ValueConverter> converter,
                     std::shared_ptr<DerivedCells> derived)
    : context_(std::make_shared<RowContext>()),
      converter_(std::move(converter)),
      columns_(MakeObject<ColumnDictionary>()),
      derived_(std::move(derived)) {
    context_->channel = std::move(channel);
    if (!converter_) converter_ = MakeObject<ValueConverter>(nullptr);
    fixed_.internalSort = columns_->Add(L"INTERNAL_SORT");
    fixed_.internalState = columns_->Add(L"INTERNAL_STATE");
    fixed_.id = columns_->Add(L"ID");
    fixed_.icon = columns_->Add(L"ICON");
    loaded_ = true;

    long flags = 0;
    if (context_->channel) ThrowIfFailed(context_->channel->GetFlags(&flags));
    fixed_.type = columns_->Add(L"TYPE");
    fixed_.url = columns_->Add(L"URL");
    fixed_.text = columns_->Add(L"TEXT");
    fixed_.storyLocal = columns_->Add(L"STORY_LOCAL");
    if (!(flags & kChannelFlagNoParcels)) {
        fixed_.parcelType = columns_->Add(L"PARCEL_TYPE");
        fixed_.keep = columns_->Add(L"KEEP");
    }
}

bool RecordSet::LoadFromChannel(long idCount, const LONG* ids) {
    ComPtr<IClientChannel2> channel2;
    ThrowIfFailed(ThrowIfNull(Channel(), E_POINTER)->QueryInterface(IID_PPV_ARGS(&channel2)));
    Variant snapshot;
    ThrowIfFailed(channel2->GetStorySnapshot(1, 1, snapshot.put()));
    return Load(*snapshot.get(), idCount, ids);
}

bool RecordSet::Load(const VARIANT& snapshot, long idCount, const LONG* ids) {
    loaded_ = false;
    struct Finish {
        bool& loaded;
        ~Finish() { loaded = true; }
    } finish{loaded_};
    if (snapshot.vt == VT_EMPTY || snapshot.vt == VT_NULL) return false;
    if (idCount < 0 || (idCount > 0 && !ids)) ThrowHr(E_INVALIDARG);

    SnapshotArray outer(snapshot);
    if (outer.Length() < 3) ThrowHr(E_INVALIDARG);
    bool added = LoadPart(outer.Variant(2), idCount, ids);
    loaded_ = true;
    added |= LoadPart(outer.Variant(1), idCount, ids);
    return added;
}

bool RecordSet::LoadPart(const VARIANT& part, long idCount, const LONG* ids) {
    SnapshotArray inner(part);
    if (inner.Length() < 3) ThrowHr(E_INVALIDARG);
    SnapshotArray idArray(inner.Variant(0)), names(inner.Variant(1)), values(inner.Variant(2));

    std::unordered_set<LONG> wanted;
    if (idCount > 8) wanted.insert(ids, ids + idCount);
    auto isWanted = [&](LONG id) {
        if (idCount == 0) return true;
        if (idCount > 8) return wanted.count(id) != 0;
        return std::find(ids, ids + idCount, id) != ids + idCount;
    };

    bool added = false;
    for (long i = 0; i < idArray.Length(); ++i) {
        LONG id = idArray.Id(i);
        if (!isWanted(id)) continue;
        BSTR name = names.String(i);
        VARIANT value;  // borrows the snapshot's string; conversions copy what they keep
        value.vt = VT_BSTR;
        value.bstrVal = values.String(i);
        added |= SetProperty(id, std::wstring_view(name ? name : L"", SysStringLen(name)), value);
    }
    return added;
}

long RecordSet::ColumnFor(std::wstring_view rawName, bool& added) {
    std::wstring key(rawName);
    auto hit = rawNames_.find(key);
    if (hit != rawNames_.end()) return hit->second;
    std::wstring normalised = NormaliseColumnName(rawName);
    long index = columns_->Find(normalised);
    if (index < 0) {
        index = columns_->Add(normalised);
        added = true;
    }
    rawNames_.emplace(std::move(key), index);
    return index;
}

Conversion RecordSet::RuleFor(long column) {
    while (static_cast<long>(rules_.size()) <= column)
        rules_.push_back(ConversionFor(columns_->Name(static_cast<long>(rules_.size()))));
    return rules_[static_cast<size_t>(column)];
}

bool RecordSet::SetProperty(LONG id, std::wstring_view name, const VARIANT& value) {
    bool added = false;
    long index = ColumnFor(name, added);

    Row* row;
    if (FindRow(id) == 0) {
        ComPtr<Row> fresh = MakeObject<Row>(context_, id, fixed_.id);
        row = fresh.Get();
        rows_.push_front(std::move(fresh));
        byId_.emplace(id, Entry{row, --base_});
        cursor_ = 0;
    } else {
        row = rows_[static_cast<size_t>(cursor_)].Get();
    }

    row->SetCell(fixed_.internalState, I4Cell(kStateNotFiltered), 0);
    Variant converted = converter_->Convert(RuleFor(index), value);
    row->TakeCell(index, *converted.get(), static_cast<size_t>(ColumnCount()));
    if (loaded_ && derived_) derived_->Update(*this, *row);
    return added;
}

long RecordSet::FindRow(LONG id) {
    auto it = byId_.find(id);
    if (it == byId_.end()) {
        cursor_ = 0;
        return 0;
    }
    cursor_ = static_cast<long>(it->second.slot - base_);
    return cursor_ + 1;
}

void RecordSet::GetCell(long row, long column, VARIANT* out) {
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

ComPtr<Row> RecordSet::RowAt(long position) {
    if (position < 1 || position > RowCount()) ThrowHr(E_INVALIDARG);
    cursor_ = position - 1;
    return rows_[static_cast<size_t>(cursor_)];
}

void RecordSet::DeleteRow(long position) {
    if (position < 1 || position > RowCount()) ThrowHr(E_INVALIDARG);
    size_t at = static_cast<size_t>(position - 1);
    byId_.erase(rows_[at]->Id());
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(at));
    Renumber(at);
    cursor_ = at < rows_.size() ? static_cast<long>(at) : 0;
}

void RecordSet::ResetStates() {
    for (auto& row : rows_) row->SetCell(fixed_.internalState, I4Cell(kStateNotFiltered), 0);
}

void RecordSet::Renumber(size_t from) noexcept {
    for (size_t i = from; i < rows_.size(); ++i) {
        auto it = byId_.find(rows_[i]->Id());
        if (it != byId_.end()) it->second.slot = base_ + static_cast<int64_t>(i);
    }
}

void RecordSet::Rebuild(std::vector<ComPtr<Row>>&& rows) {
    rows_.assign(std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    base_ = 0;
    Renumber(0);
    cursor_ = 0;
}

void RecordSet::FilterAndSort(const RowFilter& filter, SortOrder* sortOrder) {
    Variant order;
    if (sortOrder) order = Variant::Unknown(sortOrder->Unknown());
    auto notFiltered = [this](const Row& row) {
        const VARIANT& state = row.CellRef(fixed_.internalState);
        return !(state.vt == VT_I4 && state.lVal != kStateNotFiltered);
    };

    // The filter runs page script, which may read (or even change) the table meanwhile: walk a
    // copy, remember the rejected rows, and take them out afterwards.
    std::unordered_set<const Row*> rejected;
    auto finish = [&] {
        if (!rejected.empty()) {
            std::vector<ComPtr<Row>> kept;
            kept.reserve(rows_.size());
            for (auto& row : rows_) {
                if (rejected.count(row.Get())) byId_.erase(row->Id());
                else kept.push_back(std::move(row));
            }
            Rebuild(std::move(kept));
        }
        for (auto& row : rows_) {
            const VARIANT& current = row->CellRef(fixed_.internalSort);
            if (current.vt != order.vt() || (current.vt == VT_UNKNOWN && current.punkVal != order->punkVal))
                row->SetCell(fixed_.internalSort, *order.get(), 0);
        }
        cursor_ = 0;
    };
    if (filter) {
        std::vector<ComPtr<Row>> walk(rows_.begin(), rows_.end());
        try {
            for (auto& row : walk) {
                if (!notFiltered(*row.Get())) continue;
                auto present = byId_.find(row->Id());
                if (present == byId_.end() || present->second.row != row.Get()) continue;
                if (filter(Channel(), *row.Get()))
                    row->SetCell(fixed_.internalState, I4Cell(kStateAccepted), 0);
                else
                    rejected.insert(row.Get());
            }
        } catch (...) {
            finish();
            throw;
        }
    } else {
        for (auto& row : rows_)
            if (notFiltered(*row.Get())) row->SetCell(fixed_.internalState, I4Cell(kStateAccepted), 0);
    }
    finish();

    if (sortOrder) {
        std::vector<Row*> rows;
        rows.reserve(rows_.size());
        for (auto& row : rows_) rows.push_back(row.Get());
        std::vector<uint32_t> order = sortOrder->SortedOrder(rows);
        std::vector<ComPtr<Row>> sorted(rows_.size());
        for (size_t i = 0; i < sorted.size(); ++i) sorted[i] = std::move(rows_[order[i]]);
        std::move(sorted.begin(), sorted.end(), rows_.begin());
        base_ = 0;
        Renumber(0);
        cursor_ = 0;
    }
}

}  // namespace kv
