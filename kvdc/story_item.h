// Placeholder until the story object arrives: filter callbacks receive no story object.
#pragma once
#include "framework/record_set.h"
namespace kv {
inline ComPtr<IDispatch> MakeStoryItem(const RecordSet&, ComPtr<Row>) { return nullptr; }
}  // namespace kv
