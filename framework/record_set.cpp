#include "framework/record_set.h"

#include <algorithm>
#include <cwctype>
#include <iterator>
#include <unordered_set>

#include "platform/raii.h"

namespace kv {

namespace {

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
    : RowTable(std::make_shared<RowContext>(), MakeObject<ColumnDictionary>()),
      converter_(std::move(converter)),
      derived_(std::move(derived)) {
    context_->channel = std::move(channel);
    if (!converter_) converter_ = MakeObject<ValueConverter>(nullptr);
    fixed_.internalSort = columns_->Add(L"INTERNAL_SORT");
    fixed_.internalState = columns_->Add(L"INTERNAL_STATE");
    SetStateColumn(fixed_.internalState);
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
    context_->width = static_cast<size_t>(ColumnCount());
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
    auto hit = rawNames_.find(rawName);
    if (hit != rawNames_.end()) return hit->second;
    std::wstring normalised = NormaliseColumnName(rawName);
    long index = columns_->Find(normalised);
    if (index < 0) {
        index = columns_->Add(normalised);
        context_->width = static_cast<size_t>(ColumnCount());
        added = true;
    }
    rawNames_.emplace(std::wstring(rawName), index);
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

    Row* row = FindRow(id) == 0 ? &InsertFront(MakeObject<Row>(context_, id, fixed_.id)) : &CursorRow();

    row->SetCell(fixed_.internalState, I4Cell(kRowNotFiltered), 0);
    Variant converted = converter_->Convert(RuleFor(index), value);
    row->TakeCell(index, *converted.get(), static_cast<size_t>(ColumnCount()));
    if (loaded_ && derived_) derived_->Update(*this, *row);
    return added;
}

void RecordSet::FilterAndSort(const RowFilter& filter, SortOrder* sortOrder) {
    if (!filter) return RowTable::FilterAndSort(nullptr, sortOrder);
    RowTable::FilterAndSort([&](Row& row) { return filter(Channel(), row); }, sortOrder);
}

}  // namespace kv
