// The story control against the client program in its own process: the client's objects and
// events cross process boundaries through COM marshalling. Runs in a prefix where only
// Korvane.exe serves "Korvane".
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/module_path.h"
#include "platform/text.h"
#include "standins/browser/page_host.h"
#include "tests/client/client_test_util.h"

namespace {

using kv::ComPtr;
using kv::Variant;

TEST(StoryControlAcrossProcesses, PageFollowsTheClientProgram) {
    // The control's own registration in this prefix.
    kv::UniqueModule dll(LoadLibraryW(kv::ToWide(KVDC_DLL_PATH).c_str()));
    ASSERT_TRUE(dll);
    ASSERT_EQ(S_OK, kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(dll.get(), "DllRegisterServer")());

    DWORD clientPid = 0;
    {
        auto app = kv::test::CreateClient();
        EXPECT_EQ(nullptr, GetModuleHandleW(L"KorvaneClient.dll")) << "the client runs in its own process";
        ComPtr<IClientControl> control;
        ASSERT_EQ(S_OK, app.As(&control));
        control->Clear();
        control->PutChannel(5, kv::Bstr(L"News").get(), kv::Bstr(L"C:\\Channels\\News").get(), 0, 0, 0,
                            kv::Bstr(L"news").get());
        control->SetStoryProperty(5, 101, kv::Bstr(L"TITLE").get(), kv::Bstr(L"Hello").get(), 1);

        kv::browser::PageHost page(L"C:\\Channels\\News\\index.htm");
        page.Create(L"Korvane.Channel");
        auto& binding = page.Bind(OSPFORMAT_HTML);
        ASSERT_EQ(1, binding.RowCount());
        EXPECT_EQ(L"<SPAN CLASS=newstory>Hello</SPAN>", binding.CellText(1, binding.ColumnOf(L"TITLE")));

        control->SetStoryProperty(5, 102, kv::Bstr(L"TITLE").get(), kv::Bstr(L"World").get(), 1);
        LONG delivered = 0;
        ASSERT_EQ(S_OK, control->FireStoriesAdded(5, *Variant::I4(102).get(), &delivered));
        EXPECT_EQ(1, delivered);
        ASSERT_TRUE(page.PumpUntil([&] { return binding.RowCount() == 2; }, 10000));
        EXPECT_EQ(L"<SPAN CLASS=newstory>World</SPAN>", binding.CellText(1, binding.ColumnOf(L"TITLE")));
        bool announced = false;
        for (auto& e : page.Events()) announced = announced || e.name == L"OnNewStory";
        EXPECT_TRUE(announced);
        page.Close();
        LONG mask = 0, sinks = -1;
        control->SinkCount(kv::Bstr(L"stories").get(), &mask, &sinks);
        EXPECT_EQ(0, sinks) << "the page's control disconnected from the client";
    }

    HWND window = FindWindowW(nullptr, L"Korvane Agent");
    ASSERT_NE(nullptr, window);
    GetWindowThreadProcessId(window, &clientPid);
    kv::UniqueHandleObj process(OpenProcess(SYNCHRONIZE, FALSE, clientPid));
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(kv::test::PumpUntil(process.get(), 20000));
}

}  // namespace
