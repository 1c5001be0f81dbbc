// For the tests that delete or write folders: they run only in a sealed sandbox (no drive Z:, no
// folder of the profiles that leads out of drive C:), and they use the links that the sandbox's
// fixture (sandbox_links.sh) made with ln -s.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/text.h"
#include "uninstall/folder_tree.h"

namespace kv::test {

// The first entry below `folder` (`depth` levels) whose final path is not on drive C:.
inline std::wstring FirstEntryLeadingOut(const std::wstring& folder, int depth) {
    std::wstring out;
    kv::ForEachFolderEntry(L"\\\\?\\" + folder, [&](const WIN32_FIND_DATAW& found) {
        const std::wstring child = folder + L"\\" + found.cFileName;
        if (!out.empty()) return;
        std::wstring final = kv::FinalFolderPath(child);
        if (final.size() < 3 || (final[0] != L'C' && final[0] != L'c'))
            out = child;
        else if (depth > 0 && kv::IsPlainDirectory(found.dwFileAttributes))
            out = FirstEntryLeadingOut(child, depth - 1);
    });
    return out;
}

// Refuses the whole run unless the sandbox is sealed.
class SealedSandbox : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeW(L"Z:\\")) << "drive Z: reaches the host";
        ASSERT_EQ("", kv::ToAnsi(FirstEntryLeadingOut(L"C:\\users", 6))) << "a profile folder reaches the host";
    }
};

// Whether the fixture's link at `path` is there and really is a link (its final path is not its
// own): a case that rests on one checks first.
inline ::testing::AssertionResult IsLink(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return ::testing::AssertionFailure() << kv::ToAnsi(path) << " is missing";
    if (kv::IsOwnEntry(L"\\\\?\\" + path)) return ::testing::AssertionFailure() << kv::ToAnsi(path) << " is no link";
    return ::testing::AssertionSuccess();
}

inline std::string FileText(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The host's canaries, read through the two links the tests never move: the file's bytes, the
// folder's entries and their bytes.
inline std::string HostCanaries() {
    std::string seen = FileText(L"C:\\kvlinks\\file");
    kv::ForEachFolderEntry(L"\\\\?\\C:\\kvlinks\\dir", [&](const WIN32_FIND_DATAW& found) {
        seen += "|" + kv::ToAnsi(found.cFileName) + "=" + FileText(std::wstring(L"C:\\kvlinks\\dir\\") + found.cFileName);
    });
    return seen;
}
constexpr char kHostCanaries[] = "host canary\n|canary.txt=host folder canary\n";

}  // namespace kv::test
