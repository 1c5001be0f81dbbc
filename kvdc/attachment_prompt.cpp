#include "kvdc/attachment_prompt.h"

#include "kvdc/client_failure.h"
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

}  // namespace

bool IsLocalFileReference(std::wstring_view t) {
    if (t.size() <= 2) return false;
    // Windows takes "/" for "\" after a drive letter, so "C:/x.exe" is as local as "C:\x.exe".
    if (t[1] == L':' && (t[2] == L'\\' || t[2] == L'/')) return true;
    if (t[0] == L'\\' && t[1] == L'\\') return true;
    return t.size() >= kFileScheme.size() && EqualsNoCase(t.substr(0, kFileScheme.size()), kFileScheme);
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
    return IsLocalFileReference(text) && !HasHarmlessExtension(text, HarmlessExtensions());
}

bool AttachmentPrompt::PermitRead(const Row& row, long, const VARIANT& cell) {
    if (cell.vt != VT_BSTR || !cell.bstrVal) return true;
    if (!NeedsConsent(std::wstring_view(cell.bstrVal, SysStringLen(cell.bstrVal)))) return true;
    if (SecurityFlags(row.Channel()) & kSecurityRunExecutables) return true;
    return AskToRunExecutable();
}

}  // namespace kv
