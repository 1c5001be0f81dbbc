// Turns a directory cell into display text for the formatted and HTML reads of the binding:
// Yes/No for booleans, flag names for TYPE_FLAGS, STATE_FLAGS and ATTRIBUTE_FLAGS, the standard
// text conversion for the rest (the sort order and null cells read as empty text). With
// EMBELLISH_SUBSCRIBE the text is wrapped in a span of class "subscribed" or "unsubscribed";
// with EMBELLISH_NEW, an entry flagged new is wrapped (again) in a span of class "newchannel".
// Texts come from the module's string resources, loaded when the decorator is made.
// One per table; the control's thread only.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "framework/data_provider.h"
#include "kvreg/directory_record_set.h"

namespace kv {

enum : long { kEmbellishSubscribe = 1, kEmbellishNew = 2 };

class DirectoryCellDecorator : public ComObject<DirectoryCellDecorator, CellFormatter> {
public:
    DirectoryCellDecorator(HINSTANCE module, ComPtr<DirectoryRecordSet> table);

    void Decorate(const VARIANT& cell, long embellish, long row, long column, VARIANT* out) override;
    // The display text of one cell of the internal column `index`.
    std::wstring Text(const VARIANT& cell, long index) const;

private:
    void AppendText(std::wstring& out, const VARIANT& cell, long index) const;
    void Wrap(const wchar_t* cls);

    ComPtr<DirectoryRecordSet> table_;
    std::wstring yes_, no_;
    std::vector<std::wstring> typeNames_, stateNames_, attributeNames_;
    long typeColumn_ = -1, stateColumn_ = -1, attributeColumn_ = -1;
    // Reused from cell to cell, so that decorating allocates only the text it hands out.
    std::wstring text_, wrapped_;
};

}  // namespace kv
