#include "framework/value_converter.h"

#include <ctime>
#include <string>

#include "platform/text.h"

namespace kv {

namespace {

bool EndsWith(std::wstring_view s, std::wstring_view tail) noexcept {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}
bool Contains(std::wstring_view s, std::wstring_view part) noexcept { return s.find(part) != s.npos; }

// Days from 1899-12-30 to the given civil date (proleptic Gregorian).
long DaysSince1899(long year, unsigned month, unsigned day) noexcept {
    year -= month <= 2;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long daysSince1970 = era * 146097 + static_cast<long>(doe) - 719468;
    return daysSince1970 + 25569;
}

}  // namespace

Conversion ConversionFor(std::wstring_view name) noexcept {
    if (name == L"MESSAGE_LIFESPAN") return Conversion::Integer;
    if (name == L"READ" || name == L"KEEP" || name == L"STORY_LOCAL") return Conversion::Boolean;
    const size_t n = name.size();
    if (n <= 2) return Conversion::Unchanged;
    if (n == 3) return Contains(name, L"URL") ? Conversion::Url : Conversion::Unchanged;
    if (n <= 5) {
        if (EndsWith(name, L"_ID")) return Conversion::Integer;
        if (EndsWith(name, L"ED")) return Conversion::Boolean;
        if (Contains(name, L"URL")) return Conversion::Url;
        return Conversion::Unchanged;
    }
    if (EndsWith(name, L"_SIZE") || EndsWith(name, L"_TYPE")) return Conversion::Integer;
    if (EndsWith(name, L"_TIME")) return Conversion::Date;
    if (name.substr(0, 4) == L"HAS_") return Conversion::Boolean;
    if (EndsWith(name, L"_ID")) return Conversion::Integer;
    if (EndsWith(name, L"ED")) return Conversion::Boolean;
    if (Contains(name, L"URL")) return Conversion::Url;
    return Conversion::Unchanged;
}

DATE LocalDateFromUnixSeconds(LONG seconds) {
    if (seconds < 0) ThrowHr(E_FAIL);
    __time64_t t = seconds;
    struct tm local {};
    if (_localtime64_s(&local, &t) != 0) ThrowHr(E_FAIL);
    const long year = local.tm_year + 1900L;
    if (year > 9999) ThrowHr(E_FAIL);
    const long days = DaysSince1899(year, static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday));
    const long secondsOfDay = local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec;
    return static_cast<DATE>(days) + static_cast<DATE>(secondsOfDay) / 86400.0;
}

Variant ValueConverter::Convert(Conversion rule, const VARIANT& value) const {
    Variant out;
    switch (rule) {
    case Conversion::Integer:
        ThrowIfFailed(VariantChangeType(out.get(), const_cast<VARIANT*>(&value), 0, VT_I4));
        break;
    case Conversion::Boolean:
        ThrowIfFailed(VariantChangeType(out.get(), const_cast<VARIANT*>(&value), 0, VT_BOOL));
        out->boolVal = out->boolVal ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case Conversion::Date: {
        Variant count;
        ThrowIfFailed(VariantChangeType(count.get(), const_cast<VARIANT*>(&value), 0, VT_I4));
        out->vt = VT_DATE;
        out->date = LocalDateFromUnixSeconds(count->lVal);
        break;
    }
    case Conversion::Url: return ConvertUrl(value);
    case Conversion::Unchanged: ThrowIfFailed(VariantCopy(out.get(), const_cast<VARIANT*>(&value))); break;
    }
    return out;
}

Variant ValueConverter::ConvertUrl(const VARIANT& value) const {
    if (value.vt != VT_BSTR) ThrowHr(E_INVALIDARG);
    std::wstring_view text(value.bstrVal ? value.bstrVal : L"", SysStringLen(value.bstrVal));
    if (!text.empty() && text.front() == L'"') text.remove_prefix(1);
    if (!text.empty() && text.back() == L'"') text.remove_suffix(1);
    if (text.empty()) return Variant();
    if (resolver_) {
        // The client gets the text without its quotes; a copy only when there were quotes.
        Bstr unquoted;
        if (text.size() != SysStringLen(value.bstrVal)) unquoted = Bstr(text);
        Bstr path;
        // An address the client cannot map is kept as its text, like one it maps to nothing.
        HRESULT hr = resolver_->ResolveLocalPath(unquoted.get() ? unquoted.get() : value.bstrVal, 0, path.put());
        if (hr == S_OK && path.get()) {
            std::string ansi = ToAnsi(path.view());
            if (!ansi.empty() && GetFileAttributesA(ansi.c_str()) != INVALID_FILE_ATTRIBUTES)
                return Variant::String(L"file://" + path.str());
        }
    }
    return Variant::String(text);
}

}  // namespace kv
