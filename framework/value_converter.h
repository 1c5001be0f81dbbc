// Turns the client's raw property strings into typed cells, chosen by the (normalised) column
// name: integers, booleans, dates in local time, local-file addresses, or the text unchanged.
// Holds the client's path resolver for addresses; created when the channel is bound and shared
// by the control and its record set. One thread (the control's).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string_view>

#include "korvane_client.h"
#include "platform/com_object.h"
#include "platform/raii.h"

namespace kv {

enum class Conversion { Integer, Boolean, Date, Url, Unchanged };

// The rule for a normalised column name, first match wins.
Conversion ConversionFor(std::wstring_view name) noexcept;

// Seconds since 1970-01-01 00:00 UTC as the automation date of that moment in local time
// (daylight saving included). A negative count fails with E_FAIL.
DATE LocalDateFromUnixSeconds(LONG seconds);

class ValueConverter : public ComObject<ValueConverter, IUnknown> {
public:
    // Without a resolver, addresses are kept as their unquoted text.
    explicit ValueConverter(ComPtr<IClientPathResolver> resolver) : resolver_(std::move(resolver)) {}

    Variant Convert(std::wstring_view name, const VARIANT& value) const {
        return Convert(ConversionFor(name), value);
    }
    // Throws the conversion's or the client's HRESULT.
    Variant Convert(Conversion rule, const VARIANT& value) const;

private:
    Variant ConvertUrl(const VARIANT& value) const;
    ComPtr<IClientPathResolver> resolver_;
};

}  // namespace kv
