// The test harness answers real message boxes the way a person would.
#include <gtest/gtest.h>

#include "tests/support/dialog_clicker.h"

namespace {

TEST(DialogClicker, AnswersAMessageBoxByItsCaption) {
    for (int button : {IDYES, IDNO}) {
        kv::test::DialogClicker clicker(L"Harness Question", button);
        int answer = MessageBoxW(nullptr, L"Proceed?", L"Harness Question", MB_YESNO | MB_ICONWARNING);
        EXPECT_TRUE(clicker.Wait());
        EXPECT_EQ(button, answer);
        EXPECT_NE(std::wstring::npos, clicker.Text().find(L"Proceed?"));
    }
}

TEST(DialogClicker, GivesUpWhenNoDialogAppears) {
    kv::test::DialogClicker clicker(L"Never Shown", IDOK, 200);
    EXPECT_FALSE(clicker.Wait());
    kv::test::DialogClicker watch(L"Never Shown", IDOK, kv::test::kUntilStopped);
    EXPECT_FALSE(watch.Stop());
}

TEST(DialogClicker, WatchUntilStoppedAnswersALateDialogAtOnce) {
    kv::test::DialogClicker watch(L"Harness Late", IDOK, kv::test::kUntilStopped);
    Sleep(300);
    EXPECT_EQ(IDOK, MessageBoxW(nullptr, L"Late", L"Harness Late", MB_OK));
    EXPECT_TRUE(watch.Stop());
}

}  // namespace
