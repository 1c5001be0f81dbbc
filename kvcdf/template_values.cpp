#include "kvcdf/template_values.h"

namespace kv::cdf {

void TemplateValues::Set(std::wstring_view name, std::wstring_view value) {
    auto it = values_.find(name);
    if (it == values_.end())
        values_.emplace(std::wstring(name), std::wstring(value));
    else
        it->second.assign(value);
}

const std::wstring& TemplateValues::Get(std::wstring_view name) const {
    static const std::wstring empty;
    auto it = values_.find(name);
    return it == values_.end() ? empty : it->second;
}

std::wstring XmlEscape(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
        case L'&': out += L"&amp;"; break;
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        case L'"': out += L"&quot;"; break;
        case L'\'': out += L"&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace kv::cdf
