// The in-memory story table behind a story control: one Row per story of the bound channel,
// one column per property name the client has reported, plus the columns the control computes.
//
// The rows, their order, the filter step and the sort are the framework's row table; this adds
// the story columns and how a story snapshot is loaded. New stories go to the top until the next
// sort, so loading and reading grow linearly with the number of stories.
//
// Owned by the control, on the control's thread only. Client failures and conversion failures
// are thrown as the HRESULT-carrying exception; what was applied before a failure stays.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "framework/column_dictionary.h"
#include "framework/row.h"
#include "framework/row_table.h"
#include "framework/value_converter.h"
#include "korvane_client.h"
#include "platform/com_object.h"

namespace kv {

// Internal indexes of the columns every story table knows; -1 where a column is absent.
struct FixedColumns {
    long internalSort = -1, internalState = -1, id = -1, icon = -1, type = -1;
    long url = -1, text = -1, storyLocal = -1, parcelType = -1, keep = -1;
};

// Channel flag: the channel has no parcels, so PARCEL_TYPE and KEEP are not made up front.
constexpr long kChannelFlagNoParcels = 0x1000;

class RecordSet;

// Cells a table derives from others after each property update once it is loaded (the story
// control's TYPE and ICON).
class DerivedCells {
public:
    virtual ~DerivedCells() = default;
    virtual void Update(const RecordSet& table, Row& row) = 0;
};

// The filter step's question for a row that has not yet been through it: keep it?
using RowFilter = std::function<bool(IClientChannel* channel, Row& row)>;

class RecordSet : public RowTable {
public:
    // Makes the fixed columns, asking `channel` for its flags (a null channel counts as flags 0).
    RecordSet(ComPtr<IClientChannel> channel, ComPtr<ValueConverter> converter,
              std::shared_ptr<DerivedCells> derived = {});

    // Applies a story snapshot (element 2, then element 1). With idCount > 0 only the stories
    // whose IDs are among ids[0..idCount) are touched. Returns whether a column was added.
    bool Load(const VARIANT& snapshot, long idCount, const LONG* ids);
    // Asks the channel for its snapshot and loads it.
    bool LoadFromChannel(long idCount, const LONG* ids);
    // The filter step and the sort of the row table, with the story filter's channel argument.
    void FilterAndSort(const RowFilter& filter, SortOrder* sortOrder);
    // Stores one property of one story, making the story and the column when new. Returns
    // whether a column was added.
    bool SetProperty(LONG id, std::wstring_view name, const VARIANT& value);

    const FixedColumns& Fixed() const noexcept { return fixed_; }
    IClientChannel* Channel() const noexcept { return context_->channel.Get(); }
    // Installs the hook every page-facing cell read of this table's rows passes.
    void SetCellReadGuard(std::shared_ptr<CellReadGuard> guard) { context_->guard = std::move(guard); }

private:
    long ColumnFor(std::wstring_view rawName, bool& added);
    Conversion RuleFor(long column);
    bool LoadPart(const VARIANT& part, long idCount, const LONG* ids);

    ComPtr<ValueConverter> converter_;
    std::shared_ptr<DerivedCells> derived_;
    FixedColumns fixed_;
    bool loaded_ = false;

    // Raw property names already seen, with their column (normalising is deterministic);
    // looked up by view, so that a known name costs no copy.
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::wstring_view name) const noexcept { return std::hash<std::wstring_view>{}(name); }
    };
    std::unordered_map<std::wstring, long, NameHash, std::equal_to<>> rawNames_;
    std::vector<Conversion> rules_;
};

// "name" normalised as the table stores it: white space becomes "_", a-z become A-Z.
std::wstring NormaliseColumnName(std::wstring_view name);

}  // namespace kv
