#include <gtest/gtest.h>

#include "kvdc/story_columns.h"
#include "kvdc/story_item.h"
#include "kvdc/story_test_fakes.h"

namespace {

using kv::ComPtr;
using kv::MakeObject;
using kv::Variant;
using kv::testing::Call;
using kv::testing::ErrorSource;
using kv::testing::StoryChannel;

constexpr const wchar_t* kOwnSource = L"Korvane.Channel";

class StoryItemTest : public ::testing::Test {
protected:
    // A table of one story (ID 42, "A title"); flags 0x1000 leave out the parcel columns.
    ComPtr<IDispatch> Make(long channelFlags = 0) {
        channel_->flags = channelFlags;
        table_ = kv::MakeStoryRecordSet(channel_, nullptr);
        table_->SetProperty(42, L"TITLE", *Variant::String(L"A title").get());
        return kv::MakeStoryItem(*table_.Get(), table_->RowAt(1));
    }
    DISPID Id(IDispatch* item, const wchar_t* name, HRESULT* hr = nullptr) {
        DISPID id = 12345;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        HRESULT r = item->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
        if (hr) *hr = r;
        return id;
    }

    LONG locksBefore_ = kv::ModuleLockCount();
    ComPtr<StoryChannel> channel_ = MakeObject<StoryChannel>();
    ComPtr<kv::RecordSet> table_;
};

TEST_F(StoryItemTest, NamesAreMembersThenColumnsWithoutRegardToCase) {
    auto item = Make();
    const DISPID title = table_->Columns().Find(L"TITLE");
    struct {
        const wchar_t* name;
        DISPID id;
        HRESULT hr;
    } cases[] = {
        {L"TITLE", title, S_OK},      {L"title", title, S_OK},        {L"Title", title, S_OK},
        {L"exists", 1024, S_OK},      {L"PLAY", 1025, S_OK},          {L"StoryObject", 1026, S_OK},
        {L"INTERNAL_SORT", 0, S_OK},  {L"internal_state", 1, S_OK},   {L"NoSuchColumn", -1, DISP_E_UNKNOWNNAME},
        {L"", -1, DISP_E_UNKNOWNNAME}, {L"Exists2", -1, DISP_E_UNKNOWNNAME},
    };
    for (const auto& c : cases) {
        HRESULT hr;
        EXPECT_EQ(c.id, Id(item.Get(), c.name, &hr)) << c.name;
        EXPECT_EQ(c.hr, hr) << c.name;
    }
    for (const wchar_t* spelling : {L"TITLE", L"title", L"Title"}) {
        Variant v;
        ASSERT_EQ(S_OK, Call(item.Get(), Id(item.Get(), spelling), DISPATCH_PROPERTYGET, {}, v.get()));
        ASSERT_EQ(VT_BSTR, v.vt());
        EXPECT_STREQ(L"A title", v->bstrVal);
    }
    LPOLESTR two[] = {const_cast<LPOLESTR>(L"title"), const_cast<LPOLESTR>(L"nope")};
    DISPID ids[2];
    EXPECT_EQ(DISP_E_UNKNOWNNAME, item->GetIDsOfNames(IID_NULL, two, 2, 0, ids));
    EXPECT_EQ(title, ids[0]);
    EXPECT_EQ(-1, ids[1]);

    UINT count = 7;
    EXPECT_EQ(S_OK, item->GetTypeInfoCount(&count));
    EXPECT_EQ(0u, count);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_EQ(E_NOTIMPL, item->GetTypeInfo(0, 0, &info));
    EXPECT_EQ(nullptr, info);
}

TEST_F(StoryItemTest, InvocationKindsArgumentCountsAndResultVariablesAreChecked) {
    auto item = Make();
    channel_->AddStory(42);
    const DISPID title = table_->Columns().Find(L"TITLE");
    const WORD get = DISPATCH_PROPERTYGET, method = DISPATCH_METHOD, put = DISPATCH_PROPERTYPUT;
    const WORD both = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    struct {
        const char* what;
        DISPID id;
        WORD flags;
        int args;
        bool result;
        HRESULT hr;
        VARTYPE vt;
    } cases[] = {
        {"Exists as a property", 1024, get, 1, true, E_INVALIDARG, VT_EMPTY},
        {"Exists without argument", 1024, method, 0, true, DISP_E_BADPARAMCOUNT, VT_EMPTY},
        {"Exists with two", 1024, method, 2, true, DISP_E_BADPARAMCOUNT, VT_EMPTY},
        {"Exists without result", 1024, method, 1, false, E_INVALIDARG, VT_EMPTY},
        {"Exists as script calls it", 1024, both, 1, true, S_OK, VT_BOOL},
        {"Play as a property", 1025, get, 0, true, E_INVALIDARG, VT_EMPTY},
        {"Play with an argument", 1025, method, 1, false, DISP_E_BADPARAMCOUNT, VT_EMPTY},
        {"StoryObject without result", 1026, get, 0, false, E_INVALIDARG, VT_EMPTY},
        {"StoryObject with an argument", 1026, get, 1, true, DISP_E_BADPARAMCOUNT, VT_EMPTY},
        {"StoryObject called as a method", 1026, method, 0, true, S_OK, VT_DISPATCH},
        {"column without result", title, get, 0, false, E_INVALIDARG, VT_EMPTY},
        {"column through any kind", title, put, 0, true, S_OK, VT_BSTR},
        {"column beyond the row", 500, get, 0, true, S_OK, VT_EMPTY},
        {"negative DISPID", -4, get, 0, true, S_OK, VT_EMPTY},
    };
    for (const auto& c : cases) {
        std::vector<Variant> args(static_cast<size_t>(c.args), Variant::String(L"TITLE"));
        Variant result;
        HRESULT hr = Call(item.Get(), c.id, c.flags, args, c.result ? result.get() : nullptr);
        EXPECT_EQ(c.hr, hr) << c.what;
        EXPECT_EQ(c.vt, result.vt()) << c.what;
        EXPECT_EQ(FAILED(hr) ? kOwnSource : L"<none>", ErrorSource()) << c.what;
    }
    EXPECT_TRUE(channel_->stories->stories[42]->plays.empty());
}

TEST_F(StoryItemTest, ExistsAnswersForTheColumnsOfThisTable) {
    struct {
        long channelFlags;
        Variant name;
        bool exists;
    } cases[] = {
        {kv::kChannelFlagNoParcels, Variant::String(L"KEEP"), false},
        {0, Variant::String(L"KEEP"), true},
        {0, Variant::String(L"keep"), true},
        {0, Variant::String(L"Exists"), false},  // a member, not a column
        {0, Variant::String(L""), false},
        {0, Variant::I4(1), false},
    };
    for (auto& c : cases) {
        auto item = Make(c.channelFlags);
        Variant answer;
        ASSERT_EQ(S_OK, Call(item.Get(), 1024, DISPATCH_METHOD, {c.name}, answer.get()));
        ASSERT_EQ(VT_BOOL, answer.vt());
        EXPECT_EQ(c.exists ? VARIANT_TRUE : VARIANT_FALSE, answer->boolVal) << c.channelFlags;
    }
    // Script may pass its variable by reference.
    auto item = Make();
    Variant name = Variant::String(L"title"), answer;
    Variant byRef;
    byRef->vt = VT_BYREF | VT_VARIANT;
    byRef->pvarVal = name.get();
    DISPPARAMS params{byRef.get(), nullptr, 1, 0};
    EXPECT_EQ(S_OK, item->Invoke(1024, IID_NULL, 0, DISPATCH_METHOD, &params, answer.get(), nullptr, nullptr));
    EXPECT_EQ(VARIANT_TRUE, answer->boolVal);
    byRef->vt = VT_EMPTY;  // not ours to clear
}

TEST_F(StoryItemTest, PlayAndStoryObjectReachTheClientsStoryAskedForOnce) {
    {
        kv::testing::ActiveWindow page;
        ASSERT_EQ(page.get(), GetActiveWindow());
        auto story = channel_->AddStory(42);
        auto item = Make();
        EXPECT_EQ(1, channel_->storiesCalls);  // asked when the item is made
        EXPECT_TRUE(channel_->stories->asked.empty());
        ASSERT_EQ(S_OK, Call(item.Get(), 1025, DISPATCH_METHOD, {}, nullptr));
        ASSERT_EQ(1u, story->plays.size());
        EXPECT_EQ(HandleToLong(page.get()), story->plays[0].first);
        EXPECT_EQ(0, story->plays[0].second);
        Variant object;
        ASSERT_EQ(S_OK, Call(item.Get(), 1026, DISPATCH_PROPERTYGET, {}, object.get()));
        ASSERT_EQ(VT_DISPATCH, object.vt());
        ComPtr<IUnknown> a, b;
        object->pdispVal->QueryInterface(IID_PPV_ARGS(a.GetAddressOf()));
        story->QueryInterface(IID_PPV_ARGS(b.GetAddressOf()));
        EXPECT_EQ(a.Get(), b.Get());
        EXPECT_EQ((std::vector<LONG>{42}), channel_->stories->asked);
        // The story stays readable after the table dropped it and is gone itself.
        const DISPID title = table_->Columns().Find(L"TITLE");
        table_->DeleteRow(1);
        table_.Reset();
        Variant v;
        EXPECT_EQ(S_OK, Call(item.Get(), title, DISPATCH_PROPERTYGET, {}, v.get()));
        EXPECT_EQ(VT_BSTR, v.vt());
    }
    channel_.Reset();
    EXPECT_EQ(locksBefore_, kv::ModuleLockCount());  // every object released
}

TEST_F(StoryItemTest, AStoryTheClientDoesNotHaveIsEPointer) {
    auto item = Make();  // the collection holds no story 42
    Variant v;
    EXPECT_EQ(E_POINTER, Call(item.Get(), 1025, DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ(E_POINTER, Call(item.Get(), 1026, DISPATCH_PROPERTYGET, {}, v.get()));
    EXPECT_EQ(VT_EMPTY, v.vt());
    // A channel without a story collection: the columns still read.
    channel_->stories.Reset();
    item = Make();
    EXPECT_EQ(E_POINTER, Call(item.Get(), 1025, DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ(S_OK, Call(item.Get(), table_->Columns().Find(L"TITLE"), DISPATCH_PROPERTYGET, {}, v.get()));
}

TEST_F(StoryItemTest, ClientFailuresComeBackWithTheClientsErrorInformation) {
    enum Where { kItem, kPlay };
    for (Where where : {kItem, kPlay}) {
        channel_ = MakeObject<StoryChannel>();
        auto story = channel_->AddStory(42);
        const HRESULT failure = where == kItem ? E_ACCESSDENIED : E_UNEXPECTED;
        (where == kItem ? channel_->stories->itemResult : story->playResult) = failure;
        auto item = Make();
        SetErrorInfo(0, nullptr);
        Variant title;
        EXPECT_EQ(S_OK, Call(item.Get(), table_->Columns().Find(L"TITLE"), DISPATCH_PROPERTYGET, {}, title.get()));
        EXPECT_EQ(failure, Call(item.Get(), 1025, DISPATCH_METHOD, {}, nullptr)) << where;
        EXPECT_EQ(kv::testing::kClientErrorSource, ErrorSource()) << where;
        Variant object;
        HRESULT hr = Call(item.Get(), 1026, DISPATCH_PROPERTYGET, {}, object.get());
        EXPECT_EQ(where == kPlay ? S_OK : failure, hr) << where;
        EXPECT_EQ(where == kPlay ? L"<none>" : kv::testing::kClientErrorSource, ErrorSource()) << where;
    }
    // Without the story collection there is no story object to make.
    channel_ = MakeObject<StoryChannel>();
    channel_->storiesResult = RPC_E_DISCONNECTED;
    SetErrorInfo(0, nullptr);
    try {
        Make();
        ADD_FAILURE() << "made without the story collection";
    } catch (const kv::HResultError& e) {
        EXPECT_EQ(RPC_E_DISCONNECTED, e.Code());
    }
    EXPECT_EQ(kv::testing::kClientErrorSource, ErrorSource());
}

}  // namespace
