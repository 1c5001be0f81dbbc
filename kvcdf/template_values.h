// The values a channel's template is expanded with: name -> text, names compared exactly
// (the expander upper-cases the names it reads). The publisher fills one set per publication and
// hands it to a TemplateExpander; both share it through a shared_ptr. One thread at a time.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace kv::cdf {

class TemplateValues {
public:
    // Replaces an existing value.
    void Set(std::wstring_view name, std::wstring_view value);
    // An empty text for a name that was never set.
    const std::wstring& Get(std::wstring_view name) const;

private:
    std::map<std::wstring, std::wstring, std::less<>> values_;
};

// Text written into a channel file as character data or an attribute value: & < > " ' become
// entity references, characters XML 1.0 does not allow anywhere are dropped, everything else is
// kept.
std::wstring XmlEscape(std::wstring_view text);

}  // namespace kv::cdf
