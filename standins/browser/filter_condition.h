// A column condition, the page script the tool and tests use to answer a filter event:
// "SIZE>1000", "TITLE~news" (contains), "READ=0", "CATEGORY!=Sport". Operators: = (or ==),
// != (or <>), <, <=, >, >=, ~. Values that both read as numbers compare as numbers, anything else
// as text without regard to ASCII case.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace kv::browser {

struct FilterCondition {
    enum class Op { Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual, Contains };
    std::wstring column;
    Op op = Op::Equal;
    std::wstring value;
};

// Throws E_INVALIDARG when the text has no operator or no column name.
FilterCondition ParseFilterCondition(std::wstring_view text);

// Whether a cell satisfies the condition. An empty or null cell reads as the empty text.
bool Satisfies(const FilterCondition& condition, const VARIANT& cell);

}  // namespace kv::browser
