#include "kvreg/directory_cell_decorator.h"

#include "kvreg/directory_resource_ids.h"
#include "platform/comma_list.h"
#include "platform/raii.h"

namespace kv {

namespace {

// The flag's name: item 0 when bit 0 is set, item 1 (or nothing) when clear.
void AppendFlagName(std::wstring& out, const std::vector<std::wstring>& names, LONG value) {
    size_t item = (value & 1) ? 0 : 1;
    if (item < names.size()) out += names[item];
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
    std::wstring text;
    AppendText(text, cell, index);
    return text;
}

void DirectoryCellDecorator::AppendText(std::wstring& out, const VARIANT& cell, long index) const {
    switch (cell.vt) {
        case VT_BSTR:
            out.append(cell.bstrVal ? cell.bstrVal : L"", SysStringLen(cell.bstrVal));
            return;
        case VT_BOOL:
            out += cell.boolVal != VARIANT_FALSE ? yes_ : no_;
            return;
        case VT_EMPTY:
        case VT_NULL:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return;
        case VT_I4:
            if (index == typeColumn_) return AppendFlagName(out, typeNames_, cell.lVal);
            if (index == stateColumn_) return AppendFlagName(out, stateNames_, cell.lVal);
            if (index == attributeColumn_) {
                if (cell.lVal & 1) AppendFlagName(out, attributeNames_, 1);
                return;
            }
            break;
        default:
            break;
    }
    Variant text;
    ThrowIfFailed(VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&cell), LOCALE_USER_DEFAULT, 0, VT_BSTR));
    out.append(text->bstrVal ? text->bstrVal : L"", SysStringLen(text->bstrVal));
}

void DirectoryCellDecorator::Wrap(const wchar_t* cls) {
    wrapped_.assign(L"<SPAN CLASS=").append(cls).append(L">").append(text_).append(L"</SPAN>");
    text_.swap(wrapped_);
}

void DirectoryCellDecorator::Decorate(const VARIANT& cell, long embellish, long row, long column, VARIANT* out) {
    const long index = column - 1;
    text_.clear();
    AppendText(text_, cell, index);
    if (embellish & (kEmbellishSubscribe | kEmbellishNew)) {
        ComPtr<Row> entry = table_->RowAt(row);
        if (embellish & kEmbellishSubscribe) {
            const VARIANT& subscribed = entry->CellRef(table_->ColumnTable().FirstExtra());
            bool on = subscribed.vt == VT_BOOL && subscribed.boolVal != VARIANT_FALSE;
            Wrap(on ? L"subscribed" : L"unsubscribed");
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
            if (value & 1) Wrap(L"newchannel");
        }
    }
    BSTR text = SysAllocStringLen(text_.data(), static_cast<UINT>(text_.size()));
    if (!text) ThrowHr(E_OUTOFMEMORY);
    VariantClear(out);
    out->vt = VT_BSTR;
    out->bstrVal = text;
}

}  // namespace kv
