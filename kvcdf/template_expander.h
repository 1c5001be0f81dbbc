// Turns a channel template into the channel's own file: every %NAME% is replaced by the value of
// NAME (letters a-z read as A-Z) from a TemplateValues, byte for byte otherwise. A name ends at
// the next "%"; white space before it, or the end of the text, leaves the "%" as plain text, and
// so does "%%". A name without a value disappears. Text is in the system code page.
// One thread at a time; the values are read, never changed.
#pragma once

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

    // Expands `text`, handing the output to `write` piece by piece, in order.
    void ExpandText(std::string_view text, const std::function<void(std::string_view)>& write);
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
};

// The name of the file the expansion of `path` onto itself is written to first.
std::wstring SelfExpansionTempPath(const std::wstring& path);

}  // namespace kv::cdf
