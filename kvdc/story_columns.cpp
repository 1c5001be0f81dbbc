#include "kvdc/story_columns.h"

#include <memory>
#include <mutex>

#include "kvdc/story_resource_ids.h"
#include "platform/comma_list.h"
#include "platform/module_path.h"

namespace kv {

namespace {

std::mutex g_tablesLock;
std::unique_ptr<StoryTables> g_tables;

bool IsTrue(const VARIANT& v) noexcept { return v.vt == VT_BOOL && v.boolVal != VARIANT_FALSE; }

LONG IntegerOf(const VARIANT& v) {
    if (v.vt == VT_I4) return v.lVal;
    Variant copy;
    ThrowIfFailed(VariantChangeType(copy.get(), const_cast<VARIANT*>(&v), 0, VT_I4));
    return copy->lVal;
}

// Stores `text` unless the cell already holds exactly it (rows are updated once per property).
void SetText(Row& row, long index, const Bstr& text, size_t capacity) {
    const VARIANT& cell = row.CellRef(index);
    if (cell.vt == VT_BSTR && SysStringLen(cell.bstrVal) == text.Length() &&
        std::wstring_view(cell.bstrVal ? cell.bstrVal : L"", text.Length()) == text.view())
        return;
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = text.get();
    row.SetCell(index, v, capacity);
}

}  // namespace

const StoryTables& GetStoryTables() {
    std::lock_guard<std::mutex> lock(g_tablesLock);
    if (!g_tables) {
        auto tables = std::make_unique<StoryTables>();
        auto names = LoadCommaList(ThisModule(), IDS_STORY_TYPE_NAMES);
        if (names.size() < 5) ThrowHr(E_FAIL);
        for (int i = 0; i < 4; ++i) tables->typeNames[i] = Bstr(names[0]);
        for (int i = 4; i < kStoryTypeCount; ++i) tables->typeNames[i] = Bstr(names[static_cast<size_t>(i - 3)]);
        const std::wstring prefix = L"res://" + ModulePath(ThisModule()) + L"/#";
        for (int i = 0; i < kStoryIconCount; ++i)
            tables->iconAddresses[i] = Bstr(prefix + std::to_wstring(IDR_STORY_ICON_FIRST + i));
        g_tables = std::move(tables);
    }
    return *g_tables;
}

int StoryTypeIndex(const RecordSet& table, const Row& row) {
    const FixedColumns& f = table.Fixed();
    if (f.parcelType < 0 || row.CellRef(f.url).vt == VT_BSTR || row.CellRef(f.text).vt == VT_BSTR) return 0;
    const LONG flags = IntegerOf(row.CellRef(f.parcelType));
    if (flags & 0x04) return 4;
    if (flags & 0x10) return 5;
    if (flags & 0x02) return 6;
    return 7;
}

int StoryIconFlags(const RecordSet& table, const Row& row, int typeIndex) {
    const FixedColumns& f = table.Fixed();
    int flags = typeIndex;
    if (flags == 0) {
        const VARIANT& text = row.CellRef(f.text);
        if (text.vt == VT_BSTR && SysStringLen(text.bstrVal) > 1) flags += 1;
        if (IsTrue(row.CellRef(f.storyLocal))) flags += 2;
    }
    if (f.keep >= 0 && IsTrue(row.CellRef(f.keep))) flags += 8;
    return flags;
}

void StoryColumns::Update(const RecordSet& table, Row& row) {
    const StoryTables& tables = GetStoryTables();
    const int type = StoryTypeIndex(table, row);
    const size_t capacity = static_cast<size_t>(table.ColumnCount());
    SetText(row, table.Fixed().type, tables.typeNames[type], capacity);
    SetText(row, table.Fixed().icon, tables.iconAddresses[StoryIconFlags(table, row, type)], capacity);
}

ComPtr<RecordSet> MakeStoryRecordSet(ComPtr<IClientChannel> channel, ComPtr<ValueConverter> converter) {
    GetStoryTables();
    return MakeObject<RecordSet>(std::move(channel), std::move(converter), std::make_shared<StoryColumns>());
}

}  // namespace kv
