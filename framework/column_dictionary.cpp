#include "framework/column_dictionary.h"

#include "platform/text.h"

namespace kv {

long ColumnDictionary::Add(std::wstring_view name) {
    long found = Find(name);
    if (found >= 0) return found;
    long index = Count();
    names_.emplace_back(name);
    index_.emplace(std::wstring(name), index);
    return index;
}

const std::wstring& ColumnDictionary::Name(long index) const {
    if (index < 0 || index >= Count()) ThrowHr(E_INVALIDARG);
    return names_[static_cast<size_t>(index)];
}

Bstr ColumnDictionary::NameAt(long index) const { return Bstr(Name(index)); }

long ColumnDictionary::Find(std::wstring_view name) const {
    auto it = index_.find(AsciiUpper(name));
    return it == index_.end() ? -1 : it->second;
}

}  // namespace kv
