#include "kvcdf/shortcut_name.h"

#include <windows.h>

#include <algorithm>

namespace kv::cdf {

namespace {

bool IsStandInFor(wchar_t c) {
    return c < 32 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos;
}

bool IsTrimmed(wchar_t c) { return c == L'.' || c == L' '; }

void AppendTitle(std::wstring& out, std::wstring_view title) {
    size_t start = out.size();
    for (wchar_t c : title) out += IsStandInFor(c) ? kStandIn : c;
    // "..." or "  " would vanish: they keep their length in stand-ins.
    bool onlyTrimmed = true;
    for (size_t i = start; i < out.size(); ++i) onlyTrimmed = onlyTrimmed && IsTrimmed(out[i]);
    if (onlyTrimmed)
        for (size_t i = start; i < out.size(); ++i) out[i] = kStandIn;
    if (out.size() - start > kMaxTitle) {
        size_t end = start + kMaxTitle;
        if (IS_HIGH_SURROGATE(out[end - 1])) --end;  // never half a character
        out.resize(end);
    }
    while (out.size() > start && IsTrimmed(out.back())) out.pop_back();
}

// "C:" at the start of a full path is its drive, not a title.
size_t DriveLength(std::wstring_view path) {
    bool drive = path.size() >= 2 && ((path[0] | 0x20) >= L'a' && (path[0] | 0x20) <= L'z') && path[1] == L':' &&
                 (path.size() == 2 || path[2] == L'\\');
    return drive ? 2 : 0;
}

// Whether `s` is already in stored form, so that comparisons need not build it.
bool IsStored(std::wstring_view s) {
    size_t length = 0;
    for (size_t i = DriveLength(s); i < s.size(); ++i) {
        wchar_t c = s[i];
        if (c == L'\\') {
            length = 0;
            continue;
        }
        if (IsStandInFor(c) || ++length > kMaxTitle) return false;
        if (IsTrimmed(c) && (i + 1 == s.size() || s[i + 1] == L'\\')) return false;
    }
    return true;
}

}  // namespace

std::wstring StoredTitle(std::wstring_view title) {
    std::wstring out;
    out.reserve(std::min(title.size(), kMaxTitle));
    AppendTitle(out, title);
    return out;
}

std::wstring StoredName(std::wstring_view title) {
    std::wstring out;
    out.reserve(title.size());
    out.append(title.substr(0, DriveLength(title)));
    title.remove_prefix(out.size());
    for (;;) {
        size_t cut = title.find(L'\\');
        AppendTitle(out, title.substr(0, cut));
        if (cut == std::wstring_view::npos) return out;
        out += L'\\';
        title.remove_prefix(cut + 1);
    }
}

namespace {
// Stored names compared code unit by code unit after the system's upper-casing, as the file
// system compares names.
int CompareStored(std::wstring_view a, std::wstring_view b) {
    std::wstring sa, sb;
    if (!IsStored(a)) a = sa = StoredName(a);
    if (!IsStored(b)) b = sb = StoredName(b);
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) -
           CSTR_EQUAL;
}
}  // namespace

bool StoredNameLess::operator()(std::wstring_view a, std::wstring_view b) const { return CompareStored(a, b) < 0; }

bool SameStoredName(std::wstring_view a, std::wstring_view b) { return CompareStored(a, b) == 0; }

std::wstring_view TitleOf(std::wstring_view path) {
    size_t cut = path.find_last_of(L'\\');
    return cut == std::wstring_view::npos ? path : path.substr(cut + 1);
}

std::wstring NumberedName(std::wstring_view title, int k) {
    // The number must survive the cut to kMaxTitle, or "Title (2)" would be "Title" again: a
    // long title gives up its end, never half of a surrogate pair.
    std::wstring suffix = L" (" + std::to_wstring(k) + L")";
    if (title.size() + suffix.size() > kMaxTitle) {
        size_t keep = kMaxTitle > suffix.size() ? kMaxTitle - suffix.size() : 0;
        if (keep > 0 && keep < title.size() && IS_LOW_SURROGATE(title[keep])) --keep;
        title = title.substr(0, keep);
    }
    return std::wstring(title) + suffix;
}

std::wstring_view UnnumberedName(std::wstring_view name) {
    if (name.size() < 5 || name.back() != L')') return name;
    size_t open = name.rfind(L" (");
    if (open == std::wstring_view::npos || open == 0) return name;
    std::wstring_view digits = name.substr(open + 2, name.size() - open - 3);
    if (digits.empty() || digits.size() > 9 || digits.front() == L'0') return name;
    for (wchar_t c : digits)
        if (c < L'0' || c > L'9') return name;
    if (digits == L"1") return name;
    return name.substr(0, open);
}

}  // namespace kv::cdf
