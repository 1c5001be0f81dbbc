// The uninstall program's client services: where the client is installed, the upgrade log, and
// stopping a running client (the client stand-in in a process of its own).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/raii.h"
#include "tests/support/child_process.h"
#include "tests/support/dialog_clicker.h"
#include "uninstall/client_messages.h"
#include "uninstall/upgrader.h"

namespace {

using kv::test::ChildProcess;
using kv::test::TempFolder;

constexpr char kAppPaths[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvane.exe";

// Sets (or removes) the "Path" value of the client's App Paths entry for one test and puts back
// what was there before.
class AppPathsEntry {
public:
    AppPathsEntry() {
        kv::UniqueHkey key;
        existed_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAppPaths, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
        if (existed_) {
            char value[4096] = {};
            DWORD size = sizeof value - 1;
            hadPath_ = RegQueryValueExA(key.get(), "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) ==
                       ERROR_SUCCESS;
            path_ = value;
        }
    }
    ~AppPathsEntry() {
        if (!existed_) {
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAppPaths);
        } else if (hadPath_) {
            Set(path_);
        } else {
            kv::UniqueHkey key;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAppPaths, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
                RegDeleteValueA(key.get(), "Path");
        }
    }
    static void Set(const std::string& path) {
        kv::UniqueHkey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAppPaths, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                                 key.put(), nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "Path", 0, REG_SZ,
                                                reinterpret_cast<const BYTE*>(path.c_str()),
                                                static_cast<DWORD>(path.size() + 1)));
    }
    static void Remove() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAppPaths); }

private:
    bool existed_ = false;
    bool hadPath_ = false;
    std::string path_;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ClientMessages, RegisteredUnderTheClientsNamesBeforeMainRuns) {
    namespace m = kv::clientmsg;
    const std::pair<UINT, const char*> messages[] = {
        {m::SoundRequest, "Korvane_SOUND_REQUEST_MSG"},
        {m::AbortRequest, "Korvane_ABORT_REQUEST_MSG"},
        {m::AbortIgnored, "Korvane_ABORT_IGNORED_MSG"},
        {m::UserInteraction, "Korvane_USER_INTERACTION_MSG"},
        {m::ApproveCert, "Korvane_APPROVE_CERT_MSG"},
        {m::NeedFileCopyAccess, "Korvane_NEED_FILE_COPY_ACCESS"},
        {m::MultiplayerRunDone, "Korvane_MULTIPLAYER_RUN_DONE"},
        {m::MultiplayerStopDone, "Korvane_MULTIPLAYER_STOP_DONE"},
        {m::MultiplayerStopAllDone, "Korvane_MULTIPLAYER_STOPALL_DONE"},
        {m::MultiplayerProgramClosed, "Korvane_MULTIPLAYER_PROGRAM_CLOSED"},
        {m::ScreenSaverModeEnd, "Korvane_SCREEN_SAVER_MODE_END_MSG"},
        {m::ScreenSaverClick, "Korvane_SCREEN_SAVER_CLICK_MSG"},
        {m::RichMessageReady, "Korvane_RICH_MESSAGE_READY"},
        {m::RegisterChannel, "KVregisterChannel"},
        {m::CanCloseUI, "KVcanCloseUI"},
    };
    for (const auto& [number, name] : messages) {
        EXPECT_GE(number, 0xC000u) << name;
        EXPECT_EQ(RegisterWindowMessageA(name), number) << name;
    }
}

struct DirectoryCase {
    const char* stored;
    const char* expected;
};

TEST(ClientLocation, RootDirectoryFromAppPaths) {
    AppPathsEntry restore;
    const DirectoryCase cases[] = {
        {"C:\\Program Files\\Korvane\\Korvane\\program", "C:\\Program Files\\Korvane\\Korvane\\"},
        {"C:\\Korvane\\PROGRAM", "C:\\Korvane\\"},
        {"C:\\Korvane\\ProGram", "C:\\Korvane\\"},
        {"C:\\Korvane\\program\\", "C:\\Korvane\\program\\"},
        {"C:\\Korvane\\programs", "C:\\Korvane\\programs"},
        {"C:\\Korvane\\bin", "C:\\Korvane\\bin"},
        {"\\\\server\\share\\program", "\\\\server\\share\\"},
    };
    kv::CUpgrader upgrader(nullptr);
    for (const auto& c : cases) {
        AppPathsEntry::Set(c.stored);
        char buffer[MAX_PATH] = {};
        EXPECT_TRUE(upgrader.GetClientDirectory(buffer, sizeof buffer)) << c.stored;
        EXPECT_STREQ(c.expected, buffer) << c.stored;
    }
}

TEST(ClientLocation, MissingOrOversizedEntryFailsWithoutOverflow) {
    AppPathsEntry restore;
    kv::CUpgrader upgrader(nullptr);
    char buffer[MAX_PATH + 8];
    AppPathsEntry::Remove();
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(upgrader.GetClientDirectory(buffer, MAX_PATH));
    EXPECT_FALSE(upgrader.ResolvePath("data", buffer, MAX_PATH));
    // A value that names no drive would resolve against the current one: no client there.
    for (const char* stored : {"", "program", "..", "\\program", "C:program"}) {
        AppPathsEntry::Set(stored);
        EXPECT_FALSE(upgrader.GetClientDirectory(buffer, MAX_PATH)) << stored;
        EXPECT_STREQ("", buffer) << stored;
    }

    // A value longer than the caller's buffer: refused, and nothing written past the buffer.
    AppPathsEntry::Set("C:\\" + std::string(400, 'k') + "\\program");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(upgrader.GetClientDirectory(buffer, MAX_PATH));
    EXPECT_EQ(std::string(8, 'x'), std::string(buffer + MAX_PATH, 8));
    EXPECT_FALSE(upgrader.ResolvePath("data", buffer, MAX_PATH));
    EXPECT_EQ(std::string(8, 'x'), std::string(buffer + MAX_PATH, 8));

    // A root that fits, but not with the name joined to it.
    AppPathsEntry::Set("C:\\Korvane\\program");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(upgrader.ResolvePath("NewVersion", buffer, 20));
    EXPECT_EQ('x', buffer[20]);
    EXPECT_TRUE(upgrader.ResolvePath("data", buffer, 20));
    EXPECT_STREQ("C:\\Korvane\\data", buffer);
}

TEST(ClientLocation, ResolvePathJoinsRelativeNamesAndKeepsAbsoluteOnes) {
    AppPathsEntry restore;
    kv::CUpgrader upgrader(nullptr);
    char buffer[MAX_PATH];

    AppPathsEntry::Set("C:\\Korvane\\program");
    ASSERT_TRUE(upgrader.ResolvePath("data", buffer, sizeof buffer));
    EXPECT_STREQ("C:\\Korvane\\data", buffer);
    AppPathsEntry::Set("D:\\Client\\bin");
    ASSERT_TRUE(upgrader.ResolvePath("NewVersion", buffer, sizeof buffer));
    EXPECT_STREQ("D:\\Client\\bin\\NewVersion", buffer);
    // A drive letter with a colon but no separator names a relative path.
    ASSERT_TRUE(upgrader.ResolvePath("C:data", buffer, sizeof buffer));
    EXPECT_STREQ("D:\\Client\\bin\\C:data", buffer);

    // Absolute names need no registry at all.
    AppPathsEntry::Remove();
    for (const char* name : {"C:\\Korvane\\data", "c:/Korvane/data", "\\Korvane\\data", "/Korvane/data"}) {
        ASSERT_TRUE(upgrader.ResolvePath(name, buffer, sizeof buffer)) << name;
        EXPECT_STREQ(name, buffer);
    }
    EXPECT_FALSE(upgrader.ResolvePath("data", buffer, sizeof buffer));
}

// A client installation in a temporary folder: <root>\program is what App Paths names.
class ClientInstall {
public:
    ClientInstall() : root_("kvupgrader") {
        CreateDirectoryA(Program().c_str(), nullptr);
        CreateDirectoryA(Data().c_str(), nullptr);
        AppPathsEntry::Set(Program());
    }
    std::string Program() const { return root_.Path() + "\\program"; }
    std::string Data() const { return root_.Path() + "\\data"; }
    std::string LogText() const { return ReadFile(Data() + "\\upgrade.log"); }

private:
    AppPathsEntry restore_;
    TempFolder root_;
};

TEST(UpgradeLog, LinesAsFormattedAndEachOpeningStartsEmpty) {
    ClientInstall install;
    {
        kv::CUpgrader upgrader(nullptr);
        upgrader.Log("Copy directory %s to %s\n", "a", "b");
        upgrader.Log("no newline, ");
        std::string longPath(3000, 'p');
        upgrader.Log("Remove %s\n", longPath.c_str());
        EXPECT_EQ("Copy directory a to b\nno newline, Remove " + longPath + "\n", install.LogText());
        upgrader.Log();
        upgrader.Log("Keep backup TRUE\n");
        EXPECT_EQ("Keep backup TRUE\n", install.LogText());
    }
    // Another upgrader of the same process: the destructor above closed the log, so this opens
    // it afresh.
    kv::CUpgrader again(nullptr);
    again.Log("Stopping client\n");
    EXPECT_EQ("Stopping client\n", install.LogText());
}

TEST(UpgradeLog, UnwritableLogDropsLinesAndTriesAgain) {
    ClientInstall install;
    kv::CUpgrader upgrader(nullptr);
    ASSERT_TRUE(RemoveDirectoryA(install.Data().c_str()));
    upgrader.Log("lost\n");
    ASSERT_TRUE(CreateDirectoryA(install.Data().c_str(), nullptr));
    upgrader.Log("kept\n");
    EXPECT_EQ("kept\n", install.LogText());
    upgrader.Log();
    AppPathsEntry::Remove();
    upgrader.Log("nowhere to go\n");
    upgrader.Log();
    EXPECT_EQ("kept\n", install.LogText());
}

TEST(StopClient, NoClientSucceedsAtOnceWithOneLineLogged) {
    ClientInstall install;
    ASSERT_EQ(nullptr, FindWindowA(nullptr, "Korvane Agent"));
    kv::CUpgrader upgrader(GetModuleHandleA(nullptr));
    EXPECT_FALSE(upgrader.IsClientRunning());
    DWORD start = GetTickCount();
    EXPECT_TRUE(upgrader.StopClient());
    // The log below shows the early return, before the pause; the bound leaves room for a loaded
    // machine.
    EXPECT_LT(GetTickCount() - start, 10000u) << "no wait when there was nothing to stop";
    EXPECT_EQ("Stopping client\n", install.LogText());
}

}  // namespace
