// The fixed columns of the channel directory table: the computed columns (list 103), one column
// per directory field the client delivers (list 104, field ids 0 ... 44) and the extra columns
// (list 105, field ids from 4096: IS_SUBSCRIBED, the one column the binding may write). The
// internal index of a column is its position; the binding sees it plus 1.
// Immutable once built; shared by a table, its decorator and its entry objects.
#pragma once

#include <windows.h>

#include "framework/column_dictionary.h"
#include "platform/com_object.h"

namespace kv {

// Field ids the control itself looks at.
enum : LONG {
    kFieldChannelId = 0,
    kFieldName = 1,
    kFieldTypeFlags = 3,
    kFieldStateFlags = 4,
    kFieldAttributeFlags = 5,
    kFieldCategories = 8,
    kFieldTimeAdded = 38,
    kFieldFirstExtra = 4096,
};

class DirectoryColumnTable {
public:
    // Loads the three lists from `module`'s string resources; throws as LoadCommaList does.
    explicit DirectoryColumnTable(HINSTANCE module);

    long Count() const noexcept { return columns_->Count(); }
    // The column of a delivered field, or -1 when the field has none.
    long IndexOf(LONG fieldId) const noexcept;
    // The index of `name` (ASCII case-insensitive; every name is upper case), or -1.
    long Find(std::wstring_view name) const { return columns_->Find(name); }
    const std::wstring& Name(long index) const { return columns_->Name(index); }
    // True for the extra columns.
    bool IsWritable(long index) const noexcept { return index >= firstExtra_ && index < Count(); }

    long InternalState() const noexcept { return 1; }
    long EntryCategory() const noexcept { return computed_ - 1; }
    long FirstExtra() const noexcept { return firstExtra_; }
    ComPtr<ColumnDictionary> Dictionary() const noexcept { return columns_; }

private:
    ComPtr<ColumnDictionary> columns_;
    long computed_ = 0;
    long fields_ = 0;
    long firstExtra_ = 0;
};

}  // namespace kv
