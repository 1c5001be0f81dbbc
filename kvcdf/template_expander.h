// Turns a channel template into the channel's own file: every %NAME% is replaced by the value of
// NAME (letters a-z read as A-Z) from a TemplateValues, byte for byte otherwise. A name ends at
// the next "%"; white space before it, or the end of the text, leaves the "%" as plain text, and
// so does "%%". A name without a value disappears. Text is in the system code page.
// One thread at a time; the values are read, never changed.
#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "kvcdf/template_values.h"

namespace kv::cdf {

class TemplateExpander {
public:
    explicit TemplateExpander(std::shared_ptr<const TemplateValues> values);

    // Expands `text`, handing the output to `write(std::string_view)` piece by piece, in order.
    template <class Write>
    void ExpandInto(std::string_view text, Write&& write);
    void ExpandText(std::string_view text, const std::function<void(std::string_view)>& write) { ExpandInto(text, write); }
    std::string ExpandText(std::string_view text);

    // Reads all of `source`, then writes `destination` (created or replaced). An unreadable source
    // or a destination that cannot be created throws E_INVALIDARG; a failed read or write E_FAIL.
    // When both name the same file, the output goes to a file beside it that replaces the
    // original only once it is complete: a failure leaves the original as it was.
    void Expand(const std::wstring& destination, const std::wstring& source);

private:
    const std::string& ValueOf(std::string_view rawName);

    std::shared_ptr<const TemplateValues> values_;
    // Names as they appear in the template -> value in the system code page.
    std::unordered_map<std::string, std::string> cache_;
    std::string key_;
    // The last name looked up: templates often repeat one placeholder.
    std::string lastName_;
    const std::string* lastValue_ = nullptr;
};

inline bool IsTemplateSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

template <class Write>
void TemplateExpander::ExpandInto(std::string_view text, Write&& write) {
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* pending = begin;
    const char* p = begin;
    while (p < end) {
        p = static_cast<const char*>(std::memchr(p, '%', static_cast<size_t>(end - p)));
        if (!p) break;
        const char* q = p + 1;
        while (q < end && *q != '%' && !IsTemplateSpace(*q)) ++q;
        if (q < end && *q == '%' && q > p + 1) {
            if (p > pending) write(std::string_view(pending, static_cast<size_t>(p - pending)));
            const std::string& value = ValueOf(std::string_view(p + 1, static_cast<size_t>(q - p - 1)));
            if (!value.empty()) write(std::string_view(value));
            pending = p = q + 1;
        } else {
            ++p;  // "%%", "% " and a "%" without a closing one are plain text
        }
    }
    if (end > pending) write(std::string_view(pending, static_cast<size_t>(end - pending)));
}

// The name of the file the expansion of `path` onto itself is written to first.
std::wstring SelfExpansionTempPath(const std::wstring& path);

}  // namespace kv::cdf
