// Turns a story table's typed cells into display text for the data binding's formatted and HTML
// reads: sizes in Bytes/KB/MB, booleans as Yes/No, numbers and dates in the user's format, and,
// as the control's Embellish flags ask, a SPAN whose class tells the page's style sheet whether
// the story is new, read or alerted. The ICON address is never wrapped. Created for one record
// set and kept by the control; the control's thread.
#pragma once

#include <windows.h>

#include <string>

#include "framework/data_provider.h"
#include "framework/record_set.h"

namespace kv {

// Embellish flags.
enum : long { kEmbellishNone = 0, kEmbellishRead = 1, kEmbellishAlert = 2, kEmbellishSize = 4 };

struct SizeUnits {
    std::wstring bytes, kilobytes, megabytes;
};
// Strings 103-105; E_FAIL when one is missing.
const SizeUnits& GetSizeUnits();

// "2047 Bytes", "2 KB", "1953 KB", "2 MB": KB from 2048 bytes, MB from 2048 KB.
std::wstring FormatSize(LONG bytes, const SizeUnits& units);
// The same, appended to `out`.
void AppendSize(std::wstring& out, LONG bytes, const SizeUnits& units);

class CellDecorator : public ComObject<CellDecorator, CellFormatter> {
public:
    explicit CellDecorator(ComPtr<RecordSet> table) : table_(std::move(table)) {}
    void Decorate(const VARIANT& cell, long embellish, long row, long column, VARIANT* out) override;

private:
    bool RowFlag(long row, const wchar_t* column) const;
    void Wrap(const wchar_t* cls);
    ComPtr<RecordSet> table_;
    // Reused from cell to cell, so that decorating allocates only the text it hands out.
    std::wstring text_, wrapped_;
};

inline ComPtr<CellDecorator> CreateCellDecorator(ComPtr<RecordSet> table) {
    return MakeObject<CellDecorator>(std::move(table));
}

}  // namespace kv
