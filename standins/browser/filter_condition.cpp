#include "standins/browser/filter_condition.h"

#include <cwchar>
#include <cwctype>
#include <optional>

#include "platform/hresult_error.h"
#include "platform/raii.h"
#include "platform/text.h"

namespace kv::browser {
namespace {

std::wstring Trim(std::wstring_view t) {
    size_t b = 0, e = t.size();
    while (b < e && std::iswspace(t[b])) ++b;
    while (e > b && std::iswspace(t[e - 1])) --e;
    return std::wstring(t.substr(b, e - b));
}

std::optional<double> AsNumber(std::wstring_view text) {
    std::wstring s = Trim(text);
    if (s.empty()) return std::nullopt;
    wchar_t* end = nullptr;
    double d = std::wcstod(s.c_str(), &end);
    if (end != s.c_str() + s.size()) return std::nullopt;
    return d;
}

std::wstring CellText(const VARIANT& cell) {
    if (cell.vt == VT_EMPTY || cell.vt == VT_NULL) return {};
    Variant text(cell);
    if (text.vt() == VT_BOOL) return text->boolVal ? L"1" : L"0";
    if (text.vt() != VT_BSTR && FAILED(VariantChangeTypeEx(text.get(), text.get(), LOCALE_INVARIANT, 0, VT_BSTR)))
        return {};
    return text->bstrVal ? std::wstring(text->bstrVal, SysStringLen(text->bstrVal)) : std::wstring();
}

}  // namespace

FilterCondition ParseFilterCondition(std::wstring_view text) {
    using Op = FilterCondition::Op;
    struct Spelling {
        const wchar_t* text;
        Op op;
    };
    // Two-character operators first, so that "<=" is not read as "<".
    static const Spelling kSpellings[] = {{L"<=", Op::LessEqual}, {L">=", Op::GreaterEqual}, {L"!=", Op::NotEqual},
                                          {L"<>", Op::NotEqual},  {L"==", Op::Equal},        {L"=", Op::Equal},
                                          {L"<", Op::Less},       {L">", Op::Greater},       {L"~", Op::Contains}};
    size_t at = text.find_first_of(L"<>=!~");
    if (at == std::wstring_view::npos) ThrowHr(E_INVALIDARG);
    for (const auto& s : kSpellings) {
        std::wstring_view spelling = s.text;
        if (text.substr(at, spelling.size()) != spelling) continue;
        FilterCondition c{Trim(text.substr(0, at)), s.op, Trim(text.substr(at + spelling.size()))};
        if (c.column.empty()) ThrowHr(E_INVALIDARG);
        return c;
    }
    ThrowHr(E_INVALIDARG);
}

bool Satisfies(const FilterCondition& condition, const VARIANT& cell) {
    using Op = FilterCondition::Op;
    std::wstring left = CellText(cell);
    if (condition.op == Op::Contains) return AsciiUpper(left).find(AsciiUpper(condition.value)) != std::wstring::npos;
    int order;
    auto a = AsNumber(left), b = AsNumber(condition.value);
    if (a && b) {
        order = *a < *b ? -1 : (*a > *b ? 1 : 0);
    } else {
        int c = AsciiUpper(left).compare(AsciiUpper(condition.value));
        order = c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    switch (condition.op) {
    case Op::Equal: return order == 0;
    case Op::NotEqual: return order != 0;
    case Op::Less: return order < 0;
    case Op::LessEqual: return order <= 0;
    case Op::Greater: return order > 0;
    case Op::GreaterEqual: return order >= 0;
    case Op::Contains: break;
    }
    return false;
}

}  // namespace kv::browser
