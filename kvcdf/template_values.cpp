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
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        // Characters a channel file may not hold at all are left out: control characters other
        // than tab, line feed and carriage return, U+FFFE and U+FFFF, and halves of a surrogate
        // pair that have no other half.
        if ((c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') || c == 0xFFFE || c == 0xFFFF) continue;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                out += c;
                out += text[++i];
            }
            continue;
        }
        if (c >= 0xDC00 && c <= 0xDFFF) continue;
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
