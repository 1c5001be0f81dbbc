// The client's contracts that the kit's components rely on, checked against the in-process
// client: data shapes, enumeration, keyed lookups, event delivery, failures, recorded calls.
#include <windows.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/module_path.h"
#include "platform/text.h"
#include "tests/client/client_test_util.h"
#include "tests/client/recording_sinks.h"
#include "tests/support/dialog_clicker.h"

namespace kv::test {
namespace {

class ClientContract : public testing::Test {
protected:
    void SetUp() override {
        app_ = CreateClient();
        ASSERT_TRUE(SUCCEEDED(app_.As(&control_)));
        ASSERT_EQ(control_->Clear(), S_OK);
        Put(5, L"News", L"C:\\Channels\\News", 0, 0, 1, L"news");
        Put(7, L"Hidden", L"C:\\Channels\\Hidden", 0x400, 0, 0, L"hidden");
        Put(9, L"Directory", L"C:\\Channels\\Directory Channel", 0x1000, 2, 2, L"chndir");
        Story(5, 101, L"TITLE", L"First", 1);
        Story(5, 101, L"URL", L"\"http://example.com/a.htm\"", 1);
        Story(5, 102, L"TITLE", L"Second", 1);
        Story(5, 102, L"PARCEL_TYPE", L"3", 2);
        control_->SetChannelProperty(5, 1, *Str(L"News title").get());
        control_->SetChannelProperty(5, 7, *Str(L"All the news").get());
        control_->SetEntryField(17, 1, *Str(L"Sports Daily").get());
        control_->SetEntryField(17, 8, *Str(L"Sports").get());
        control_->SetEntryField(18, 1, *Str(L"Weather Now").get());
        control_->SetEntryField(18, 3, *Variant::I4(0x101).get());
        control_->SetSubscribed(18, 1);
        ASSERT_EQ(app_->GetChannels(channels_.GetAddressOf()), S_OK);
    }
    void TearDown() override {
        if (control_) control_->Clear();
    }

    void Put(LONG id, const wchar_t* name, const wchar_t* folder, LONG flags, LONG mode, LONG security,
             const wchar_t* key) {
        ASSERT_EQ(control_->PutChannel(id, Bstr(name).get(), Bstr(folder).get(), flags, mode, security,
                                       Bstr(key).get()),
                  S_OK);
    }
    void Story(LONG channel, LONG story, const wchar_t* name, const wchar_t* value, LONG part) {
        ASSERT_EQ(control_->SetStoryProperty(channel, story, Bstr(name).get(), Bstr(value).get(), part), S_OK);
    }
    ComPtr<IClientChannel2> Channel(LONG id) {
        ComPtr<IClientChannel> ch;
        ThrowIfFailed(channels_->Item(*Variant::I4(id).get(), ch.GetAddressOf()));
        ComPtr<IClientChannel2> ch2;
        ThrowIfFailed(ch.As(&ch2));
        return ch2;
    }
    std::vector<std::wstring> Calls(std::vector<LONG>* windows = nullptr) {
        Variant texts, parents;
        ThrowIfFailed(control_->GetCalls(parents.get(), texts.get()));
        std::vector<std::wstring> out;
        for (LONG i = 0; i < Length(*texts.get()); ++i) {
            out.push_back(Element(*texts.get(), i)->bstrVal);
            if (windows) windows->push_back(LongAt(*parents.get(), i));
        }
        return out;
    }

    ComPtr<IClientApp2> app_;
    ComPtr<IClientControl> control_;
    ComPtr<IChannelCollection> channels_;
};

TEST_F(ClientContract, StorySnapshotHasThreeElementsWithParallelArrays) {
    Variant snapshot;
    ASSERT_EQ(Channel(5)->GetStorySnapshot(1, 1, snapshot.get()), S_OK);
    ASSERT_EQ(snapshot.vt(), VT_ARRAY | VT_VARIANT);
    ASSERT_EQ(Length(*snapshot.get()), 3);

    struct Row {
        LONG id;
        std::wstring name, value;
    };
    auto rows = [&](LONG element) {
        Variant part = Element(*snapshot.get(), element);
        EXPECT_EQ(Length(*part.get()), 3);
        Variant ids = Element(*part.get(), 0), names = Element(*part.get(), 1), values = Element(*part.get(), 2);
        EXPECT_EQ(Length(*names.get()), Length(*ids.get()));
        EXPECT_EQ(Length(*values.get()), Length(*ids.get()));
        std::vector<Row> out;
        for (LONG i = 0; i < Length(*ids.get()); ++i)
            out.push_back({LongAt(*ids.get(), i), StringAt(*names.get(), i), StringAt(*values.get(), i)});
        return out;
    };
    auto first = rows(1);
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0].id, 101);
    EXPECT_EQ(first[0].name, L"TITLE");
    EXPECT_EQ(first[1].value, L"\"http://example.com/a.htm\"");  // values are passed verbatim
    EXPECT_EQ(first[2].id, 102);
    auto second = rows(2);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].id, 102);
    EXPECT_EQ(second[0].name, L"PARCEL_TYPE");
    EXPECT_EQ(second[0].value, L"3");

    Variant empty;
    ASSERT_EQ(Channel(9)->GetStorySnapshot(1, 1, empty.get()), S_OK);
    EXPECT_EQ(Length(*Element(*Element(*empty.get(), 1).get(), 0).get()), 0);
    EXPECT_EQ(Channel(5)->GetStorySnapshot(2, 1, empty.get()), E_INVALIDARG);
}

TEST_F(ClientContract, EnumerationGivesEveryChannelInOrderThenEnds) {
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(channels_->NewEnum(unknown.GetAddressOf()), S_OK);
    ComPtr<IEnumVARIANT> items;
    ASSERT_EQ(unknown.As(&items), S_OK);
    std::vector<LONG> seen;
    for (;;) {
        Variant item;
        ULONG fetched = 99;
        HRESULT hr = items->Next(1, item.get(), &fetched);
        if (hr != S_OK) {
            EXPECT_EQ(hr, S_FALSE);
            EXPECT_EQ(fetched, 0u);
            break;
        }
        ASSERT_EQ(item.vt(), VT_DISPATCH);
        ComPtr<IClientChannel> ch;
        ASSERT_EQ(item->pdispVal->QueryInterface(IID_PPV_ARGS(ch.GetAddressOf())), S_OK);
        LONG id = 0;
        ch->GetId(&id);
        seen.push_back(id);
    }
    EXPECT_EQ(seen, (std::vector<LONG>{5, 7, 9}));  // the 0x400 channel is listed too

    ASSERT_EQ(items->Reset(), S_OK);
    VARIANT batch[4];
    ULONG fetched = 0;
    EXPECT_EQ(items->Next(4, batch, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 3u);
    for (ULONG i = 0; i < fetched; ++i) VariantClear(&batch[i]);
}

TEST_F(ClientContract, ItemByIdOrByNameKeyAndUnknownKeysFail) {
    struct Case {
        const char* what;
        Variant key;
        HRESULT hr;
        LONG id;
    };
    Variant shortId;
    shortId->vt = VT_I2;
    shortId->iVal = 9;
    Variant name = Str(L"n:Directory");
    Variant byRef;
    byRef->vt = VT_BYREF | VT_BSTR;
    byRef->pbstrVal = &name->bstrVal;
    Case cases[] = {
        {"id", Variant::I4(5), S_OK, 5},
        {"name by reference", byRef, S_OK, 9},
        {"short id", shortId, S_OK, 9},
        {"name", Str(L"n:News"), S_OK, 5},
        {"name in other case", Str(L"n:NEWS"), S_OK, 5},
        {"name of a 0x400 channel", Str(L"n:Hidden"), S_OK, 7},
        {"unknown id", Variant::I4(99), E_INVALIDARG, 0},
        {"unknown name", Str(L"n:Sports"), E_INVALIDARG, 0},
        {"name without n:", Str(L"News"), E_INVALIDARG, 0},
        {"empty name", Str(L"n:"), E_INVALIDARG, 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        ComPtr<IClientChannel> ch;
        EXPECT_EQ(channels_->Item(*c.key.get(), ch.GetAddressOf()), c.hr);
        if (c.hr != S_OK) {
            EXPECT_EQ(ch, nullptr);
            continue;
        }
        LONG id = 0;
        ASSERT_EQ(ch->GetId(&id), S_OK);
        EXPECT_EQ(id, c.id);
    }
}

TEST_F(ClientContract, ChannelAnswersItsFieldsAndMarshallingInterface) {
    auto ch = Channel(9);
    Bstr name, folder, key;
    LONG flags = 0, mode = 0, security = 0;
    EXPECT_EQ(ch->GetName(name.put()), S_OK);
    EXPECT_EQ(ch->GetLocalFolder(folder.put()), S_OK);
    EXPECT_EQ(ch->GetDirectoryKey(key.put()), S_OK);
    EXPECT_EQ(ch->GetFlags(&flags), S_OK);
    EXPECT_EQ(ch->GetMode(&mode), S_OK);
    EXPECT_EQ(ch->GetSecurityFlags(&security), S_OK);
    EXPECT_EQ(name.str(), L"Directory");
    EXPECT_EQ(folder.str(), L"C:\\Channels\\Directory Channel");
    EXPECT_EQ(key.str(), L"chndir");
    EXPECT_EQ(flags, 0x1000);
    EXPECT_EQ(mode, 2);
    EXPECT_EQ(security, 2);
    ComPtr<IChannelObject> object;
    EXPECT_EQ(ch.As(&object), S_OK);
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(ch.As(&dispatch), S_OK);

    // A deleted channel's object answers its id but nothing the client no longer has.
    ASSERT_EQ(control_->DeleteChannel(9), S_OK);
    LONG id = 0;
    EXPECT_EQ(ch->GetId(&id), S_OK);
    EXPECT_EQ(ch->GetName(name.put()), E_FAIL);
}

TEST_F(ClientContract, PageScriptReachesTheClientThroughIDispatch) {
    auto call = [](IUnknown* target, const wchar_t* member, Variant* result) {
        ComPtr<IDispatch> disp;
        ThrowIfFailed(target->QueryInterface(IID_PPV_ARGS(disp.GetAddressOf())));
        DISPID id = 0;
        LPOLESTR names[] = {const_cast<LPOLESTR>(member)};
        ThrowIfFailed(disp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
        DISPPARAMS none = {};
        return disp->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, result->get(), nullptr, nullptr);
    };
    Variant channels, name;
    ASSERT_EQ(call(app_.Get(), L"GetChannels", &channels), S_OK);
    ASSERT_EQ(channels.vt(), VT_DISPATCH);
    ASSERT_EQ(call(Channel(5).Get(), L"GetName", &name), S_OK);
    ASSERT_EQ(name.vt(), VT_BSTR);
    EXPECT_STREQ(name->bstrVal, L"News");
}

TEST_F(ClientContract, PropertyAndDirectoryShapes) {
    ComPtr<IClientPropertySet> props;
    ASSERT_EQ(Channel(5)->GetProperties(props.GetAddressOf()), S_OK);
    LONG count = 0;
    Variant values;
    ASSERT_EQ(props->GetValues(&count, values.get()), S_OK);
    ASSERT_EQ(count, 2);
    Variant ids = Element(*values.get(), 0), vals = Element(*values.get(), 1);
    EXPECT_EQ(LongAt(*ids.get(), 0), 1);
    EXPECT_EQ(LongAt(*ids.get(), 1), 7);
    EXPECT_STREQ(Element(*vals.get(), 1)->bstrVal, L"All the news");

    ComPtr<IClientDirectory> directory;
    ASSERT_EQ(app_->GetDirectory(directory.GetAddressOf()), S_OK);
    Variant subscribed, entries;
    ASSERT_EQ(directory->Query(1, 2, subscribed.get()), S_OK);
    ASSERT_EQ(subscribed.vt(), VT_ARRAY | VT_I4);
    ASSERT_EQ(Length(*subscribed.get()), 1);
    EXPECT_EQ(LongAt(*subscribed.get(), 0), 18);
    ASSERT_EQ(directory->Query(3, 1, entries.get()), S_OK);
    ASSERT_EQ(Length(*entries.get()), 2);
    Variant entry = Element(*entries.get(), 1);
    Variant fieldIds = Element(*entry.get(), 0), fieldValues = Element(*entry.get(), 1);
    ASSERT_EQ(Length(*fieldIds.get()), 3);
    EXPECT_EQ(LongAt(*fieldIds.get(), 0), 0);  // CHANNEL_ID first: the entry id
    EXPECT_EQ(Element(*fieldValues.get(), 0)->lVal, 18);
    EXPECT_EQ(LongAt(*fieldIds.get(), 2), 3);
    EXPECT_EQ(Element(*fieldValues.get(), 2)->lVal, 0x101);
    EXPECT_EQ(directory->Query(2, 2, entries.get()), E_INVALIDARG);

    ComPtr<IDirectoryEntries> list;
    ASSERT_EQ(directory->GetEntries(list.GetAddressOf()), S_OK);
    ComPtr<IClientPropertySet> one;
    ASSERT_EQ(list->Item(*Variant::I4(17).get(), one.GetAddressOf()), S_OK);
    LONG isSubscribed = -1;
    EXPECT_EQ(one->IsSubscribed(&isSubscribed), S_OK);
    EXPECT_EQ(isSubscribed, 0);
    ASSERT_EQ(one->GetValues(&count, values.get()), S_OK);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(list->Item(*Variant::I4(99).get(), one.ReleaseAndGetAddressOf()), E_INVALIDARG);

    control_->Clear();  // an empty directory gives empty arrays, not failures
    ASSERT_EQ(directory->Query(3, 1, entries.get()), S_OK);
    EXPECT_EQ(Length(*entries.get()), 0);
}

TEST_F(ClientContract, PathResolverMapsOnlyKnownTexts) {
    ComPtr<IClientPathResolver> resolver;
    ASSERT_EQ(app_->GetPathResolver(resolver.GetAddressOf()), S_OK);
    control_->MapPath(Bstr(L"http://example.com/a.htm").get(), Bstr(L"C:\\Channels\\News\\a.htm").get());
    Bstr path;
    EXPECT_EQ(resolver->ResolveLocalPath(Bstr(L"http://example.com/a.htm").get(), 0, path.put()), S_OK);
    EXPECT_EQ(path.str(), L"C:\\Channels\\News\\a.htm");
    EXPECT_EQ(resolver->ResolveLocalPath(Bstr(L"http://example.com/b.htm").get(), 0, path.put()), S_FALSE);
    EXPECT_EQ(path.get(), nullptr);

    ComPtr<IClientSettings> settings;
    ComPtr<IClientFolders> folders;
    ASSERT_EQ(app_->GetSettings(settings.GetAddressOf()), S_OK);
    ASSERT_EQ(settings->GetFolders(folders.GetAddressOf()), S_OK);
    control_->SetClientFolder(Bstr(L"C:\\Korvane\\Client").get());
    EXPECT_EQ(folders->GetClientFolder(path.put()), S_OK);
    EXPECT_EQ(path.str(), L"C:\\Korvane\\Client");
}

TEST_F(ClientContract, EveryEventReachesItsSinksWithItsArguments) {
    EventLog log;
    ComPtr<IClientSettings> settings;
    ComPtr<IStorySource> stories;
    ComPtr<IClientDirectory> directory;
    ComPtr<IDirectoryEntries> entries;
    ComPtr<IParcelSource> parcels;
    app_->GetSettings(settings.GetAddressOf());
    app_->GetStorySource(stories.GetAddressOf());
    app_->GetDirectory(directory.GetAddressOf());
    directory->GetEntries(entries.GetAddressOf());
    app_->GetParcelSource(parcels.GetAddressOf());
    LONG c[6] = {};
    ASSERT_EQ(app_->Advise(-1, MakeObject<AppSink>(&log)->Unknown(), &c[0]), S_OK);
    ASSERT_EQ(settings->Advise(0xFBFDFFFF, MakeObject<SettingsSink>(&log)->Unknown(), &c[1]), S_OK);
    ASSERT_EQ(channels_->Advise(0x0301103D, MakeObject<ChannelSink>(&log)->Unknown(), &c[2]), S_OK);
    ASSERT_EQ(stories->Advise(0x1FFFFFFF, MakeObject<StorySink>(&log)->Unknown(), &c[3]), S_OK);
    ASSERT_EQ(entries->Advise(0x1FFFFFFF, MakeObject<DirectorySink>(&log)->Unknown(), &c[4]), S_OK);
    ASSERT_EQ(parcels->Advise(0, MakeObject<ParcelSink>(&log)->Unknown(), &c[5]), S_OK);

    auto ids = SafeArray::Vector(VT_I4, 2);
    {
        SafeArrayData<LONG> d(ids.get());
        d[0] = 101;
        d[1] = 102;
    }
    Variant idArray;
    idArray->vt = VT_ARRAY | VT_I4;
    idArray->parray = ids.Detach();

    LONG n = 0;
    EXPECT_EQ(control_->FireClientShutdown(&n), S_OK);
    EXPECT_EQ(n, 1);
    control_->FireSettingsChanged(4, &n);
    control_->FireChannelAdded(5, &n);
    control_->FireChannelDeleted(7, &n);
    control_->FireChannelChanged(9, 0x1000, &n);
    control_->FireStoriesAdded(5, *idArray.get(), &n);
    control_->FireStoriesDeleted(5, *Variant::I4(101).get(), &n);
    control_->FireStoriesChanged(5, *idArray.get(), 8, &n);
    control_->FireEntryChanged(17, &n);
    control_->FireEntryDeleted(18, &n);
    control_->FireEntryEvent(17, 2, &n);
    control_->FireParcelDelivered(5, Bstr(L"C:\\P").get(), Bstr(L"C:\\P\\d.ini").get(), &n);
    control_->FireChannelResync(5, 1, &n);
    control_->FireTransferStatus(5, 3, &n);
    EXPECT_EQ(control_->FireChannelAdded(99, &n), E_FAIL);  // no such channel to hand out

    std::vector<std::string> seen;
    for (const auto& e : log.Events()) {
        seen.push_back(e.name + (e.args.empty() ? "" : " " + e.args));
        EXPECT_EQ(e.thread, GetCurrentThreadId());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "shutdown", "settings 4", "channel-added News", "channel-deleted 7",
                        "channel-changed Directory 4096", "added 5 101,102", "deleted 5 101",
                        "changed 5 101,102 8", "entry-changed 17", "entry-deleted 18", "entry-event 17 2",
                        "parcel 5 C:\\P C:\\P\\d.ini", "resync 5 1", "transfer 5 3"}));

    LONG mask = 0, count = 0;
    ASSERT_EQ(control_->SinkCount(Bstr(L"channels").get(), &mask, &count), S_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(mask, 0x0301103D);
    EXPECT_EQ(app_->Unadvise(c[0]), S_OK);
    EXPECT_EQ(app_->Unadvise(c[0]), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(settings->Unadvise(c[1]), S_OK);
    EXPECT_EQ(channels_->Unadvise(c[2]), S_OK);
    EXPECT_EQ(stories->Unadvise(c[3]), S_OK);
    EXPECT_EQ(entries->Unadvise(c[4]), S_OK);
    EXPECT_EQ(parcels->Unadvise(c[5]), S_OK);
    control_->FireClientShutdown(&n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(control_->SinkCount(Bstr(L"stories").get(), &mask, &count), S_OK);
    EXPECT_EQ(count, 0);
}

TEST_F(ClientContract, AdviseRejectsSinksWithoutTheSinkInterface) {
    EventLog log;
    LONG cookie = 0;
    EXPECT_EQ(channels_->Advise(0, MakeObject<StorySink>(&log)->Unknown(), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(channels_->Advise(0, nullptr, &cookie), E_POINTER);
}

// A thread with its own apartment that advises a story sink on its own client object and
// serves calls until told to stop.
class SinkThread {
public:
    explicit SinkThread(EventLog* log) : log_(log) {
        ready_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        thread_ = std::thread([this] { Run(); });
        PumpUntil(ready_.get(), 10000);
    }
    ~SinkThread() {
        SetEvent(stop_.get());
        thread_.join();
    }
    DWORD Id() const { return id_; }
    bool Advised() const { return advised_; }

private:
    void Run() {
        CoInitScope com;
        id_ = GetCurrentThreadId();
        ComPtr<IStorySource> source;
        LONG cookie = 0;
        try {
            ThrowIfFailed(CreateClient()->GetStorySource(source.GetAddressOf()));
            advised_ = SUCCEEDED(source->Advise(-1, MakeObject<StorySink>(log_)->Unknown(), &cookie));
        } catch (...) {
        }
        SetEvent(ready_.get());
        PumpUntil(stop_.get(), 60000);
        if (advised_) source->Unadvise(cookie);
    }
    EventLog* log_;
    UniqueHandleObj ready_, stop_;
    std::atomic<DWORD> id_{0};
    bool advised_ = false;
    std::thread thread_;
};

TEST_F(ClientContract, EventsRunOnTheThreadThatAdvised) {
    EventLog log;
    {
        SinkThread other(&log);
        ASSERT_TRUE(other.Advised());
        LONG n = 0;
        ComPtr<IStorySource> source;
        app_->GetStorySource(source.GetAddressOf());
        LONG cookie = 0;
        ASSERT_EQ(source->Advise(-1, MakeObject<StorySink>(&log)->Unknown(), &cookie), S_OK);

        // Fired from this thread: one sink here, one on the other thread.
        ASSERT_EQ(control_->FireStoriesAdded(5, *Variant::I4(101).get(), &n), S_OK);
        EXPECT_EQ(n, 2);

        // Fired from a third thread, through the control interface marshalled to it.
        IStream* stream = nullptr;
        ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IClientControl, control_.Get(), &stream), S_OK);
        HRESULT fired = E_FAIL;
        EXPECT_TRUE(RunOnOtherThread(COINIT_MULTITHREADED, [&] {
            ComPtr<IClientControl> remote;
            if (SUCCEEDED(CoGetInterfaceAndReleaseStream(stream, IID_PPV_ARGS(remote.GetAddressOf())))) {
                LONG delivered = 0;
                fired = remote->FireStoriesDeleted(5, *Variant::I4(102).get(), &delivered);
            }
        }));
        EXPECT_EQ(fired, S_OK);
        source->Unadvise(cookie);

        auto events = log.Events();
        ASSERT_EQ(events.size(), 4u);
        int here = 0, there = 0;
        for (const auto& e : events) {
            if (e.thread == GetCurrentThreadId()) ++here;
            else if (e.thread == other.Id()) ++there;
            else ADD_FAILURE() << "event " << e.name << " ran on a foreign thread";
        }
        EXPECT_EQ(here, 2);
        EXPECT_EQ(there, 2);
    }
}

TEST_F(ClientContract, ChannelMarshalsToAnotherThreadUnderItsChangedChannelInterface) {
    IStream* stream = nullptr;
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IChannelObject, Channel(5).Get(), &stream), S_OK);
    std::wstring name;
    LONG flags = -1;
    EXPECT_TRUE(RunOnOtherThread(COINIT_APARTMENTTHREADED, [&] {
        ComPtr<IUnknown> unknown;
        ComPtr<IClientChannel2> ch;
        Bstr text;
        if (SUCCEEDED(CoGetInterfaceAndReleaseStream(stream, IID_IChannelObject, reinterpret_cast<void**>(unknown.GetAddressOf()))) &&
            SUCCEEDED(unknown.As(&ch)) && SUCCEEDED(ch->GetName(text.put())) && SUCCEEDED(ch->GetFlags(&flags)))
            name = text.str();
    }));
    EXPECT_EQ(name, L"News");
    EXPECT_EQ(flags, 0);
}

TEST_F(ClientContract, NamedCallsFailAsArmed) {
    auto ch = Channel(5);
    Bstr name;
    ASSERT_EQ(control_->FailCall(Bstr(L"IClientChannel.GetName").get(), 2, E_ACCESSDENIED), S_OK);
    EXPECT_EQ(ch->GetName(name.put()), S_OK);
    EXPECT_EQ(ch->GetName(name.put()), E_ACCESSDENIED);
    EXPECT_EQ(ch->GetName(name.put()), S_OK);  // only the armed call fails

    // A bare name matches that method on every interface, every time until cleared.
    ASSERT_EQ(control_->FailCall(Bstr(L"Item").get(), 0, E_OUTOFMEMORY), S_OK);
    ComPtr<IClientChannel> found;
    EXPECT_EQ(channels_->Item(*Variant::I4(5).get(), found.GetAddressOf()), E_OUTOFMEMORY);
    EXPECT_EQ(channels_->Item(*Variant::I4(5).get(), found.GetAddressOf()), E_OUTOFMEMORY);
    ComPtr<IStoryCollection> stories;
    ComPtr<IClientStory> story;
    ASSERT_EQ(ch->GetStories(stories.GetAddressOf()), S_OK);
    EXPECT_EQ(stories->Item(*Variant::I4(101).get(), story.GetAddressOf()), E_OUTOFMEMORY);
    ASSERT_EQ(control_->ClearFailures(), S_OK);
    EXPECT_EQ(channels_->Item(*Variant::I4(5).get(), found.GetAddressOf()), S_OK);

    Variant snapshot;
    control_->FailCall(Bstr(L"GetStorySnapshot").get(), 1, E_UNEXPECTED);
    EXPECT_EQ(ch->GetStorySnapshot(1, 1, snapshot.get()), E_UNEXPECTED);
    EXPECT_EQ(control_->FailCall(Bstr(L"GetName").get(), 1, S_OK), E_INVALIDARG);
}

TEST_F(ClientContract, ClientActionsAreRecordedWithTheirParentWindows) {
    auto ch = Channel(5);
    ComPtr<IClientStory> story;
    ComPtr<IStoryCollection> stories;
    ASSERT_EQ(ch->GetStories(stories.GetAddressOf()), S_OK);
    ASSERT_EQ(stories->Item(*Variant::I4(102).get(), story.GetAddressOf()), S_OK);
    EXPECT_EQ(stories->Item(*Variant::I4(103).get(), story.ReleaseAndGetAddressOf()), E_INVALIDARG);
    ASSERT_EQ(stories->Item(*Variant::I4(102).get(), story.ReleaseAndGetAddressOf()), S_OK);
    ComPtr<IDirectoryEntries> entries;
    ComPtr<IClientDirectory> directory;
    app_->GetDirectory(directory.GetAddressOf());
    directory->GetEntries(entries.GetAddressOf());
    ComPtr<IClientPropertySet> entry;
    ASSERT_EQ(entries->Item(*Variant::I4(17).get(), entry.GetAddressOf()), S_OK);
    ComPtr<IClientUi> ui;
    ASSERT_EQ(app_.As(&ui), S_OK);

    EXPECT_EQ(ch->Refresh(), S_OK);
    EXPECT_EQ(ch->Drop(), S_OK);
    EXPECT_EQ(story->Play(0x1234, 0), S_OK);
    EXPECT_EQ(entry->Subscribe(0x55, 0), S_OK);
    LONG subscribed = 0;
    entry->IsSubscribed(&subscribed);
    EXPECT_NE(subscribed, 0);
    EXPECT_EQ(entry->Unsubscribe(0x56, 0), S_OK);
    entry->IsSubscribed(&subscribed);
    EXPECT_EQ(subscribed, 0);
    EXPECT_EQ(ui->OpenClientWindow(3), S_OK);
    std::vector<LONG> windows;
    EXPECT_EQ(Calls(&windows), (std::vector<std::wstring>{L"Refresh 5", L"Drop 5", L"Play 5 102", L"Subscribe 17",
                                                          L"Unsubscribe 17", L"OpenClientWindow 3"}));
    EXPECT_EQ(windows, (std::vector<LONG>{0, 0, 0x1234, 0x55, 0x56, 0}));
    ASSERT_EQ(control_->ClearCalls(), S_OK);
    EXPECT_TRUE(Calls().empty());
}

TEST_F(ClientContract, SetupDialogsStayModalUntilClosed) {
    auto ch = Channel(5);
    {
        DialogClicker ok(L"Channel Setup - News", IDOK);
        EXPECT_EQ(ch->ShowSetup(0x77), S_OK);  // returns only once the dialog is closed
        EXPECT_TRUE(ok.Wait());
    }
    ComPtr<IClientSettings> settings;
    app_->GetSettings(settings.GetAddressOf());
    {
        DialogClicker ok(L"Korvane Setup", IDCANCEL);
        EXPECT_EQ(settings->ShowGlobalSetup(0), S_OK);
        EXPECT_TRUE(ok.Wait());
    }
    LONG open = -1;
    EXPECT_EQ(control_->OpenDialogCount(&open), S_OK);
    EXPECT_EQ(open, 0);
    EXPECT_EQ(Calls(), (std::vector<std::wstring>{L"ShowSetup 5", L"ShowGlobalSetup"}));

    // Closed by the test through the control interface from another thread.
    IStream* stream = nullptr;
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IClientControl, control_.Get(), &stream), S_OK);
    std::atomic<bool> sawOpen{false};
    UniqueHandleObj closed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread closer([&] {
        {
            CoInitScope com(COINIT_MULTITHREADED);
            ComPtr<IClientControl> remote;
            if (SUCCEEDED(CoGetInterfaceAndReleaseStream(stream, IID_PPV_ARGS(remote.GetAddressOf())))) {
                for (int i = 0; i < 200 && !sawOpen; ++i) {
                    LONG n = 0;
                    if (SUCCEEDED(remote->OpenDialogCount(&n)) && n == 1) {
                        sawOpen = true;
                        remote->CloseDialogs();
                    } else {
                        Sleep(50);
                    }
                }
            }
        }
        SetEvent(closed.get());
    });
    EXPECT_EQ(ch->ShowSetup(0), S_OK);
    EXPECT_TRUE(PumpUntil(closed.get(), 20000));
    closer.join();
    EXPECT_TRUE(sawOpen);
}

TEST_F(ClientContract, StateFileLoadsAndABadFileChangesNothing) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"kv-client-state-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    std::wstring file = folder + L"\\client-state.txt";
    auto write = [&](const char* text) {
        std::ofstream out(ToAnsi(file), std::ios::binary | std::ios::trunc);
        out << text;
    };
    write("# a demo client\n"
          "[client]\n"
          "folder = C:\\Korvane\\data\n"
          "[channel 3]\n"
          "name = Tech News\n"
          "folder = C:\\Channels\\Tech News\n"
          "flags = 0x400\n"
          "mode = 010\n"
          "property 1 = \"42\"\n"
          "property 3 = 1\n"
          "[story 3 30]\n"
          "TITLE = Hello\n"
          "[story-base 3 30]\n"
          "KEEP = 1\n"
          "[entry 12]\n"
          "subscribed = 1\n"
          "field 1 = Tech News\n"
          "field 38 = 900000000\n"
          "[paths]\n"
          "http://x/a.htm = C:\\a.htm\n");
    ASSERT_EQ(control_->LoadState(Bstr(folder).get()), S_OK);

    Bstr text;
    LONG flags = 0;
    auto ch = Channel(3);
    ch->GetName(text.put());
    EXPECT_EQ(text.str(), L"Tech News");
    ch->GetFlags(&flags);
    EXPECT_EQ(flags, 0x400);
    LONG mode = 0;
    ch->GetMode(&mode);
    EXPECT_EQ(mode, 10);  // a leading zero is not octal
    ComPtr<IClientChannel> gone;
    EXPECT_EQ(channels_->Item(*Variant::I4(5).get(), gone.GetAddressOf()), E_INVALIDARG);  // replaced
    ComPtr<IClientPropertySet> props;
    ch->GetProperties(props.GetAddressOf());
    LONG count = 0;
    Variant values;
    ASSERT_EQ(props->GetValues(&count, values.get()), S_OK);
    ASSERT_EQ(count, 2);
    Variant vals = Element(*values.get(), 1);
    EXPECT_EQ(Element(*vals.get(), 0).vt(), VT_BSTR);  // quoted: text
    EXPECT_EQ(Element(*vals.get(), 1).vt(), VT_I4);   // bare number: integer
    Variant snapshot;
    ASSERT_EQ(ch->GetStorySnapshot(1, 1, snapshot.get()), S_OK);
    EXPECT_EQ(StringAt(*Element(*Element(*snapshot.get(), 2).get(), 1).get(), 0), L"KEEP");
    ComPtr<IClientDirectory> directory;
    app_->GetDirectory(directory.GetAddressOf());
    Variant subscribed;
    directory->Query(1, 2, subscribed.get());
    EXPECT_EQ(LongAt(*subscribed.get(), 0), 12);
    ComPtr<IClientPathResolver> resolver;
    app_->GetPathResolver(resolver.GetAddressOf());
    EXPECT_EQ(resolver->ResolveLocalPath(Bstr(L"http://x/a.htm").get(), 0, text.put()), S_OK);
    EXPECT_EQ(text.str(), L"C:\\a.htm");

    for (const char* bad : {"[channel x]\n", "name = orphan\n", "[channel 4]\ncolour = red\n", "[story 8 1]\nA = b\n",
                            "[channel 4\n"}) {
        SCOPED_TRACE(bad);
        write(bad);
        EXPECT_EQ(control_->LoadState(Bstr(folder).get()), E_INVALIDARG);
        ComPtr<IClientChannel> still;
        EXPECT_EQ(channels_->Item(*Variant::I4(3).get(), still.GetAddressOf()), S_OK);
    }
    DeleteFileW(file.c_str());
    EXPECT_EQ(control_->LoadState(Bstr(folder).get()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    RemoveDirectoryW(folder.c_str());
}

TEST_F(ClientContract, ThreadsChangeAndReadTheClientAtOnce) {
    // Each thread has its own apartment and its own client objects, so the calls truly overlap.
    std::atomic<int> failures{0};
    auto work = [&](LONG base) {
        CoInitScope com;
        try {
            auto app = CreateClient();
            ComPtr<IClientControl> control;
            ComPtr<IChannelCollection> channels;
            ThrowIfFailed(app.As(&control));
            ThrowIfFailed(app->GetChannels(channels.GetAddressOf()));
            for (LONG i = 0; i < 300; ++i) {
                LONG id = base + i % 5;
                ThrowIfFailed(control->PutChannel(id, Bstr(L"T" + std::to_wstring(id)).get(), Bstr(L"C:\\T").get(), 0, 0,
                                                  0, Bstr(L"t").get()));
                ThrowIfFailed(control->SetStoryProperty(id, i, Bstr(L"TITLE").get(), Bstr(L"x").get(), 1 + i % 2));
                ComPtr<IClientChannel> ch;
                ComPtr<IClientChannel2> ch2;
                Variant snapshot;
                ThrowIfFailed(channels->Item(*Variant::I4(id).get(), ch.GetAddressOf()));
                ThrowIfFailed(ch.As(&ch2));
                ThrowIfFailed(ch2->GetStorySnapshot(1, 1, snapshot.get()));
                if (i % 11 == 0) ThrowIfFailed(control->DeleteChannel(id));
                ComPtr<IUnknown> items;
                ThrowIfFailed(channels->NewEnum(items.GetAddressOf()));
            }
        } catch (...) {
            ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (LONG base : {1000, 2000, 3000, 4000}) threads.emplace_back(work, base);
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, 0);

    // Every channel a thread left holds only its own stories, in parallel arrays. (Each thread's
    // last deletion, of its channel base + 2, is final.)
    for (LONG base : {1000, 2000, 3000, 4000})
        for (LONG k = 0; k < 5; ++k) {
            ComPtr<IClientChannel> gone;
            if (k == 2) {
                EXPECT_EQ(channels_->Item(*Variant::I4(base + k).get(), gone.GetAddressOf()), E_INVALIDARG);
                continue;
            }
            Variant snapshot;
            ASSERT_EQ(Channel(base + k)->GetStorySnapshot(1, 1, snapshot.get()), S_OK);
            for (LONG part = 1; part <= 2; ++part) {
                Variant arrays = Element(*snapshot.get(), part);
                Variant ids = Element(*arrays.get(), 0);
                ASSERT_EQ(Length(*Element(*arrays.get(), 1).get()), Length(*ids.get()));
                for (LONG i = 0; i < Length(*ids.get()); ++i) EXPECT_EQ(LongAt(*ids.get(), i) % 5, k);
            }
        }
}

TEST_F(ClientContract, DocumentedExampleStateLoads) {
    ASSERT_EQ(control_->LoadState(Bstr(ToWide(KV_CLIENT_DEMO_DIR)).get()), S_OK);
    auto ch = Channel(5);
    Bstr name;
    LONG flags = 0;
    ch->GetName(name.put());
    ch->GetFlags(&flags);
    EXPECT_EQ(name.str(), L"News");
    EXPECT_EQ(flags, 0x400);
    Variant snapshot;
    ASSERT_EQ(ch->GetStorySnapshot(1, 1, snapshot.get()), S_OK);
    EXPECT_EQ(Length(*Element(*Element(*snapshot.get(), 1).get(), 0).get()), 2);
    EXPECT_EQ(Length(*Element(*Element(*snapshot.get(), 2).get(), 0).get()), 1);
}

TEST(ClientServer, UnloadsWhenEverythingIsReleased) {
    {
        auto app = CreateClient();
        ComPtr<IChannelCollection> channels;
        app->GetChannels(channels.GetAddressOf());
        ComPtr<IUnknown> items;
        channels->NewEnum(items.GetAddressOf());
    }
    HMODULE dll = GetModuleHandleW(L"KorvaneClient.dll");
    ASSERT_NE(dll, nullptr);
    auto canUnload = GetProc<HRESULT(STDAPICALLTYPE*)()>(dll, "DllCanUnloadNow");
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_OK);
}

}  // namespace
}  // namespace kv::test
