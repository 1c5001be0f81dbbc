#include "standins/browser/page_address.h"

#include <windows.h>

#include <cwctype>
#include <vector>

#include "platform/hresult_error.h"
#include "platform/text.h"

namespace kv::browser {
namespace {

bool IsDriveSegment(std::wstring_view s) {
    return s.size() == 2 && s[1] == L':' && std::iswalpha(s[0]);
}

bool IsDrivePath(std::wstring_view t) {
    return t.size() >= 3 && IsDriveSegment(t.substr(0, 2)) && (t[2] == L'\\' || t[2] == L'/');
}

bool IsUncPath(std::wstring_view t) {
    return t.size() > 2 && (t[0] == L'\\' || t[0] == L'/') && (t[1] == L'\\' || t[1] == L'/');
}

// The length of an address's scheme and its ':' ("http:" -> 5); 0 when the text has none. A
// one-letter scheme is a drive letter, not a scheme.
size_t SchemeLength(std::wstring_view t) {
    if (t.empty() || !std::iswalpha(t[0])) return 0;
    for (size_t i = 1; i < t.size(); ++i) {
        wchar_t c = t[i];
        if (c == L':') return i >= 2 ? i + 1 : 0;
        if (!std::iswalnum(c) && c != L'+' && c != L'-' && c != L'.') return 0;
    }
    return 0;
}

std::wstring EscapeWhiteSpace(std::wstring_view path) {
    std::wstring out;
    out.reserve(path.size());
    for (wchar_t c : path) {
        if (std::iswspace(c)) {
            wchar_t hex[8];
            wsprintfW(hex, L"%%%02X", static_cast<unsigned>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::wstring Slashes(std::wstring_view t) {
    std::wstring out(t);
    for (auto& c : out)
        if (c == L'\\') c = L'/';
    return out;
}

std::wstring FullPath(std::wstring_view relative) {
    std::wstring in(relative);
    DWORD n = GetFullPathNameW(in.c_str(), 0, nullptr, nullptr);
    if (!n) ThrowLastError();
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(in.c_str(), n, full.data(), nullptr);
    if (!n || n >= full.size()) ThrowLastError();
    full.resize(n);
    return full;
}

// Resolves the dot segments of the path that follows "scheme://authority" in `address`, leaving
// the query and the fragment as they are.
std::wstring NormalizeAddress(std::wstring_view address) {
    size_t scheme = SchemeLength(address);
    size_t pathStart = scheme;
    if (address.substr(scheme, 2) == L"//") {
        pathStart = address.find(L'/', scheme + 2);
        if (pathStart == std::wstring_view::npos) return std::wstring(address);
    }
    size_t pathEnd = address.find_first_of(L"?#", pathStart);
    if (pathEnd == std::wstring_view::npos) pathEnd = address.size();
    std::wstring_view path = address.substr(pathStart, pathEnd - pathStart);
    if (path.empty() || path[0] != L'/') return std::wstring(address);  // opaque ("about:blank")
    return std::wstring(address.substr(0, pathStart)) + RemoveDotSegments(path) +
           std::wstring(address.substr(pathEnd));
}

}  // namespace

std::wstring RemoveDotSegments(std::wstring_view path) {
    std::vector<std::wstring_view> kept;
    bool absolute = !path.empty() && path[0] == L'/';
    bool trailingSlash = false;
    size_t pos = absolute ? 1 : 0;
    while (pos <= path.size()) {
        size_t end = path.find(L'/', pos);
        if (end == std::wstring_view::npos) end = path.size();
        std::wstring_view seg = path.substr(pos, end - pos);
        bool last = end == path.size();
        trailingSlash = false;
        if (seg == L".") {
            trailingSlash = true;
        } else if (seg == L"..") {
            if (!kept.empty() && !IsDriveSegment(kept.back())) kept.pop_back();
            trailingSlash = true;
        } else {
            kept.push_back(seg);
        }
        if (last) break;
        pos = end + 1;
    }
    std::wstring out = absolute ? L"/" : L"";
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i) out += L'/';
        out += kept[i];
    }
    if (trailingSlash && !kept.empty()) out += L'/';
    return out;
}

std::wstring NormalizePageAddress(std::wstring_view text) {
    if (text.empty()) return L"about:blank";
    if (IsUncPath(text)) return L"file:" + NormalizeAddress(L"//" + EscapeWhiteSpace(Slashes(text.substr(2))));
    if (IsDrivePath(text)) return NormalizeAddress(L"file:///" + EscapeWhiteSpace(Slashes(text)));
    size_t scheme = SchemeLength(text);
    if (scheme == 0) return NormalizePageAddress(FullPath(text));
    std::wstring address(text);
    if (EqualsNoCase(address.substr(0, scheme), L"file:")) address = Slashes(address);
    return NormalizeAddress(address);
}

}  // namespace kv::browser
