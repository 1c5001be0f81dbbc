// The client's upgrade run on real folders: replacement and update with and without a backup,
// failures at each step and what is put back, merging into the old version, and the
// registration programs. Runs in a sandbox prefix; kvv.exe, qtcc_wnt.dll and Korvane.exe are
// copied beside the test.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/raii.h"
#include "tests/support/child_process.h"
#include "tests/support/dialog_clicker.h"
#include "uninstall/sandbox_check.h"
#include "uninstall/upgrader.h"

namespace {

const auto* const kSealed = ::testing::AddGlobalTestEnvironment(new kv::test::SealedSandbox);

constexpr char kAppPaths[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvane.exe";
constexpr wchar_t kCaption[] = L"Korvane Upgrade";

std::string Here() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p = path;
    return p.substr(0, p.rfind('\\'));
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A folder as a map from relative path to a hash of the file's bytes ("<dir>" for a folder).
using Tree = std::map<std::string, std::string>;

std::string Hash(const std::string& bytes) {
    unsigned long long h = 1469598103934665603ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", h);
    return text;
}

void ReadTree(const std::string& folder, const std::string& prefix, Tree& tree) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree[prefix + name] = "<dir>";
            ReadTree(folder + "\\" + name, prefix + name + "\\", tree);
        } else {
            tree[prefix + name] = Hash(ReadText(folder + "\\" + name));
        }
    } while (FindNextFileA(find, &found));
    FindClose(find);
}

// Every folder of the installation, hashed; a missing folder is absent.
Tree Snapshot(const std::string& folder) {
    Tree tree;
    if (Exists(folder)) ReadTree(folder, "", tree);
    return tree;
}

// Writes `files` (relative path -> contents) below `folder`, making folders on the way.
void WriteTree(const std::string& folder, const std::map<std::string, std::string>& files) {
    CreateDirectoryA(folder.c_str(), nullptr);
    for (const auto& [name, text] : files) {
        for (size_t cut = name.find('\\'); cut != std::string::npos; cut = name.find('\\', cut + 1))
            CreateDirectoryA((folder + "\\" + name.substr(0, cut)).c_str(), nullptr);
        std::ofstream(folder + "\\" + name, std::ios::binary) << text;
    }
}

void SetAppPath(const std::string& path) {
    kv::UniqueHkey key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAppPaths, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
    RegSetValueExA(key.get(), "Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>(path.size() + 1));
}

// Answers every upgrade message box with OK, in order, and keeps their texts.
class MessageBoxes {
public:
    MessageBoxes() : thread_([this] { Run(); }) {}
    ~MessageBoxes() { Stop(); }
    std::vector<std::wstring> Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return texts_;
    }

private:
    void Run() {
        while (!stop_) {
            if (HWND box = kv::test::FindDialog(kCaption)) {
                kv::test::DialogClicker ok(kCaption, IDOK, 2000);
                ok.Wait();
                texts_.push_back(ok.Text());
                for (int i = 0; i < 250 && IsWindow(box); ++i) Sleep(20);
            }
            Sleep(20);
        }
    }
    std::atomic<bool> stop_{false};
    std::vector<std::wstring> texts_;
    std::thread thread_;
};

// The upgrade with failures injected through its own overridable steps.
class TestUpgrader : public kv::CUpgrader {
public:
    TestUpgrader() : CUpgrader(GetModuleHandleW(nullptr)) {}
    std::string failWriting;  // a block written to a destination with this name stops the copy
    bool failStart = false;

    bool OnCopyProgress(int phase, const char* source, const char* destination, ULONGLONG size, ULONGLONG done,
                        DWORD* context) override {
        std::string to = destination ? destination : "";
        if (phase == 2 && !failWriting.empty() && to.size() >= failWriting.size() &&
            to.compare(to.size() - failWriting.size(), failWriting.size(), failWriting) == 0)
            return false;
        return CUpgrader::OnCopyProgress(phase, source, destination, size, done, context);
    }
    bool OnUpgradeStart() override { return !failStart && CUpgrader::OnUpgradeStart(); }
};

const std::map<std::string, std::string> kOld = {
    {"a.dll", "old a"}, {"only-old.txt", "kept by an update"}, {"sub\\x.dat", "old x"}};
const std::map<std::string, std::string> kNew = {
    {"a.dll", "new a"},   {"b.dll", "new b"},         {"c.dll", "new c"},        {".profile", "dot-named"},
    {"sub\\x.dat", "new x"}, {"sub\\deep\\y.dat", "new y"}, {"sub\\upgrade.dat", "[upgrade]\r\nmethod=update\r\n"}};

// One client installation under C:\kvtest: "program" with the old version (its a.dll
// read-only), "NewVersion" with the new one and the registration programs, a stale
// "PrevVersion", "data" with the marker upgrade.ver.
struct Installation {
    std::string root;
    std::string calls;

    // In C:\kvtest\client<n>, or in `at` (where the sandbox's fixture made links), with `old` as
    // the old version.
    explicit Installation(const std::string& settings, const std::string& at = "",
                          const std::map<std::string, std::string>& old = kOld) {
        static int count = 0;
        root = at.empty() ? Here() + "\\client" + std::to_string(++count) : at;
        calls = root + "\\calls.txt";
        CreateDirectoryA(root.c_str(), nullptr);
        WriteTree(root + "\\program", old);
        if (old.count("a.dll")) SetFileAttributesA((root + "\\program\\a.dll").c_str(), FILE_ATTRIBUTE_READONLY);
        auto files = kNew;
        files["upgrade.dat"] = settings;
        WriteTree(root + "\\NewVersion", files);
        for (const char* program : {"kvv.exe", "qtcc_wnt.dll"})
            CopyFileA((Here() + "\\" + program).c_str(), (root + "\\NewVersion\\" + program).c_str(), FALSE);
        WriteTree(root + "\\PrevVersion", {{"stale.txt", "an older backup"}});
        WriteTree(root + "\\data", {{"upgrade.ver", "1"}});
        SetAppPath(root + "\\program");
        SetEnvironmentVariableA("KV_STANDIN_RECORD", calls.c_str());
        newVersion = Snapshot(root + "\\NewVersion");
        oldVersion = Snapshot(root + "\\program");
        stale = Snapshot(root + "\\PrevVersion");
    }
    Tree Folder(const char* name) const { return Snapshot(root + "\\" + name); }
    std::string Log() const { return ReadText(root + "\\data\\upgrade.log"); }
    // The log with the installation's root written as "<root>".
    std::string LogShown() const {
        std::string log = Log();
        for (size_t at; (at = log.find(root)) != std::string::npos;) log.replace(at, root.size(), "<root>");
        // The folder "program" is moved aside to has a name of the moment.
        return std::regex_replace(log, std::regex(R"(program\.[0-9a-f]{4}\.old)"), "program.<n>.old");
    }
    Tree oldVersion, newVersion, stale;
};

// The new version merged over the old one, as an update leaves "program".
Tree Merged(const Installation& in) {
    Tree merged = in.oldVersion;
    for (const auto& [name, hash] : in.newVersion)
        if (name != "upgrade.dat" && name != "sub\\upgrade.dat") merged[name] = hash;
    return merged;
}

const char kRegistered[] = "kvv.exe begin /REGSERVER\r\nkvv.exe end\r\nqtcc_wnt.dll DllRegisterServer\r\n";

TEST(Upgrade, ReplacementAndUpdateWithAndWithoutBackup) {
    struct Row {
        const char* settings;
        bool update, backup;
        const char* log;
    };
    const Row rows[] = {
        {"", false, true,
#include "uninstall/upgrade_test_logs/replacement_backup.inc"
        },
        {"[upgrade]\r\nupgrade_method=replacement\r\nkeep-backup=0\r\n", false, false,
#include "uninstall/upgrade_test_logs/replacement_nobackup.inc"
        },
        {"[upgrade]\r\nmethod=UpDaTe\r\nupgrade_method=replacement\r\n", true, true,
#include "uninstall/upgrade_test_logs/update_backup.inc"
        },
        {"[upgrade]\r\nmethod=update\r\nkeep-backup=0\r\n", true, false,
#include "uninstall/upgrade_test_logs/update_nobackup.inc"
        },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.settings);
        Installation in(row.settings);
        MessageBoxes boxes;
        TestUpgrader upgrader;
        EXPECT_TRUE(upgrader.RunUpgrade());
        EXPECT_EQ(kRegistered, ReadText(in.calls));  // kvv.exe had ended when the run went on
        EXPECT_EQ(std::vector<std::wstring>{L"Korvane has been upgraded. The new client is now installed."},
                  boxes.Stop());
        EXPECT_EQ(row.update ? Merged(in) : in.newVersion, in.Folder("program"));
        EXPECT_EQ(row.backup ? in.oldVersion : in.stale, in.Folder("PrevVersion"));
        EXPECT_EQ(Tree{}, in.Folder("NewVersion"));
        EXPECT_EQ((Tree{{"upgrade.log", in.Folder("data")["upgrade.log"]}, {"upgrade.ok", Hash("")}}),
                  in.Folder("data"));
        EXPECT_EQ(row.log, in.LogShown());
        EXPECT_EQ(nullptr, FindWindowA(nullptr, "Korvane Agent"));  // it was not running: not started
    }
}

std::vector<std::string> Shown(const std::vector<std::wstring>& texts, const std::string& root) {
    std::vector<std::string> shown;
    for (const std::wstring& text : texts) {
        std::string line(text.begin(), text.end());
        for (size_t at; (at = line.find(root)) != std::string::npos;) line.replace(at, root.size(), "<root>");
        shown.push_back(line);
    }
    return shown;
}

const char kRestored[] = "Korvane upgrade failed. The previous version has been restored.";

TEST(Upgrade, AFailedUpgradeLeavesTheVersionThatWorks) {
    struct Row {
        const char* what;
        const char* settings;
        void (*prepare)(Installation&, TestUpgrader&, kv::UniqueHandleObj& held);
        std::vector<std::string> messages;
        bool programIsOld;
        const char* logged;
        bool backupKept = false;  // the backup there before the run is still there
    };
    const Row rows[] = {
        {"a copy fails in the middle", "[upgrade]\r\nmethod=update\r\n",
         [](Installation&, TestUpgrader& up, kv::UniqueHandleObj&) { up.failWriting = "\\program\\b.dll"; },
         {kRestored}, true, "Upgrade attempted but failed\n"},
        {"a copy fails without a backup", "[upgrade]\r\nmethod=update\r\nkeep-backup=0\r\n",
         [](Installation&, TestUpgrader& up, kv::UniqueHandleObj&) { up.failWriting = "\\program\\b.dll"; },
         {"Korvane upgrade failed. You must reinstall a new copy of the Korvane client."}, false,
         "Upgrade attempted but failed\n"},
        {"the backup is impossible", "[upgrade]\r\nmethod=update\r\n",
         [](Installation& in, TestUpgrader&, kv::UniqueHandleObj& held) {
             held.reset(CreateFileA((in.root + "\\PrevVersion\\stale.txt").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
         },
         {"Could not perform Korvane upgrade. Unable to create a backup of previous version."}, true,
         "Upgrade was not attempted\n"},
        {"the upgrade fails to start", "",
         [](Installation&, TestUpgrader& up, kv::UniqueHandleObj&) { up.failStart = true; },
         {"Unable to rename '<root>\\program' to '<root>\\NewVersion'.", kRestored}, true,
         "OnUpgradeStart failed\n"},
        {"a file stands where a folder goes", "[upgrade]\r\nmethod=update\r\n",
         [](Installation& in, TestUpgrader&, kv::UniqueHandleObj&) {
             WriteTree(in.root + "\\program", {{"sub\\deep", "a file"}});
         },
         {"Unable to create directory: <root>\\program\\sub\\deep.", kRestored}, true,
         "Copy directory failed\n"},
        {"there is no new version", "",
         [](Installation& in, TestUpgrader&, kv::UniqueHandleObj&) {
             kv::DeleteFolderTree(kv::ToWide(in.root + "\\NewVersion"));
             in.newVersion = {};
         },
         {"Unable to open file: <root>\\NewVersion."}, true, "No new version in <root>\\NewVersion\n", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Installation in(row.settings);
        TestUpgrader upgrader;
        kv::UniqueHandleObj held;
        row.prepare(in, upgrader, held);
        in.oldVersion = in.Folder("program");
        MessageBoxes boxes;
        EXPECT_FALSE(upgrader.RunUpgrade());
        EXPECT_EQ(row.messages, Shown(boxes.Stop(), in.root));
        held.reset();
        if (row.programIsOld) {
            EXPECT_EQ(in.oldVersion, in.Folder("program"));
        }
        EXPECT_EQ(in.newVersion, in.Folder("NewVersion"));  // the new version is never lost
        EXPECT_TRUE(Exists(in.root + "\\data\\upgrade.ok"));
        EXPECT_NE(std::string::npos, in.LogShown().find(row.logged)) << in.Log();
        if (row.backupKept) {
            EXPECT_EQ(in.stale, in.Folder("PrevVersion"));
        }
    }
}

TEST(Upgrade, AClientThatIsNotInstalledIsLeftAlone) {
    Installation in("");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAppPaths);
    MessageBoxes boxes;
    EXPECT_FALSE(TestUpgrader().RunUpgrade());
    EXPECT_EQ(std::vector<std::string>{"Korvane is not installed on this machine. This program can only upgrade an "
                                       "existing client installation."},
              Shown(boxes.Stop(), in.root));
    EXPECT_EQ(in.oldVersion, in.Folder("program"));
    EXPECT_EQ(in.newVersion, in.Folder("NewVersion"));
    EXPECT_EQ((Tree{{"upgrade.ver", Hash("1")}}), in.Folder("data"));
}

TEST(Upgrade, ARunningClientIsStoppedAndStartedAgain) {
    Installation in("");
    CopyFileA((Here() + "\\Korvane.exe").c_str(), (in.root + "\\NewVersion\\Korvane.exe").c_str(), FALSE);
    kv::test::ChildProcess client("\"" + Here() + "\\Korvane.exe\"");
    ASSERT_NE(nullptr, client.WaitForTopWindow(nullptr, "Korvane Agent"));
    MessageBoxes boxes;
    TestUpgrader upgrader;
    EXPECT_TRUE(upgrader.RunUpgrade());
    boxes.Stop();
    EXPECT_TRUE(client.WaitExit(0));
    std::string log = in.Log();
    EXPECT_NE(std::string::npos, log.find("Stop client OK\nUpgrade type - REPLACEMENT\n")) << log;
    EXPECT_NE(std::string::npos, log.find("Starting client at " + in.root + "\\program\\Korvane.exe\nClient was started OK\n"))
        << log;
    HWND restarted = nullptr;
    for (int i = 0; i < 200 && !(restarted = FindWindowA(nullptr, "Korvane Agent")); ++i) Sleep(50);
    EXPECT_NE(nullptr, restarted);
    EXPECT_TRUE(upgrader.StopClient());
}

// --- Always the old version or the new one -----------------------------------------------------

constexpr char kUpdate[] = "[upgrade]\r\nmethod=update\r\n";
constexpr char kReplacement[] = "[upgrade]\r\nmethod=replacement\r\n";
constexpr char kReplacementNoBackup[] = "[upgrade]\r\nmethod=replacement\r\nkeep-backup=0\r\n";
constexpr char kSucceeded[] = "Korvane has been upgraded. The new client is now installed.";

// What the run left: "new" (with message 110 alone), "old" (with a failure message last), or
// what went wrong. No journal may be left over, nor (with `setAside`) a folder that "program" was
// moved aside to; one that holds a file still open stays until the next run.
std::string Outcome(const Installation& in, bool update, const std::vector<std::string>& messages,
                    bool setAside = true) {
    const Tree program = in.Folder("program");
    std::string leftovers;
    WIN32_FIND_DATAA found;
    if (HANDLE find = FindFirstFileA((in.root + "\\*").c_str(), &found); find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if ((setAside && name.starts_with("program.")) || name.starts_with("upgrade.journal")) leftovers += " " + name;
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    if (!leftovers.empty()) return "left over:" + leftovers;
    if (program == (update ? Merged(in) : in.newVersion))
        return messages == std::vector<std::string>{kSucceeded} ? "new" : "new, but told: " + (messages.empty() ? "" : messages.back());
    if (program == in.oldVersion) {
        bool toldFailure = !messages.empty() && (messages.back() == kRestored ||
                                                 messages.back().starts_with("Could not perform Korvane upgrade."));
        return toldFailure ? "old" : "old, but told: " + (messages.empty() ? "" : messages.back());
    }
    return "program is neither version";
}

TEST(UpgradeOutcome, HostileMachinesLeaveExactlyTheOldOrTheNewVersion) {
    struct Row {
        const char* what;
        const char* settings;
        const char* at;  // where the fixture made links, or "" for a fresh folder
        void (*prepare)(Installation&, kv::UniqueHandleObj& held);
        const char* expected;  // "new" or "old", or "either" where the platform decides
    };
    auto holdDll = [](Installation& in, kv::UniqueHandleObj& held) {
        // As the loader holds a DLL: others may read it, not write, rename or delete it.
        held.reset(CreateFileA((in.root + "\\program\\a.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr));
    };
    auto enterProgram = [](Installation& in, kv::UniqueHandleObj&) {
        SetCurrentDirectoryA((in.root + "\\program\\sub").c_str());
    };
    auto nothing = [](Installation&, kv::UniqueHandleObj&) {};
    // A journal left by a run that never got far, naming as the folder "program" was moved to a
    // folder the engine never makes: here the waiting new version, as a relative and a full path.
    auto journalNamesNewVersion = [](Installation& in, kv::UniqueHandleObj&) {
        WriteTree(in.root, {{"upgrade.journal", "[journal]\r\nstep=backup\r\nmethod=update\r\nbackup=1\r\naside=NewVersion\r\n"}});
    };
    auto journalNamesFullPath = [](Installation& in, kv::UniqueHandleObj&) {
        WriteTree(in.root, {{"upgrade.journal", "[journal]\r\nstep=backup\r\nmethod=update\r\nbackup=1\r\naside=" +
                                                    in.root + "\\NewVersion\r\n"}});
    };
    const Row rows[] = {
        {"a DLL held open, update", kUpdate, "", holdDll, "either"},
        {"a DLL held open, replacement", kReplacement, "", holdDll, "either"},
        {"a DLL held open, replacement without a backup", kReplacementNoBackup, "", holdDll, "either"},
        {"the current folder inside program, update", kUpdate, "", enterProgram, "either"},
        {"the current folder inside program, replacement", kReplacement, "", enterProgram, "either"},
        {"links in NewVersion, update", kUpdate, "C:\\kvup\\link-in-new", nothing, "old"},
        {"links in program, update", kUpdate, "C:\\kvup\\link-in-program", nothing, "old"},
        {"links in NewVersion, replacement", kReplacement, "C:\\kvup\\replace-link-in-new", nothing, "old"},
        {"a journal naming the new version as set aside", kUpdate, "", journalNamesNewVersion, "new"},
        {"a journal naming a full path as set aside", kUpdate, "", journalNamesFullPath, "new"},
        {"the client's folder named through an alias drive, update", kUpdate, "Y:\\kvup\\alias", nothing, "new"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const bool links = std::string(row.at).starts_with("C:");
        Installation in(row.settings, row.at,
                        links ? std::map<std::string, std::string>{{"a.dll", "old a"}, {"only-old.txt", "kept"}} : kOld);
        if (links) {
            for (const char* link : {"\\NewVersion\\skins", "\\NewVersion\\z.dll", "\\program\\sub"})
                if (Exists(in.root + link)) {
                    ASSERT_TRUE(kv::test::IsLink(kv::ToWide(in.root + link)));
                }
        }
        kv::UniqueHandleObj held;
        row.prepare(in, held);
        MessageBoxes boxes;
        TestUpgrader upgrader;
        upgrader.RunUpgrade();
        SetCurrentDirectoryA(Here().c_str());
        held.reset();
        const std::string outcome = Outcome(in, row.settings == kUpdate, Shown(boxes.Stop(), in.root), false);
        if (std::string(row.expected) == "either")
            EXPECT_TRUE(outcome == "new" || outcome == "old") << outcome;
        else
            EXPECT_EQ(row.expected, outcome);
        EXPECT_EQ(kv::test::kHostCanaries, kv::test::HostCanaries());
        if (outcome == "old" && !links) {
            // Once the obstacle is gone, the next run upgrades and clears what was set aside.
            MessageBoxes again;
            TestUpgrader().RunUpgrade();
            EXPECT_EQ("new", Outcome(in, row.settings == kUpdate, Shown(again.Stop(), in.root)));
        }
    }
}

// The run stopped (as by a crash) at one of its steps.
struct Stopped {};

class StoppingUpgrader : public TestUpgrader {
public:
    // Stops at the `stopAt`-th step, or at the first step whose name holds `stopName`.
    StoppingUpgrader(int stopAt, std::string stopName) : stopAt_(stopAt), stopName_(std::move(stopName)) {}
    std::string where;
    void OnRunStep(const char* step) override { Count(step); }
    bool OnCopyProgress(int phase, const char* source, const char* destination, ULONGLONG size, ULONGLONG done,
                        DWORD* context) override {
        if (phase == 3) Count((std::string("a file copied to ") + destination).c_str());
        return TestUpgrader::OnCopyProgress(phase, source, destination, size, done, context);
    }

private:
    void Count(const char* step) {
        if (++seen_ == stopAt_ || (!stopName_.empty() && std::string(step).find(stopName_) != std::string::npos)) {
            where = step;
            throw Stopped{};
        }
    }
    int stopAt_, seen_ = 0;
    std::string stopName_;
};

// A run stops at one of its steps; the next run then finishes the upgrade or rolls it back and
// upgrades again: the new version, message 110 alone, the old version as the backup. In the
// suite, the steps where the installation is most torn; every step with KV_LONG_TESTS=1.
TEST(UpgradeOutcome, AnUpgradeStoppedAtAnyStepIsPutRightByTheNextRun) {
    const struct {
        const char* what;
        const char* settings;
        const char* failWriting;
        std::vector<std::string> stops;
        bool readOnlyJournal = false;
        bool newerWaits = false;  // a newer version is put in NewVersion before the next run
    } runs[] = {
        {"update", kUpdate, "", {"program\\b.dll", "installed"}},
        {"update, its journal read-only", kUpdate, "", {"installed"}, true},
        {"update, a newer version waiting", kUpdate, "", {"installed"}, false, true},
        {"replacement", kReplacement, "", {"backed up", "placed"}},
        {"update that fails and is restored", kUpdate, "\\program\\b.dll", {"set aside", "restored"}},
    };
    char flag[4] = {};
    const bool all = GetEnvironmentVariableA("KV_LONG_TESTS", flag, sizeof flag) && flag[0] == '1';
    for (const auto& run : runs) {
        const size_t count = all ? 1000 : run.stops.size();
        for (size_t i = 0; i < count; ++i) {
            Installation in(run.settings);
            StoppingUpgrader stopping(all ? static_cast<int>(i) + 1 : 0, all ? "" : run.stops[i]);
            stopping.failWriting = run.failWriting;
            bool stopped = false;
            {
                MessageBoxes boxes;
                try {
                    stopping.RunUpgrade();
                } catch (const Stopped&) {
                    stopped = true;
                }
            }
            stopping.Log();
            if (all && !stopped) break;  // the run went through: every step has had its turn
            SCOPED_TRACE(std::string(run.what) + ", stopped after: " + stopping.where);
            ASSERT_TRUE(stopped);
            if (run.readOnlyJournal) {
                ASSERT_TRUE(SetFileAttributesA((in.root + "\\upgrade.journal").c_str(), FILE_ATTRIBUTE_READONLY));
            }
            if (run.newerWaits) {
                // The journal's upgrade is finished; the newer version is not lost but waits.
                WriteTree(in.root + "\\NewVersion", {{"d.dll", "newer d"}});
                in.newVersion["d.dll"] = Hash("newer d");
                MessageBoxes first;
                EXPECT_TRUE(TestUpgrader().RunUpgrade());
                EXPECT_EQ(Hash("newer d"), in.Folder("NewVersion")["d.dll"]);
                EXPECT_FALSE(Exists(in.root + "\\upgrade.journal"));
                first.Stop();
                in.oldVersion = in.Folder("program");
            }
            MessageBoxes boxes;
            TestUpgrader rerun;
            EXPECT_TRUE(rerun.RunUpgrade());
            EXPECT_EQ("new", Outcome(in, run.settings == kUpdate, Shown(boxes.Stop(), in.root)));
            EXPECT_EQ(in.oldVersion, in.Folder("PrevVersion"));
            EXPECT_EQ(Tree{}, in.Folder("NewVersion"));
        }
    }
}

}  // namespace
