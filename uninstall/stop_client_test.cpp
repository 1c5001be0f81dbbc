// Stopping a running client: the client stand-in Korvane.exe runs in a process of its own and
// answers "KVcanCloseUI" and WM_CLOSE as its switches say.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/raii.h"
#include "tests/support/dialog_clicker.h"
#include "tests/support/korvane_client.h"
#include "uninstall/upgrader.h"

namespace {

using kv::test::KorvaneClient;
using kv::test::TempFolder;

constexpr char kAppPaths[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvane.exe";

// A client installation in a temporary folder, named by App Paths for the test's duration (the
// entry is removed again afterwards: this prefix has no installed client of its own).
class Installation {
public:
    Installation() : root_("kvstop") {
        CreateDirectoryA(Program().c_str(), nullptr);
        CreateDirectoryA(Data().c_str(), nullptr);
        kv::UniqueHkey key;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAppPaths, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
        std::string program = Program();
        RegSetValueExA(key.get(), "Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(program.c_str()),
                       static_cast<DWORD>(program.size() + 1));
    }
    ~Installation() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAppPaths); }
    std::string Program() const { return root_.Path() + "\\program"; }
    std::string Data() const { return root_.Path() + "\\data"; }
    std::string ClientData() const { return root_.Path() + "\\clientdata"; }
    std::string LogText() const {
        std::ifstream in(Data() + "\\upgrade.log", std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    TempFolder root_;
};

// Starts the client stand-in with its data in the installation and waits for its main window.
KorvaneClient StartClient(const Installation& install, const std::string& switches) {
    CreateDirectoryA(install.ClientData().c_str(), nullptr);
    KorvaneClient client("/data:\"" + install.ClientData() + "\" " + switches);
    EXPECT_TRUE(client.Started());
    EXPECT_NE(nullptr, client.WaitForMainWindow());
    return client;
}

DWORD Elapsed(DWORD start) { return GetTickCount() - start; }

TEST(StopClient, ClientThatMayCloseIsClosedAndGone) {
    Installation install;
    KorvaneClient client = StartClient(install, "");
    kv::CUpgrader upgrader(GetModuleHandleA(nullptr));
    EXPECT_TRUE(upgrader.IsClientRunning());
    kv::test::DialogClicker waitDialog(L"Uninstall", IDCANCEL, kv::test::kUntilStopped);
    ASSERT_TRUE(upgrader.StopClient());
    EXPECT_FALSE(waitDialog.Stop());
    EXPECT_TRUE(client.WaitExit(0));
    EXPECT_FALSE(upgrader.IsClientRunning());
    EXPECT_EQ("Stopping client\nSending WM_CLOSE to client\nStop client OK\n", install.LogText());
}

TEST(StopClient, WaitDialogAsksAgainUntilTheClientMayClose) {
    Installation install;
    // Three answers "a dialog is open": the first question and two polls of the wait dialog.
    KorvaneClient client = StartClient(install, "/busy:3");
    kv::CUpgrader upgrader(GetModuleHandleA(nullptr));
    // The user cannot dismiss the wait dialog: a click on Cancel (it has no buttons) changes
    // nothing.
    kv::test::DialogClicker waitDialog(L"Uninstall", IDCANCEL, 20000);
    DWORD start = GetTickCount();
    ASSERT_TRUE(upgrader.StopClient());
    DWORD took = Elapsed(start);
    ASSERT_TRUE(waitDialog.Wait());
    EXPECT_NE(std::wstring::npos, waitDialog.Text().find(L"Please close this dialog in order to proceed"));
    EXPECT_GE(took, 900u + 1000u);  // two 500 ms polls, then the pause after the client ended
    EXPECT_LT(took, 15000u);
    EXPECT_EQ(nullptr, kv::test::FindDialog(L"Uninstall"));
    EXPECT_TRUE(client.WaitExit(0));
    EXPECT_EQ("Stopping client\nTell user to close the UI\nSending WM_CLOSE to client\nStop client OK\n",
              install.LogText());
}

TEST(StopClient, ClientQuitByTheUserDuringTheWaitCountsAsStopped) {
    Installation install;
    KorvaneClient client = StartClient(install, "/busy:1000");
    HWND window = client.WaitForMainWindow();
    // The user quits the client instead of closing its dialog.
    std::thread user([window] {
        for (int i = 0; i < 400 && !kv::test::FindDialog(L"Uninstall"); ++i) Sleep(50);
        PostMessageA(window, WM_CLOSE, 0, 0);
    });
    kv::CUpgrader upgrader(GetModuleHandleA(nullptr));
    bool stopped = upgrader.StopClient();
    user.join();
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(client.WaitExit(0));
    EXPECT_EQ("Stopping client\nTell user to close the UI\nSending WM_CLOSE to client\nStop client OK\n",
              install.LogText());
}

TEST(StopClient, ClientThatSurvivesWmCloseFailsAfterTheTimeOut) {
    Installation install;
    KorvaneClient client = StartClient(install, "/refuse-close");
    kv::CUpgrader upgrader(GetModuleHandleA(nullptr));
    DWORD start = GetTickCount();
    EXPECT_FALSE(upgrader.StopClient());
    EXPECT_GE(Elapsed(start), 40000u + 1000u - 100u);
    EXPECT_TRUE(client.Running());
    EXPECT_EQ("Stopping client\nSending WM_CLOSE to client\nStop client FAILED\n", install.LogText());
}

TEST(StopClient, ClientThatNeverAnswersFailsWithNothingPosted) {
    Installation install;
    KorvaneClient client = StartClient(install, "/never-answer");
    kv::CUpgrader upgrader(GetModuleHandleA(nullptr));
    DWORD start = GetTickCount();
    EXPECT_FALSE(upgrader.StopClient());
    DWORD took = Elapsed(start);
    EXPECT_GE(took, 40000u - 100u);
    EXPECT_LT(took, 40000u + 10000u);  // the log below shows no pause followed the failed question
    EXPECT_TRUE(client.Running());
    EXPECT_EQ("Stopping client\n", install.LogText());
}

}  // namespace
