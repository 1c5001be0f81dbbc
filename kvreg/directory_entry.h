// The automation object a page gets for one directory entry (Entry, and the argument of
// OnFilter): the entry's cells as properties by column name (any letter case), and the methods
// Subscribe, Unsubscribe and EntryObject, which reach the client's own entry object. It holds
// its row, so it keeps reading the row's current cells, and the cells the row had when the table
// dropped it. A new object for every call; the control's thread only.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "kvreg/directory_record_set.h"

namespace kv {

// DISPIDs of the three methods; a column's DISPID is its internal index.
enum : DISPID { kDispSubscribe = 1024, kDispUnsubscribe = 1025, kDispEntryObject = 1026 };

// An entry object for `row` of a table of `columns`, reaching the client through `directory`.
// `module` holds the method names (list 106).
ComPtr<IDispatch> MakeDirectoryEntry(HINSTANCE module, IClientDirectory* directory,
                                     std::shared_ptr<const DirectoryColumnTable> columns, ComPtr<Row> row);

}  // namespace kv
