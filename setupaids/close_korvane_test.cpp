// CloseKorvane against the client stand-in Korvane.exe in a process of its own, with and without
// its companion windows.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/module_path.h"
#include "platform/raii.h"
#include "tests/support/korvane_client.h"

namespace {

using kv::test::KorvaneClient;
using kv::test::WinPath;

constexpr const char* kCompanionClasses[] = {"KorvaneInfocenterClass", "RQ_TBAR_WINDOW_CLASS",
                                             "RQ_CAPTEXE_WINDOW_CLASS"};

// Adds to the list `p` (whose first entries are the companion windows) each window they own.
BOOL CALLBACK AddOwnedPopup(HWND w, LPARAM p) {
    auto* found = reinterpret_cast<std::vector<HWND>*>(p);
    HWND owner = GetWindow(w, GW_OWNER);
    for (size_t i = 0; owner && i < std::size(kCompanionClasses) && i < found->size(); ++i) {
        if (owner == (*found)[i]) {
            found->push_back(w);
            break;
        }
    }
    return TRUE;
}

class CloseKorvane : public testing::Test {
protected:
    void SetUp() override {
        module_.reset(LoadLibraryA(WinPath(KV_SETUPAIDS_DLL).c_str()));
        ASSERT_TRUE(module_);
        close_ = kv::GetProc<int(__cdecl*)()>(module_.get(), "CloseKorvane");
        ASSERT_TRUE(close_);
        data_ = std::make_unique<kv::test::TempFolder>("kvclosekorvane");
    }
    KorvaneClient Start(const std::string& switches) {
        KorvaneClient client("/data:\"" + data_->Path() + "\" " + switches);
        EXPECT_TRUE(client.Started());
        EXPECT_NE(nullptr, client.WaitForMainWindow());
        return client;
    }
    int Close(DWORD* took) {
        DWORD start = GetTickCount();
        int result = close_();
        *took = GetTickCount() - start;
        return result;
    }

    kv::UniqueModule module_;
    int(__cdecl* close_)() = nullptr;
    std::unique_ptr<kv::test::TempFolder> data_;
};

TEST_F(CloseKorvane, NothingRunningIsClosedAtOnce) {
    ASSERT_EQ(nullptr, FindWindowA(nullptr, "Korvane Agent"));
    DWORD took = 0;
    EXPECT_EQ(1, Close(&took));
    EXPECT_LT(took, 4000u) << "no five seconds' grace";
}

TEST_F(CloseKorvane, CompanionWindowsAndTheirPopupsCloseBeforeTheClient) {
    KorvaneClient client = Start("/companions /popups");
    std::vector<HWND> windows;
    for (const char* cls : kCompanionClasses) {
        HWND companion = client.WaitForTopWindow(cls, nullptr, 10000);
        ASSERT_NE(nullptr, companion) << cls;
        windows.push_back(companion);
    }
    size_t companions = windows.size();
    EnumWindows(AddOwnedPopup, reinterpret_cast<LPARAM>(&windows));
    EXPECT_EQ(2 * companions, windows.size()) << "each companion window has an owned popup";

    DWORD took = 0;
    EXPECT_EQ(1, Close(&took));
    EXPECT_GE(took, 5000u) << "closing companions is followed by five seconds' grace";
    for (HWND w : windows) EXPECT_FALSE(IsWindow(w));
    EXPECT_TRUE(client.WaitExit(0));
    EXPECT_EQ(nullptr, FindWindowA(nullptr, "Korvane Agent"));
}

TEST_F(CloseKorvane, ClientWithAnOpenDialogIsLeftAloneUntilItMayClose) {
    KorvaneClient client = Start("/busy:1");
    DWORD took = 0;
    EXPECT_EQ(0, Close(&took));
    EXPECT_LT(took, 5000u);
    // Nothing was posted: the client would have ended on WM_CLOSE.
    EXPECT_FALSE(client.WaitExit(1500));
    EXPECT_NE(nullptr, FindWindowA(nullptr, "Korvane Agent"));

    // Its dialog closed, the client now may close: it is told to and waited for.
    EXPECT_EQ(1, Close(&took));
    EXPECT_TRUE(client.WaitExit(0));
    EXPECT_EQ(nullptr, FindWindowA(nullptr, "Korvane Agent"));
}

}  // namespace
