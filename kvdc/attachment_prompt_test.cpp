#include <gtest/gtest.h>

#include <functional>

#include "framework/data_provider.h"
#include "kvdc/attachment_prompt.h"
#include "kvdc/story_columns.h"
#include "kvdc/story_item.h"
#include "kvdc/story_test_fakes.h"
#include "platform/text.h"
#include "tests/support/dialog_clicker.h"

namespace {

using kv::ComPtr;
using kv::MakeObject;
using kv::Variant;
using kv::test::DialogClicker;
using kv::testing::StoryChannel;

constexpr const wchar_t* kCaption = L"Korvane Security Warning";
constexpr const wchar_t* kWarning =
    L"The security setting for this channel does not allow executable content to run automatically\n"
    L"Do you want to run this executable attachment anyway?";

TEST(AttachmentPrompt, LocalFilesOutsideTheHarmlessTypesNeedConsent) {
    struct {
        std::wstring text;
        bool consent;
    } cases[] = {
        {L"C:\\Stories\\x.exe", true},
        {L"c:/Stories/x.exe", true},
        {L"file:///C:/Downloads/setup.exe", true},
        {L"FILE://server/share/setup.exe", true},
        {L"\\\\server\\x.exe", true},
        {L"C:\\Stories\\x.ht", true},  // fewer than three characters match nothing
        {L"C:\\Stories\\x.exe.", true},
        {std::wstring(L"C:\\x.exe\0.htm", 13), true},  // what a consumer opens ends at the NUL
        // An address opens the file before its fragment or query, with its escapes decoded.
        {L"file:///C:/x.exe#.htm", true},
        {L"file:///C:/x.exe?a.txt", true},
        {L"file:///C:/x%2Eexe", true},
        {L"FILE:///C:/x%2e%45xe%20.", true},
        {L"file:///C:/x.exe%00.htm", true},
        {L"C:\\x%2Eexe", true},
        {L"file:///C:/page.htm#setup.exe", false},
        {L"file:///C:/page.htm?run=setup.exe", false},
        {L"C:\\Stories\\notes.txt. .", false},
        {L"C:\\Stories\\x.HTML", false},
        {L"C:\\Stories\\x.jpeg", false},
        {L"\\\\server\\share\\notes.TXT", false},
        {L"file://C:/pics/a.gif", false},
        {L"C:\\Stories\\readme", false},
        {L"res://C:\\Program Files\\Korvane\\KvDC.dll/#16", false},
        {L"http://www.example.com/setup.exe", false},
        {L"x.exe", false},
        {L"C:", false},
        {L"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.consent, kv::NeedsConsent(c.text)) << c.text.c_str();
}

// A story table with the prompt installed and one story whose ATTACHMENT cell holds a text.
class PromptTest : public ::testing::Test {
protected:
    PromptTest() {
        table_->SetCellReadGuard(kv::MakeAttachmentPrompt());
        Put(L"C:\\Stories\\x.exe");
    }
    void Put(const std::wstring& text) {
        text_ = text;
        table_->SetProperty(1, L"ATTACHMENT", *Variant::String(text).get());
    }
    long Column() { return table_->Columns().Find(L"ATTACHMENT"); }

    // The page-facing ways to read the cell: the table, the provider in each format, a story
    // object, and the provider's find (which hands out the text when it matches).
    enum Reader { kTable, kProvider, kFormatted, kHtml, kStoryItem, kFind };
    HRESULT Read(Reader reader, Variant& out) {
        out.Clear();
        kv::DataProvider provider;
        provider.SetTable(table_, nullptr);
        switch (reader) {
        case kTable:
            try {
                table_->GetCell(1, Column() + 1, out.get());
                return S_OK;
            } catch (...) {
                return kv::CaughtHResult();
            }
        case kProvider:
        case kFormatted:
        case kHtml:
            return provider.getVariant(1, Column() + 1,
                                       reader == kProvider    ? OSPFORMAT_RAW
                                       : reader == kFormatted ? OSPFORMAT_FORMATTED
                                                              : OSPFORMAT_HTML,
                                       out.get());
        case kFind: {
            DBROWCOUNT found = 0;
            HRESULT hr = provider.find(1, Column() + 1, *Variant::String(text_).get(), OSPFIND_DEFAULT, OSPCOMP_EQ, &found);
            out = hr == S_OK ? Variant::String(text_) : Variant::Bool(false);
            return hr == E_FAIL ? S_OK : hr;
        }
        case kStoryItem:
            return kv::testing::Call(kv::MakeStoryItem(*table_.Get(), table_->RowAt(1)).Get(), Column(),
                                     DISPATCH_PROPERTYGET, {}, out.get());
        }
        return E_FAIL;
    }
    static std::wstring Text(const Variant& v) {
        if (v.vt() == VT_BOOL) return v->boolVal ? L"<TRUE>" : L"<FALSE>";
        return v.vt() == VT_BSTR ? v->bstrVal : L"<other>";
    }

    std::wstring text_;
    ComPtr<StoryChannel> channel_ = MakeObject<StoryChannel>();
    ComPtr<kv::RecordSet> table_ = kv::MakeStoryRecordSet(channel_, nullptr);
};

TEST_F(PromptTest, EveryPageFacingReadAsksAndOnlyYesHandsOutTheFile) {
    for (const wchar_t* text :
         {L"C:\\Stories\\x.exe", L"file:///C:/x.exe#.htm", L"file:///C:/x.exe?a.txt", L"file:///C:/x%2Eexe"}) {
        Put(text);
        for (Reader reader : {kTable, kProvider, kFormatted, kHtml, kStoryItem, kFind}) {
            for (int answer : {IDYES, IDNO}) {
                channel_->securityFlags = answer == IDYES ? 0 : 2;  // only bit 0 lets it run
                DialogClicker clicker(kCaption, answer);
                Variant v;
                EXPECT_EQ(S_OK, Read(reader, v)) << reader;
                ASSERT_TRUE(clicker.Wait()) << reader << " " << kv::ToAnsi(text);
                EXPECT_EQ(kWarning, clicker.Text());
                EXPECT_EQ(answer == IDYES ? text : L"<FALSE>", Text(v)) << reader << " " << answer;
            }
        }
    }
}

TEST_F(PromptTest, HarmlessFilesAndChannelsThatRunExecutablesNeverAsk) {
    DialogClicker unexpected(kCaption, IDNO, kv::test::kUntilStopped);
    struct {
        long securityFlags;
        const wchar_t* text;
    } cases[] = {
        {0, L"C:\\Stories\\x.HTML"}, {0, L"C:\\Stories\\x.jpeg"}, {0, L"res://KvDC.dll/#16"},
        {0, L"http://host/x.exe"},   {0, L"C:\\Stories\\readme"}, {1, L"C:\\Stories\\x.exe"},
        {3, L"\\\\server\\x.exe"},
    };
    for (const auto& c : cases) {
        channel_->securityFlags = c.securityFlags;
        Put(c.text);
        for (Reader reader : {kTable, kProvider, kHtml, kStoryItem, kFind}) {
            Variant v;
            EXPECT_EQ(S_OK, Read(reader, v));
            EXPECT_EQ(c.text, Text(v)) << reader;
        }
    }
    EXPECT_FALSE(unexpected.Stop());
}

TEST_F(PromptTest, AChannelThatCannotTellItsSecurityFailsTheRead) {
    channel_->securityResult = RPC_E_DISCONNECTED;
    Variant v;
    for (Reader reader : {kTable, kProvider, kStoryItem}) EXPECT_EQ(RPC_E_DISCONNECTED, Read(reader, v)) << reader;
    EXPECT_EQ(kv::testing::kClientErrorSource, kv::testing::ErrorSource());
    EXPECT_EQ(VT_EMPTY, v.vt());
}

// Runs a task when the thread's messages flow, as the control's queued notifications do.
class PostedTask {
public:
    explicit PostedTask(std::function<void()> task) : task_(std::move(task)) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KvAttachmentPromptTestTask";
        RegisterClassW(&wc);
        hwnd_.reset(CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr));
        SetWindowLongPtrW(hwnd_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&task_));
        PostMessageW(hwnd_.get(), WM_APP, 0, 0);
    }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_APP) (*reinterpret_cast<std::function<void()>*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)))();
        return DefWindowProcW(hwnd, msg, wp, lp);
    }

    std::function<void()> task_;
    kv::UniqueHwnd hwnd_;
};

TEST_F(PromptTest, WhatTheUserAllowedIsHandedOutEvenIfTheTableChangedMeanwhile) {
    kv::testing::ActiveWindow page;
    bool ran = false;
    HWND owner = nullptr;
    // While the warning is open: the cell changes, the row is dropped and the guard removed.
    PostedTask meanwhile([&] {
        owner = GetWindow(kv::test::FindDialog(kCaption), GW_OWNER);
        Put(L"C:\\Stories\\other.exe");
        table_->DeleteRow(1);
        table_->SetCellReadGuard(nullptr);
        ran = true;
    });
    DialogClicker yes(kCaption, IDYES);
    Variant v;
    EXPECT_EQ(S_OK, Read(kTable, v));
    EXPECT_TRUE(yes.Wait());
    EXPECT_TRUE(ran);
    EXPECT_EQ(page.get(), owner);  // the box belongs to the page's window
    EXPECT_EQ(L"C:\\Stories\\x.exe", Text(v));
}

}  // namespace
