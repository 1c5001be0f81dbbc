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

void AppendText(std::wstring& out, const VARIANT& v) {
    Variant text;
    ThrowIfFailed(VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&v), LOCALE_USER_DEFAULT, 0, VT_BSTR));
    out.append(text->bstrVal ? text->bstrVal : L"", SysStringLen(text->bstrVal));
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
    std::wstring text;
    AppendSize(text, bytes, units);
    return text;
}

void AppendSize(std::wstring& out, LONG bytes, const SizeUnits& units) {
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
    wchar_t digits[16];
    out.append(digits, static_cast<size_t>(swprintf(digits, 16, L"%ld", static_cast<long>(n))));
    out += L' ';
    out += *unit;
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

void CellDecorator::Wrap(const wchar_t* cls) {
    wrapped_.assign(L"<SPAN CLASS=").append(cls).append(L">").append(text_).append(L"</SPAN>");
    text_.swap(wrapped_);
}

void CellDecorator::Decorate(const VARIANT& cell, long embellish, long row, long column, VARIANT* out) {
    const long index = column - 1;
    const bool isIcon = index == table_->Fixed().icon;
    // The text is taken from the cell before the row's flags are read: reading them may let
    // messages flow, and `cell` may be the stored cell itself.
    text_.clear();
    switch (cell.vt) {
    case VT_I4:
        if ((embellish & kEmbellishSize) && EndsWithSize(table_->Columns().Name(index)))
            AppendSize(text_, cell.lVal, GetSizeUnits());
        else
            AppendText(text_, cell);
        break;
    case VT_BSTR:
        if (isIcon) {
            ThrowIfFailed(VariantCopy(out, const_cast<VARIANT*>(&cell)));
            return;
        }
        text_.assign(cell.bstrVal ? cell.bstrVal : L"", SysStringLen(cell.bstrVal));
        break;
    case VT_BOOL: text_ = YesNo()[cell.boolVal != VARIANT_FALSE ? 0 : 1]; break;
    case VT_UNKNOWN:
        // The INTERNAL_SORT cell refers to the sort order, which has no text; reading every
        // column of a row must not fail on it.
        break;
    default: AppendText(text_, cell); break;
    }
    if (!isIcon) {
        if (embellish & kEmbellishRead) Wrap(RowFlag(row, L"READ") ? L"story" : L"newstory");
        if ((embellish & kEmbellishAlert) && RowFlag(row, L"ALERTED")) Wrap(L"alertedstory");
    }
    BSTR text = SysAllocStringLen(text_.data(), static_cast<UINT>(text_.size()));
    if (!text) ThrowHr(E_OUTOFMEMORY);
    VariantClear(out);
    out->vt = VT_BSTR;
    out->bstrVal = text;
}

}  // namespace kv
