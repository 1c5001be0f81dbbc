#include "kvreg/directory_columns.h"

#include "kvreg/directory_resource_ids.h"
#include "platform/comma_list.h"

namespace kv {

DirectoryColumnTable::DirectoryColumnTable(HINSTANCE module) : columns_(MakeObject<ColumnDictionary>()) {
    auto computed = LoadCommaList(module, IDS_COMPUTED_COLUMNS);
    auto fields = LoadCommaList(module, IDS_FIELD_COLUMNS);
    auto extras = LoadCommaList(module, IDS_EXTRA_COLUMNS);
    // Column 0 is the sort order and 1 the filter state in every table of the framework.
    if (computed.size() < 3) ThrowHr(E_FAIL);
    computed_ = static_cast<long>(computed.size());
    fields_ = static_cast<long>(fields.size());
    firstExtra_ = computed_ + fields_;
    for (const auto* list : {&computed, &fields, &extras})
        for (const auto& name : *list) columns_->Add(name);
    if (Count() != firstExtra_ + static_cast<long>(extras.size())) ThrowHr(E_FAIL);  // a name listed twice
}

long DirectoryColumnTable::IndexOf(LONG fieldId) const noexcept {
    if (fieldId >= 0 && fieldId < fields_) return computed_ + fieldId;
    if (fieldId >= kFieldFirstExtra && fieldId - kFieldFirstExtra < Count() - firstExtra_)
        return firstExtra_ + (fieldId - kFieldFirstExtra);
    return -1;
}

}  // namespace kv
