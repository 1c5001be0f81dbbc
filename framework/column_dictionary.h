// The column names of a story table and their internal (0-based) indexes. A name keeps the
// index it was first added under for the life of the dictionary. Lookups fold ASCII a-z to
// upper case; names are stored as added, which the record set does in normalised upper case.
// Owned by its RecordSet (and by sort orders and decorators made from it); one thread.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com_object.h"
#include "platform/raii.h"

namespace kv {

class ColumnDictionary : public ComObject<ColumnDictionary, IUnknown> {
public:
    ColumnDictionary() { names_.reserve(8); }

    long Count() const noexcept { return static_cast<long>(names_.size()); }
    // The index of `name` when Find knows it; otherwise appends it and returns its new index.
    long Add(std::wstring_view name);
    // The stored name at `index`; E_INVALIDARG when out of range.
    Bstr NameAt(long index) const;
    const std::wstring& Name(long index) const;
    // The index of `name` (ASCII case-insensitive), or -1.
    long Find(std::wstring_view name) const;

private:
    std::vector<std::wstring> names_;
    std::map<std::wstring, long, std::less<>> index_;
};

}  // namespace kv
