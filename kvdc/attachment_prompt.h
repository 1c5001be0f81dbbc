// The story control's guard over page-facing cell reads: a cell naming a local file whose type
// is not among the harmless ones (string 107) is handed out only when the channel lets
// executable content run automatically (security flag bit 0) or the user answers Yes to the
// warning of string 108. Any other answer makes the read yield VT_BOOL FALSE.
//
// The prompt is a modal message box on the reading thread, owned by its active window; while it
// is open the thread's messages keep flowing. Installed with RecordSet::SetCellReadGuard; the
// control's thread.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/row.h"

namespace kv {

// Security flag of a channel: executable content may run without asking.
constexpr long kSecurityRunExecutables = 0x1;

// "C:\...", "C:/...", "\\server\..." or "file://..." (any case), and longer than two characters.
bool IsLocalFileReference(std::wstring_view text);

// True when the text has no "." or the first three characters after its last "." equal one of
// `harmless` (ASCII case-insensitive).
bool HasHarmlessExtension(std::wstring_view text, const std::vector<std::wstring>& harmless);

// The harmless types of string 107, loaded once per process.
const std::vector<std::wstring>& HarmlessExtensions();

// Whether handing out `text` needs the user's consent regardless of the channel: a local file
// of a type outside the harmless ones, judged by the file the system would open. Only the text
// before an embedded NUL counts; a file address loses its query and fragment and has its
// escapes decoded; trailing dots and blanks of the name are dropped, as the file system drops
// them. A plain path is also judged read as an address.
bool NeedsConsent(std::wstring_view text);

class AttachmentPrompt : public CellReadGuard {
public:
    bool PermitRead(const Row& row, long index, const VARIANT& cell) override;
    // Only text naming a local file of a type that is not harmless may be refused.
    bool MayRefuse(const Row& row, long index, const VARIANT& cell) override;
};

inline std::shared_ptr<CellReadGuard> MakeAttachmentPrompt() { return std::make_shared<AttachmentPrompt>(); }

}  // namespace kv
