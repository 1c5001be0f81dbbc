#include "kvdc/cell_decorator.h"

#include <memory>
#include <mutex>

#include "kvdc/story_resource_ids.h"
#include "platform/comma_list.h"

namespace kv {

namespace {

std::mutex g_textsLock;
std::unique_ptr<SizeUnits> g_units;
std::unique_ptr<std::vector<std::wstring>> g_yesNo;

const std::vector<std::wstring>& YesNo() {
    std::lock_guard<std::mutex> lock(g_textsLock);
    if (!g_yesNo) {
        auto texts = std::make_unique<std::vector<std::wstring>>(LoadCommaList(ThisModule(), IDS_YES_NO));
        if (texts->size() < 2) ThrowHr(E_INVALIDARG);
        g_yesNo = std::move(texts);
    }
    return *g_yesNo;
}

std::wstring TextOf(const VARIANT& v) {
    Variant text;
    ThrowIfFailed(VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&v), LOCALE_USER_DEFAULT, 0, VT_BSTR));
    return std::wstring(text->bstrVal ? text->bstrVal : L"", SysStringLen(text->bstrVal));
}

std::wstring Span(const wchar_t* cls, const std::wstring& text) {
    return L"<SPAN CLASS=" + std::wstring(cls) + L">" + text + L"</SPAN>";
}

bool EndsWithSize(const std::wstring& name) {
    return name.size() > 5 && name.compare(name.size() - 5, 5, L"_SIZE") == 0;
}

}  // namespace

const SizeUnits& GetSizeUnits() {
    std::lock_guard<std::mutex> lock(g_textsLock);
    if (!g_units) {
        auto units = std::make_unique<SizeUnits>();
        try {
            units->bytes = LoadStringResource(ThisModule(), IDS_SIZE_BYTES);
            units->kilobytes = LoadStringResource(ThisModule(), IDS_SIZE_KB);
            units->megabytes = LoadStringResource(ThisModule(), IDS_SIZE_MB);
        } catch (const HResultError&) {
            ThrowHr(E_FAIL);
        }
        g_units = std::move(units);
    }
    return *g_units;
}

std::wstring FormatSize(LONG bytes, const SizeUnits& units) {
    LONG n = bytes;
    const std::wstring* unit = &units.bytes;
    if (bytes >= 2048) {
        n = bytes / 1024;
        unit = &units.kilobytes;
        if (n >= 2048) {
            n = bytes / 1048576;
            unit = &units.megabytes;
        }
    }
    return std::to_wstring(n) + L" " + *unit;
}

bool CellDecorator::RowFlag(long row, const wchar_t* column) const {
    const long index = table_->Columns().Find(column);
    if (index < 0) return false;
    Variant cell;
    table_->RowAt(row)->GetCell(index, cell.get());
    if (cell.vt() == VT_EMPTY) return false;
    cell.ChangeType(VT_BOOL);
    return cell->boolVal != VARIANT_FALSE;
}

void CellDecorator::Decorate(VARIANT* cell, long embellish, long row, long column) {
    const long index = column - 1;
    const bool isIcon = index == table_->Fixed().icon;
    std::wstring text;
    switch (cell->vt) {
    case VT_I4:
        if ((embellish & kEmbellishSize) && EndsWithSize(table_->Columns().Name(index)))
            text = FormatSize(cell->lVal, GetSizeUnits());
        else
            text = TextOf(*cell);
        break;
    case VT_BSTR:
        if (isIcon) return;
        text.assign(cell->bstrVal ? cell->bstrVal : L"", SysStringLen(cell->bstrVal));
        break;
    case VT_BOOL: text = YesNo()[cell->boolVal != VARIANT_FALSE ? 0 : 1]; break;
    case VT_UNKNOWN:
        // The INTERNAL_SORT cell refers to the sort order, which has no text; reading every
        // column of a row must not fail on it.
        break;
    default: text = TextOf(*cell); break;
    }
    if (!isIcon) {
        if (embellish & kEmbellishRead) text = Span(RowFlag(row, L"READ") ? L"story" : L"newstory", text);
        if ((embellish & kEmbellishAlert) && RowFlag(row, L"ALERTED")) text = Span(L"alertedstory", text);
    }
    Variant result = Variant::String(text);
    VariantClear(cell);
    result.Detach(cell);
}

}  // namespace kv
