#include "kvdc/attachment_prompt.h"

#include "framework/client_failure.h"
#include "kvdc/story_resource_ids.h"
#include "platform/comma_list.h"
#include "platform/text.h"

namespace kv {

namespace {

constexpr std::wstring_view kFileScheme = L"file://";

bool AskToRunExecutable() {
    std::vector<std::wstring> texts = LoadCommaList(ThisModule(), IDS_EXECUTABLE_WARNING);
    if (texts.size() < 2) ThrowHr(E_FAIL);
    return MessageBoxW(GetActiveWindow(), texts[0].c_str(), texts[1].c_str(), MB_ICONWARNING | MB_YESNO) == IDYES;
}

long SecurityFlags(IClientChannel* channel) {
    // Without a channel that can tell, nothing may run unasked.
    ComPtr<IClientChannel2> channel2;
    if (!channel || FAILED(channel->QueryInterface(__uuidof(IClientChannel2), reinterpret_cast<void**>(channel2.GetAddressOf()))) || !channel2) return 0;
    LONG flags = 0;
    ThrowIfClientFailed(channel2->GetSecurityFlags(&flags));
    return flags;
}

int HexDigit(wchar_t c) noexcept {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// `text` read as a file address: without its query and fragment, escapes decoded.
std::wstring NameAsAddress(std::wstring_view text) {
    text = text.substr(0, text.find_first_of(L"?#"));
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
            out.push_back(static_cast<wchar_t>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// A file name as the file system takes it: up to a NUL, without trailing dots and blanks.
std::wstring_view TrimmedName(std::wstring_view name) noexcept {
    name = name.substr(0, name.find(L'\0'));
    size_t end = name.find_last_not_of(L". ");
    return name.substr(0, end == name.npos ? 0 : end + 1);
}

bool IsFileAddress(std::wstring_view t) noexcept {
    return t.size() >= kFileScheme.size() && EqualsNoCase(t.substr(0, kFileScheme.size()), kFileScheme);
}

}  // namespace

bool IsLocalFileReference(std::wstring_view t) {
    if (t.size() <= 2) return false;
    // Windows takes "/" for "\" after a drive letter, so "C:/x.exe" is as local as "C:\x.exe".
    if (t[1] == L':' && (t[2] == L'\\' || t[2] == L'/')) return true;
    if (t[0] == L'\\' && t[1] == L'\\') return true;
    return IsFileAddress(t);
}

bool HasHarmlessExtension(std::wstring_view text, const std::vector<std::wstring>& harmless) {
    size_t dot = text.rfind(L'.');
    if (dot == std::wstring_view::npos) return true;
    std::wstring_view ext = text.substr(dot + 1).substr(0, 3);
    for (const auto& item : harmless)
        if (!item.empty() && EqualsNoCase(ext, std::wstring_view(item).substr(0, 3))) return true;
    return false;
}

const std::vector<std::wstring>& HarmlessExtensions() {
    static const std::vector<std::wstring> list = LoadCommaList(ThisModule(), IDS_HARMLESS_EXTENSIONS);
    return list;
}

bool NeedsConsent(std::wstring_view text) {
    text = text.substr(0, text.find(L'\0'));
    if (!IsLocalFileReference(text)) return false;
    const auto& harmless = HarmlessExtensions();
    // The file a reader would open: a file address without its query and fragment and with its
    // escapes decoded. A plain path is judged both as it stands and read as an address, since
    // a browser given it may take it either way; either reading that reaches an executable
    // needs consent.
    std::wstring address = NameAsAddress(text);
    if (!HasHarmlessExtension(TrimmedName(address), harmless)) return true;
    return !IsFileAddress(text) && !HasHarmlessExtension(TrimmedName(text), harmless);
}

bool AttachmentPrompt::MayRefuse(const Row&, long, const VARIANT& cell) {
    return cell.vt == VT_BSTR && cell.bstrVal && NeedsConsent(std::wstring_view(cell.bstrVal, SysStringLen(cell.bstrVal)));
}

bool AttachmentPrompt::PermitRead(const Row& row, long index, const VARIANT& cell) {
    if (!MayRefuse(row, index, cell)) return true;
    if (SecurityFlags(row.Channel()) & kSecurityRunExecutables) return true;
    return AskToRunExecutable();
}

}  // namespace kv
