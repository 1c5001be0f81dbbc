// The browser and automation-runtime checks read the files of the system directory. This test
// runs in a prefix of its own, made for this run only, and puts DLLs with chosen version
// resources in place of SHDOCVW.DLL and OLEAUT32.DLL.
#include <gtest/gtest.h>

#include <string>

#include "platform/module_path.h"
#include "platform/raii.h"
#include "setupaids/version_checks.h"
#include "tests/support/child_process.h"

namespace {

// Runs one check of SetupAids.dll in a fresh process: this test's own process has the
// system's automation runtime loaded, and a loaded module would be read instead of the file.
int RunCheck(const char* name) {
    kv::test::ChildProcess call(kv::test::WinPath(KV_CALL_EXPORT_EXE) + " " + kv::test::WinPath(KV_SETUPAIDS_DLL) +
                                " " + name);
    if (!call.WaitExit(30000)) return -1;
    DWORD code = 0;
    GetExitCodeProcess(call.Handle(), &code);
    return static_cast<int>(code);
}

class SystemFileChecks : public testing::Test {
protected:
    // Wine reads the version of its built-in copy of a system DLL unless the program is told to
    // take the file on disk; this prefix is thrown away after the run.
    static void SetUpTestSuite() {
        kv::UniqueHkey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\kvcallexport.exe\\DllOverrides", 0,
                                  nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr));
        for (const char* dll : {"shdocvw", "oleaut32"})
            RegSetValueExA(key.get(), dll, 0, REG_SZ, reinterpret_cast<const BYTE*>("native"), 7);
    }
    // Puts the probe DLL `probe` in the system directory under the name `file`.
    static void Place(const char* probe, const char* file) {
        std::string source = kv::test::WinPath(std::string(KV_VERSIONED_DLL_DIR) + "/" + probe + ".dll");
        std::string target = *kv::setupaids::SystemFile(file);
        ASSERT_TRUE(CopyFileA(source.c_str(), target.c_str(), FALSE)) << source << " -> " << target;
    }
    static void Remove(const char* file) { DeleteFileA(kv::setupaids::SystemFile(file)->c_str()); }
    static int ie_() { return RunCheck("IsIE301OrHigher"); }
    static int oleaut_() { return RunCheck("IsOLEAUT32Available"); }
};

struct VersionCase {
    const char* probe;
    int expected;
};

TEST_F(SystemFileChecks, ShellComponentMustBe4_70_1215OrLater) {
    const VersionCase cases[] = {
        {"ver_4_70_1215_0", 1}, {"ver_4_70_1155_0", 0}, {"ver_4_71_0_0", 1}, {"ver_5_0_0_0", 1},
        {"ver_3_2_0_0", 0},
        // The build number may sit in the low word when the high word is 0.
        {"ver_4_70_0_1215", 1},
        // A version resource larger than 2 KB is read in full, not taken for an old version.
        {"ver_5_0_padded", 1},
        // A file without a version resource proves nothing: no.
        {"ver_none", 0},
    };
    for (const auto& c : cases) {
        Place(c.probe, "\\SHDOCVW.DLL");
        EXPECT_EQ(c.expected, ie_()) << c.probe;
    }
    Remove("\\SHDOCVW.DLL");
    EXPECT_EQ(0, ie_());
}

TEST_F(SystemFileChecks, AutomationRuntimeMustBeNewerThan2_1UnlessUnreadable) {
    const VersionCase cases[] = {
        {"ver_2_20_4118", 1}, {"ver_2_10", 0}, {"ver_2_1", 0}, {"ver_5_0_padded", 1},
        // No version text that could prove it too old: yes.
        {"ver_none", 1}, {"ver_3_0_us_unicode", 1},
    };
    for (const auto& c : cases) {
        Place(c.probe, "\\OLEAUT32.DLL");
        EXPECT_EQ(c.expected, oleaut_()) << c.probe;
    }
    Remove("\\OLEAUT32.DLL");
    EXPECT_EQ(0, oleaut_());
}

TEST(VersionRules, FileVersionTextIsCutAtItsSecondDot) {
    const struct {
        const char* text;
        bool newEnough;
    } cases[] = {
        {"2.20.4118", true}, {"2.10", false}, {"2.1", false},     {"2.11.1.1", true},
        {" 2.40", true},     {"2", false},    {"10.0.1", true},   {"", false},
        {"abc", false},      {"2.2x", true},  {"2.09.9999", false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.newEnough, kv::setupaids::IsOleAutVersionTextNewEnough(c.text)) << c.text;
}

}  // namespace
