#include "kvreg/directory_cell_decorator.h"

#include "kvreg/directory_resource_ids.h"
#include "platform/comma_list.h"
#include "platform/raii.h"

namespace kv {

namespace {

// The flag's name: item 0 when bit 0 is set, item 1 (or nothing) when clear.
std::wstring FlagName(const std::vector<std::wstring>& names, LONG value) {
    size_t item = (value & 1) ? 0 : 1;
    return item < names.size() ? names[item] : std::wstring();
}

std::wstring Span(const wchar_t* cls, const std::wstring& text) {
    return L"<SPAN CLASS=" + std::wstring(cls) + L">" + text + L"</SPAN>";
}

}  // namespace

DirectoryCellDecorator::DirectoryCellDecorator(HINSTANCE module, ComPtr<DirectoryRecordSet> table)
    : table_(std::move(table)),
      yes_(LoadStringResource(module, IDS_DIRECTORY_YES)),
      no_(LoadStringResource(module, IDS_DIRECTORY_NO)),
      typeNames_(LoadCommaList(module, IDS_TYPE_NAMES)),
      stateNames_(LoadCommaList(module, IDS_STATE_NAMES)),
      attributeNames_(LoadCommaList(module, IDS_ATTRIBUTE_NAMES)) {
    const DirectoryColumnTable& columns = table_->ColumnTable();
    typeColumn_ = columns.IndexOf(kFieldTypeFlags);
    stateColumn_ = columns.IndexOf(kFieldStateFlags);
    attributeColumn_ = columns.IndexOf(kFieldAttributeFlags);
}

std::wstring DirectoryCellDecorator::Text(const VARIANT& cell, long index) const {
    switch (cell.vt) {
        case VT_BSTR:
            return std::wstring(cell.bstrVal ? cell.bstrVal : L"", SysStringLen(cell.bstrVal));
        case VT_BOOL:
            return cell.boolVal != VARIANT_FALSE ? yes_ : no_;
        case VT_EMPTY:
        case VT_NULL:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return std::wstring();
        case VT_I4:
            if (index == typeColumn_) return FlagName(typeNames_, cell.lVal);
            if (index == stateColumn_) return FlagName(stateNames_, cell.lVal);
            if (index == attributeColumn_) return (cell.lVal & 1) ? FlagName(attributeNames_, 1) : std::wstring();
            break;
        default:
            break;
    }
    Variant text;
    ThrowIfFailed(VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&cell), LOCALE_USER_DEFAULT, 0, VT_BSTR));
    return std::wstring(text->bstrVal ? text->bstrVal : L"", SysStringLen(text->bstrVal));
}

void DirectoryCellDecorator::Decorate(VARIANT* cell, long embellish, long row, long column) {
    const long index = column - 1;
    std::wstring text = Text(*cell, index);
    if (embellish & (kEmbellishSubscribe | kEmbellishNew)) {
        ComPtr<Row> entry = table_->RowAt(row);
        if (embellish & kEmbellishSubscribe) {
            const VARIANT& subscribed = entry->CellRef(table_->ColumnTable().FirstExtra());
            bool on = subscribed.vt == VT_BOOL && subscribed.boolVal != VARIANT_FALSE;
            text = Span(on ? L"subscribed" : L"unsubscribed", text);
        }
        if (embellish & kEmbellishNew) {
            const VARIANT& flags = entry->CellRef(attributeColumn_);
            LONG value = 0;
            if (flags.vt != VT_EMPTY && flags.vt != VT_NULL) {
                try {
                    value = CellAsLong(flags);
                } catch (...) {
                }
            }
            if (value & 1) text = Span(L"newchannel", text);
        }
    }
    VariantClear(cell);
    cell->bstrVal = Bstr(text).Detach();
    cell->vt = VT_BSTR;
}

}  // namespace kv
