// The client program's window protocol, as programs that stop the client rely on it: the main
// window "Korvane Agent", the answers to "KVcanCloseUI", WM_CLOSE, and the companion windows.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/client/client_process.h"

namespace kv::test {
namespace {

LRESULT AskCanClose(HWND window, DWORD timeoutMs, bool* answered) {
    static const UINT message = RegisterWindowMessageW(L"KVcanCloseUI");
    DWORD_PTR result = 0;
    *answered = SendMessageTimeoutW(window, message, 0, 0, SMTO_NORMAL, timeoutMs, &result) != 0;
    return static_cast<LRESULT>(result);
}

TEST(ClientWindow, AnswersBusyTheConfiguredNumberOfTimesThenClosesOnWmClose) {
    struct Case {
        const wchar_t* args;
        std::vector<LRESULT> answers;
    } cases[] = {
        {L"", {0, 0}},
        {L"/busy:2", {1, 1, 0, 0}},
        {L"/BUSY:1 -Embedding", {1, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "arguments: " << std::string(c.args, c.args + wcslen(c.args)));
        ClientProcess client(c.args);
        HWND window = client.MainWindow();
        ASSERT_NE(window, nullptr);
        for (LRESULT expected : c.answers) {
            bool answered = false;
            EXPECT_EQ(AskCanClose(window, 10000, &answered), expected);
            EXPECT_TRUE(answered);
        }
        ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
        EXPECT_TRUE(client.WaitExit(20000));
    }
}

TEST(ClientWindow, RefusingClientSurvivesWmClose) {
    ClientProcess client(L"/refuse-close");
    HWND window = client.MainWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    EXPECT_FALSE(client.WaitExit(1500));
    bool answered = false;
    EXPECT_EQ(AskCanClose(window, 10000, &answered), 0);
    EXPECT_TRUE(answered);
}

TEST(ClientWindow, NeverAnsweringClientTimesTheQueryOut) {
    ClientProcess client(L"/never-answer");
    HWND window = client.MainWindow();
    ASSERT_NE(window, nullptr);
    bool answered = true;
    AskCanClose(window, 700, &answered);
    EXPECT_FALSE(answered);
}

TEST(ClientWindow, CompanionWindowsEachWithAnOwnedPopup) {
    ClientProcess client(L"/companions /popups");
    ASSERT_NE(client.MainWindow(), nullptr);
    for (const wchar_t* cls : {L"KorvaneInfocenterClass", L"RQ_TBAR_WINDOW_CLASS", L"RQ_CAPTEXE_WINDOW_CLASS"}) {
        SCOPED_TRACE(testing::Message() << "class " << std::string(cls, cls + wcslen(cls)));
        HWND companion = nullptr;
        int popups = 0;
        auto windows = TopLevelWindowsOf(client.Id());
        for (HWND w : windows)
            if (ClassOf(w) == cls) companion = w;
        ASSERT_NE(companion, nullptr);
        EXPECT_EQ(GetWindow(companion, GW_OWNER), nullptr);
        for (HWND w : windows)
            if (GetWindow(w, GW_OWNER) == companion) ++popups;
        EXPECT_EQ(popups, 1);
    }
}

TEST(ClientWindow, NoCompanionsUnlessAsked) {
    ClientProcess client(L"/popups");
    ASSERT_NE(client.MainWindow(), nullptr);
    for (HWND w : TopLevelWindowsOf(client.Id())) EXPECT_NE(ClassOf(w), L"RQ_TBAR_WINDOW_CLASS");
}

}  // namespace
}  // namespace kv::test
