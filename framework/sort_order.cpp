#include "framework/sort_order.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <type_traits>

#include "framework/row.h"

namespace kv {

namespace {

// Identifies a SortOrder behind an IUnknown held in a cell; answered only in-process.
const IID kSortOrderIdentity = {0x5d3c7a61, 0x2f0e, 0x4b8a, {0x9c, 0x41, 0x6e, 0x0b, 0x7d, 0x93, 0x12, 0xa4}};

bool IsMissing(const VARIANT& v) noexcept { return v.vt == VT_EMPTY || v.vt == VT_NULL; }

wchar_t FoldLower(wchar_t c) noexcept { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

int CompareStrings(BSTR a, BSTR b, bool caseSensitive) noexcept {
    UINT na = SysStringLen(a), nb = SysStringLen(b);
    UINT n = na < nb ? na : nb;
    for (UINT i = 0; i < n; ++i) {
        wchar_t x = a[i], y = b[i];
        if (!caseSensitive) {
            x = FoldLower(x);
            y = FoldLower(y);
        }
        if (x != y) return x < y ? -1 : 1;
    }
    return na == nb ? 0 : (na < nb ? -1 : 1);
}

template <class T>
int Order(T a, T b) noexcept {
    return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

int CompareCells(const VARIANT& a, const VARIANT& b, bool caseSensitive) noexcept {
    if (IsMissing(a)) return IsMissing(b) ? 0 : -1;
    if (IsMissing(b)) return 1;
    if (a.vt != b.vt) return -1;
    switch (a.vt) {
    case VT_I4: return Order(a.lVal, b.lVal);
    case VT_R8: return Order(a.dblVal, b.dblVal);
    case VT_DATE: return Order(a.date, b.date);
    case VT_BSTR: return CompareStrings(a.bstrVal, b.bstrVal, caseSensitive);
    case VT_BOOL: return Order(a.boolVal != 0, b.boolVal != 0);
    default: return 0;
    }
}

void SortOrder::Parse(std::wstring_view expression, bool caseSensitive) {
    keys_.clear();
    std::wstring text(expression);
    for (auto& c : text)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
    size_t i = 0, n = text.size();
    while (i < n) {
        bool ascending = true;
        while (i < n && (text[i] == L';' || std::iswspace(text[i]))) ++i;
        if (i < n && (text[i] == L'+' || text[i] == L'-')) {
            ascending = text[i] == L'+';
            ++i;
            while (i < n && std::iswspace(text[i])) ++i;
        }
        size_t end = text.find(L';', i);
        if (end == std::wstring::npos) end = n;
        size_t last = end;
        while (last > i && std::iswspace(text[last - 1])) --last;
        if (last > i) {
            long column = columns_->Find(std::wstring_view(text).substr(i, last - i));
            if (column >= 0) keys_.push_back({column, ascending});
        }
        i = end;
    }
    caseSensitive_ = caseSensitive;
}

bool SortOrder::Compare(const Row& rowA, const Row& rowB) const {
    for (const SortKey& key : keys_) {
        int c = CompareCells(rowA.CellRef(key.column), rowB.CellRef(key.column), caseSensitive_);
        if (c < 0) return !key.ascending;
        if (c > 0) return key.ascending;
    }
    return rowA.Identity() > rowB.Identity();
}

namespace {

// A key cell as the sort reads it: gathered once per row, so that a comparison reads neither the
// VARIANT's type rules nor the string's length prefix again. Missing cells (empty or null) have
// `vt` VT_EMPTY; numbers and booleans are held as a double; a string keeps its code units and
// its first four, folded when case is ignored, packed into `head` (0 past the end), which
// decides most comparisons of different strings alone. The string's storage stays the row's.
struct SortCell {
    union {
        const wchar_t* text;
        double number;
    };
    uint64_t head;
    UINT length;
    VARTYPE vt;
};

SortCell Prepare(const VARIANT& cell, bool caseSensitive) noexcept {
    SortCell out;
    out.number = 0;
    out.head = 0;
    out.length = 0;
    out.vt = IsMissing(cell) ? static_cast<VARTYPE>(VT_EMPTY) : cell.vt;
    switch (out.vt) {
    case VT_I4: out.number = cell.lVal; break;
    case VT_R8: out.number = cell.dblVal; break;
    case VT_DATE: out.number = cell.date; break;
    case VT_BOOL: out.number = cell.boolVal != 0 ? 1 : 0; break;
    case VT_BSTR:
        out.text = cell.bstrVal ? cell.bstrVal : L"";
        out.length = SysStringLen(cell.bstrVal);
        for (UINT i = 0; i < 4; ++i) {
            wchar_t c = i < out.length ? out.text[i] : L'\0';
            out.head = (out.head << 16) | static_cast<uint16_t>(caseSensitive ? c : FoldLower(c));
        }
        break;
    default: break;
    }
    return out;
}

// CompareCells on prepared cells.
int CompareSortCells(const SortCell& a, const SortCell& b, bool caseSensitive) noexcept {
    if (a.vt == VT_EMPTY) return b.vt == VT_EMPTY ? 0 : -1;
    if (b.vt == VT_EMPTY) return 1;
    if (a.vt != b.vt) return -1;
    switch (a.vt) {
    case VT_I4: case VT_R8: case VT_DATE: case VT_BOOL: return Order(a.number, b.number);
    case VT_BSTR: {
        if (a.head != b.head) return a.head < b.head ? -1 : 1;
        const UINT n = a.length < b.length ? a.length : b.length;
        if (a.length == b.length && std::wmemcmp(a.text, b.text, n) == 0) return 0;
        // The heads agree on the first units both strings have.
        for (UINT i = n < 4 ? n : 4; i < n; ++i) {
            wchar_t x = a.text[i], y = b.text[i];
            if (!caseSensitive) {
                x = FoldLower(x);
                y = FoldLower(y);
            }
            if (x != y) return x < y ? -1 : 1;
        }
        return a.length == b.length ? 0 : (a.length < b.length ? -1 : 1);
    }
    default: return 0;
    }
}

}  // namespace

TableVector<uint32_t> SortOrder::SortedOrder(const TableVector<Row*>& rows) const {
    // The comparison is Compare's, on values gathered once: each entry carries its first key
    // cell, prepared, and its identity, so that the merge passes read memory in order; further
    // keys, asked only on ties, are read from a side table as the rows hold them (shallow
    // copies that the rows keep owning), so that no string is read before a tie needs it.
    struct Entry {
        SortCell first;
        uint64_t identity;
        uint32_t index;
    };
    const size_t n = rows.size(), k = keys_.size();
    const bool caseSensitive = caseSensitive_;
    VARIANT empty;
    VariantInit(&empty);
    TableVector<Entry> entries(n);
    TableVector<VARIANT> more(k > 1 ? n * (k - 1) : 0);
    for (size_t i = 0; i < n; ++i) {
        entries[i] = {Prepare(k ? rows[i]->CellRef(keys_[0].column) : empty, caseSensitive), rows[i]->Identity(),
                      static_cast<uint32_t>(i)};
        for (size_t j = 1; j < k; ++j) more[i * (k - 1) + (j - 1)] = rows[i]->CellRef(keys_[j].column);
    }
    const auto& keys = keys_;
    // a is before b exactly when Compare(b, a) holds.
    auto before = [&](const auto& a, const auto& b, bool ascending, int& decided) {
        int c;
        if constexpr (std::is_same_v<std::decay_t<decltype(a)>, SortCell>) c = CompareSortCells(b, a, caseSensitive);
        else c = CompareCells(b, a, caseSensitive);
        decided = c;
        return c < 0 ? !ascending : ascending;
    };
    auto less = [&](const Entry& a, const Entry& b) {
        int decided = 0;
        if (k) {
            bool r = before(a.first, b.first, keys[0].ascending, decided);
            if (decided) return r;
            for (size_t j = 1; j < k; ++j) {
                r = before(more[a.index * (k - 1) + (j - 1)], more[b.index * (k - 1) + (j - 1)], keys[j].ascending,
                           decided);
                if (decided) return r;
            }
        }
        return a.identity < b.identity;
    };
    // A merge sort: it stays within bounds even for cells of mixed types, which do not order.
    std::stable_sort(entries.begin(), entries.end(), less);
    TableVector<uint32_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = entries[i].index;
    return order;
}

SortOrder* SortOrder::FromCell(const VARIANT& cell) noexcept {
    if (cell.vt != VT_UNKNOWN || !cell.punkVal) return nullptr;
    void* p = nullptr;
    if (FAILED(cell.punkVal->QueryInterface(kSortOrderIdentity, &p)) || !p) return nullptr;
    auto* order = static_cast<SortOrder*>(static_cast<IUnknown*>(p));
    order->Release();  // the cell keeps it alive
    return order;
}

void* SortOrder::QueryInterfaceExtra(REFIID riid) noexcept {
    return IsEqualIID(riid, kSortOrderIdentity) ? static_cast<IUnknown*>(this) : nullptr;
}

}  // namespace kv
