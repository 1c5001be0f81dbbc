// The story table's derived columns: TYPE, a readable kind of content, and ICON, the res:
// address of one of the control's 16 images, both recomputed from a story's PARCEL_TYPE, URL,
// TEXT, STORY_LOCAL and KEEP cells after each property update once the table is loaded.
//
// The type names (string 101) and the icon addresses (this module's path) are process-wide,
// built once on first use and kept for the life of the module; any thread.
#pragma once

#include <windows.h>

#include <string>

#include "framework/record_set.h"
#include "platform/raii.h"

namespace kv {

// Type indexes: 0 a story; 4-7 a delivered parcel (Flash, wallpaper, audio, data).
constexpr int kStoryTypeCount = 8;
constexpr int kStoryIconCount = 16;

struct StoryTables {
    Bstr typeNames[kStoryTypeCount];   // 0-3 "Story", then "Flash", "Wallpaper", "Audio", "DataParcel"
    Bstr iconAddresses[kStoryIconCount];  // "res://<module path>/#<16 + flags>"
};

// Builds the tables on first use; E_INVALIDARG when string 101 is missing, E_FAIL when it has
// fewer than five names.
const StoryTables& GetStoryTables();

// The type index of a row (0 unless the table has PARCEL_TYPE and the row has neither a URL
// nor a TEXT string) and its icon flags (type, +1 text, +2 local for stories, +8 kept).
int StoryTypeIndex(const RecordSet& table, const Row& row);
int StoryIconFlags(const RecordSet& table, const Row& row, int typeIndex);

class StoryColumns : public DerivedCells {
public:
    void Update(const RecordSet& table, Row& row) override;
};

// A record set for a story channel, deriving TYPE and ICON.
ComPtr<RecordSet> MakeStoryRecordSet(ComPtr<IClientChannel> channel, ComPtr<ValueConverter> converter);

}  // namespace kv
