// StoryItem: one story of a story table as page script sees it (`Story(n)`, the story handed to
// `OnFilter`). A late-bound IDispatch without type information: every column of the table is a
// property of the same name (its DISPID is the column's internal index), plus `Exists(name)`,
// `Play()` and `StoryObject`, which reach the client's own story object.
//
// A StoryItem keeps its row and the table's column dictionary alive and does not follow later
// changes of the table: a row the table dropped stays readable. Cells are read through
// Row::GetCell, so the table's read guard applies. The story collection is asked for when the
// item is made, the client's story object on first need. Client failures come back with the
// client's error information; the item's own failures carry error information of its own.
// The control's thread.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "framework/record_set.h"
#include "platform/com_object.h"

namespace kv {

constexpr DISPID kDispidStoryExists = 1024;
constexpr DISPID kDispidStoryPlay = 1025;
constexpr DISPID kDispidStoryObject = 1026;

// Makes the item for `row` of `table`. A failure of the channel's GetStories is thrown as
// ClientFailure, the client's error information left on the thread.
ComPtr<IDispatch> MakeStoryItem(const RecordSet& table, ComPtr<Row> row);

}  // namespace kv
