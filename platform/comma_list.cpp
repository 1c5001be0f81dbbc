#include "platform/comma_list.h"

#include "platform/hresult_error.h"

namespace kv {

std::vector<std::wstring> SplitCommaList(std::wstring_view text) {
    std::vector<std::wstring> items;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(L',', start);
        std::wstring_view item = text.substr(start, comma == std::wstring_view::npos ? text.npos : comma - start);
        bool last = comma == std::wstring_view::npos;
        if (!(last && item.empty())) {
            if (items.size() == kCommaListMaxItems) ThrowHr(E_FAIL);
            items.emplace_back(item);
        }
        if (last) break;
        start = comma + 1;
    }
    return items;
}

std::wstring LoadStringResource(HINSTANCE module, UINT id) {
    wchar_t buffer[kStringResourceChars];
    int n = LoadStringW(module, id, buffer, kStringResourceChars);
    if (n <= 0) ThrowHr(E_INVALIDARG);
    return std::wstring(buffer, static_cast<size_t>(n));
}

std::vector<std::wstring> LoadCommaList(HINSTANCE module, UINT id) {
    return SplitCommaList(LoadStringResource(module, id));
}

}  // namespace kv
