#include "kvcdf/publisher.h"

#include <gtest/gtest.h>

#include <map>

#include "channelmgr_control.h"
#include "client_control.h"
#include "framework/client_boundary.h"
#include "kvcdf/files_test_util.h"
#include "kvcdf/reconciler.h"
#include "platform/text.h"

namespace {

using namespace kv::test;
using kv::Bstr;
using kv::ComPtr;

// Observes the shell calls; copies for real unless told to fail.
class ObservedShell : public kv::cdf::ShellFiles {
public:
    int FileOperation(SHFILEOPSTRUCTW& op) override {
        ++copies;
        flags = op.fFlags;
        return fail ? 1 : ShellFiles::FileOperation(op);
    }
    void FolderChanged(const std::wstring& folder) override { changed.push_back(folder); }
    int copies = 0;
    FILEOP_FLAGS flags = 0;
    bool fail = false;
    std::vector<std::wstring> changed;
};

class ParcelCatcher : public kv::ComObject<ParcelCatcher, IParcelEvents> {
public:
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP OnParcelDelivered(IDispatch* parcel) override {
        last.Reset();
        return parcel->QueryInterface(IID_PPV_ARGS(last.GetAddressOf()));
    }
    STDMETHODIMP OnChannelResync(LONG, LONG) override { return S_OK; }
    STDMETHODIMP OnTransferStatus(LONG, LONG) override { return S_OK; }
    ComPtr<IClientParcel> last;
};

constexpr char kTemplate[] = "<CHANNEL BASE=\"%BASE_URL%\"><TITLE>%Title%</TITLE><ABSTRACT>%ABSTRACT%</ABSTRACT>"
                             "<ITEM%STORY_LIST%/></CHANNEL>";

// The client stand-in with its folder in C:\Korvane\data, the templates in C:\Korvane\CDF.
class PublisherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(kv::CreateClientObject(L"Korvane", IID_IClientApp, reinterpret_cast<void**>(app.GetAddressOf())));
        ASSERT_HRESULT_SUCCEEDED(app.As(&client));
        ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(kv::kClsidChannelMgr, nullptr, CLSCTX_INPROC_SERVER,
                                                  __uuidof(IChannelMgrControl), reinterpret_cast<void**>(manager.GetAddressOf())));
        client->Clear();
        client->SetClientFolder(Bstr(L"C:\\Korvane\\data").get());
        kv::DeleteTree(L"C:\\Korvane");
        kv::DeleteTree(L"C:\\Channels");
        kv::DeleteTree(folder.Folder());
        kv::CreateDirectoryTree(folder.Folder());
        folder.ClearCache();
        WriteFileText(L"C:\\Korvane\\CDF\\Default\\default.cdf", kTemplate);
        WriteFileText(L"C:\\Korvane\\CDF\\Default\\page.htm", "page");
        WriteFileText(L"C:\\Korvane\\CDF\\Default\\images\\logo.gif", "gif");
        WriteFileText(L"C:\\Korvane\\CDF\\Directory\\directory.cdf", kTemplate);
        WriteFileText(L"C:\\Korvane\\CDF\\News\\news channel.cdf", kTemplate);
        WriteFileText(L"C:\\Korvane\\CDF\\Plain.cdf", "a file, not a template folder");
        WriteFileText(L"C:\\Korvane\\CDF\\Odd\\odd.cdfx", kTemplate);
        RegCreateKeyW(HKEY_CURRENT_USER, kv::cdf::kChannelsKey, channelsKey.put());
        kv::UniqueHkey excluded;
        RegCreateKeyW(HKEY_CURRENT_USER, kv::cdf::kExcludeKey, excluded.put());
        DWORD two = 2, one = 1;
        RegSetValueExW(excluded.get(), L"NoParcels", 0, REG_DWORD, reinterpret_cast<BYTE*>(&two), 4);
        RegSetValueExW(excluded.get(), L"NoShortcut", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
        exclude.emplace();
        source.emplace(GetModuleHandleW(nullptr), app.Get());
        channels.emplace(kv::cdf::OpenChannelsList());
        records.emplace(*channels);
        publisher.emplace(kv::cdf::PublisherSetup{GetModuleHandleW(nullptr), *source, folder, *records, *exclude,
                                                  categories, L"GUIDE", shell});
        manager->ClearCalls();
    }
    void TearDown() override {
        if (client) client->Clear();
        channelsKey.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, kv::cdf::kChannelsKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kv::cdf::kExcludeKey);
    }
    ComPtr<IClientChannel> Channel(LONG id, const wchar_t* name, const wchar_t* local, const wchar_t* key = L"",
                                   const wchar_t* category = nullptr, bool directory = false) {
        client->PutChannel(id, Bstr(name).get(), Bstr(local).get(), 0, 0, 0, Bstr(key).get());
        client->SetChannelProperty(id, 1, *kv::Variant::String(name).get());
        client->SetChannelProperty(id, 7, *kv::Variant::String(L"Stories & more").get());
        if (category) client->SetChannelProperty(id, 8, *kv::Variant::String(category).get());
        if (directory) client->SetChannelProperty(id, 3, *kv::Variant::I4(1).get());
        return source->GetChannel(name);
    }
    HRESULT Publish(IClientChannel* channel, const wchar_t* name, const wchar_t* title = L"") {
        try {
            publisher->PublishChannel(channel, name, title);
            return S_OK;
        } catch (const kv::HResultError& e) {
            return e.Code();
        }
    }
    std::wstring Calls() {
        Bstr calls;
        manager->GetCalls(calls.put());
        manager->ClearCalls();
        return calls.str();
    }
    static std::wstring ShortPath(const std::wstring& path) {
        wchar_t buffer[MAX_PATH];
        GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
        return buffer;
    }

    ComPtr<IClientApp> app;
    ComPtr<IClientControl> client;
    ComPtr<IChannelMgrControl> manager;
    kv::UniqueHkey channelsKey;
    int refreshes = 0;
    kv::cdf::ChannelFolder folder{[this] {
        ++refreshes;
        return S_OK;
    }};
    kv::CategoryMap categories{GetModuleHandleW(nullptr)};
    std::optional<kv::cdf::ExcludeList> exclude;
    ObservedShell shell;
    std::optional<kv::cdf::ClientChannelSource> source;
    std::optional<kv::cdf::RegistryValueList> channels;
    std::optional<kv::cdf::ChannelRecords> records;
    std::optional<kv::cdf::Publisher> publisher;
};

TEST_F(PublisherTest, PicksTheChannelsOwnTemplateThenDefaultThenDirectory) {
    struct Case {
        const wchar_t* name;
        const wchar_t* key;
        bool directory;
        const wchar_t* file;  // the channel file that lands in the channel's folder
    } cases[] = {
        {L"News", L"", false, L"news channel.cdf"},
        {L"Weather", L"", false, L"default.cdf"},
        {L"Plain.cdf", L"", false, L"default.cdf"},   // a file of that name is no template
        {L"Guide", L"guide", true, L"directory.cdf"},  // the directory channel named by ChnDirUpdateChannel
        {L"Guide2", L"guide", false, L"default.cdf"},
        {L"Other", L"other", true, L"default.cdf"},
    };
    LONG id = 10;
    for (const auto& c : cases) {
        std::wstring local = L"C:\\Channels\\" + std::to_wstring(id);
        auto channel = Channel(id++, c.name, local.c_str(), c.key, nullptr, c.directory);
        ASSERT_EQ(Publish(channel.Get(), c.name), S_OK) << c.name;
        EXPECT_TRUE(Exists(local + L"\\" + c.file)) << c.name;
    }
    EXPECT_EQ(shell.flags, FOF_NOCONFIRMATION | FOF_SILENT | FOF_NOERRORUI);
    EXPECT_TRUE(publisher->DesktopRefreshNeeded());
    publisher->RefreshDesktopIfNeeded();
    publisher->RefreshDesktopIfNeeded();
    EXPECT_EQ(refreshes, 1);
}

TEST_F(PublisherTest, CopiesTheFolderExpandsTheFileAndAddsTheShortcut) {
    auto channel = Channel(5, L"News & Weather", L"C:\\Channels\\News & Weather", L"", L"Business/Stock Quotes");
    ASSERT_EQ(Publish(channel.Get(), L"News & Weather"), S_OK);
    std::wstring local = L"C:\\Channels\\News & Weather\\";
    EXPECT_TRUE(Exists(local + L"page.htm"));
    EXPECT_TRUE(Exists(local + L"images\\logo.gif"));
    std::string base = "file://" + kv::ToAnsi(ShortPath(local));
    std::string escapedBase = base;
    for (size_t at; (at = escapedBase.find('&')) != std::string::npos && escapedBase.compare(at, 5, "&amp;");)
        escapedBase.replace(at, 1, "&amp;");
    EXPECT_EQ(ReadFileText(local + L"default.cdf"),
              "<CHANNEL BASE=\"" + escapedBase + "\"><TITLE>News &amp; Weather</TITLE>"
              "<ABSTRACT>Stories &amp; more</ABSTRACT><ITEM/></CHANNEL>");
    std::wstring url = kv::ToWide(base) + kv::cdf::ShortName(local + L"default.cdf");
    EXPECT_EQ(Calls(), L"EnumChannels 70007\nAddChannelShortcut " + std::to_wstring(sizeof(CHANNELSHORTCUTINFO)) +
                           L" Business\\News & Weather " + url + L"\n");
    EXPECT_TRUE(Exists(folder.Folder() + L"Business\\News & Weather\\desktop.ini"));

    // Published again under its recorded title: the shortcut is there, so the shell is only told.
    EXPECT_EQ(records->Find(L"Business\\News & Weather")->value, 5u);
    folder.ClearCache();
    ASSERT_EQ(Publish(channel.Get(), L"News & Weather", L"Business\\News & Weather"), S_OK);
    EXPECT_EQ(Calls(), L"EnumChannels 70007\n");
    EXPECT_EQ(shell.changed, std::vector<std::wstring>{folder.Folder() + L"Business\\News & Weather"});
}

TEST_F(PublisherTest, ShortcutGoesToTheTopWithoutCategoryOrForTheDirectoryChannel) {
    struct Case {
        const wchar_t* name;
        const wchar_t* category;
        bool directory;
    } cases[] = {{L"Plainly", nullptr, false}, {L"Personal", L"Dadivov", false}, {L"Unlisted", L"Gardening", false},
                 {L"Guide", L"Business", true}};
    LONG id = 20;
    for (const auto& c : cases) {
        auto channel = Channel(id, c.name, (L"C:\\Channels\\" + std::to_wstring(id)).c_str(), L"", c.category, c.directory);
        ++id;
        ASSERT_EQ(Publish(channel.Get(), c.name), S_OK) << c.name;
        EXPECT_TRUE(Exists(folder.Folder() + c.name + L"\\desktop.ini")) << c.name;
    }
}

TEST_F(PublisherTest, HostileNamesAndFoldersWriteNothingOutside) {
    const std::wstring longFolder = L"C:\\Channels\\" + std::wstring(260, L'l');
    struct Case {
        const wchar_t* name;
        const wchar_t* local;
        HRESULT hr;
        bool copied;             // the Default template into the channel's own folder
        const wchar_t* shortcut;  // its title, inside the channels folder
    } cases[] = {
        {L"..\\Evil", L"C:\\Channels\\e1", S_OK, true, L".._Evil"},  // no template of its own
        {L"..\\CDF\\News", L"C:\\Channels\\e2", S_OK, true, L".._CDF_News"},
        {L"C:\\Evil", L"C:\\Channels\\e3", S_OK, true, L"C__Evil"},
        {L"\\Evil", L"C:\\Channels\\e4", S_OK, true, L"_Evil"},
        {L"Evil:stream", L"C:\\Channels\\e5", S_OK, true, L"Evil_stream"},
        {L"Empty", L"", E_FAIL, false, nullptr},  // "\\" would be the drive's root
        {L"Relative", L"Channels\\r", E_FAIL, false, nullptr},
        {L"Long", longFolder.c_str(), E_FAIL, false, nullptr},  // longer than the copy takes
    };
    LONG id = 30;
    for (const auto& c : cases) {
        auto channel = Channel(id++, c.name, c.local);
        EXPECT_EQ(Publish(channel.Get(), c.name), c.hr) << kv::ToAnsi(c.name);
        if (*c.local) {
            EXPECT_EQ(Exists(std::wstring(c.local) + L"\\default.cdf"), c.copied) << kv::ToAnsi(c.name);
        }
        if (c.shortcut) {
            EXPECT_TRUE(Exists(folder.Folder() + c.shortcut + L"\\desktop.ini")) << kv::ToAnsi(c.name);
        }
    }
    EXPECT_EQ(shell.copies, 5);
    for (const wchar_t* outside : {L"C:\\page.htm", L"C:\\default.cdf", L"C:\\Evil", L"C:\\Korvane\\Evil",
                                   L"C:\\Channels\\Evil"})
        EXPECT_FALSE(Exists(outside)) << kv::ToAnsi(outside);
    folder.ClearCache();
    folder.Enumerate([&](const std::wstring&, const std::wstring& path, const std::wstring&) {
        EXPECT_TRUE(kv::cdf::ChannelFolder::RelativeTo(folder.Folder(), path).has_value()) << kv::ToAnsi(path);
        return true;
    });
}

// A channel that cannot be published is named with its failure; the pass goes on.
TEST_F(PublisherTest, AChannelThatCannotBePublishedIsReportedByName) {
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane\\Global", L"ChnDirUpdateChannel", REG_SZ, L"GUIDE",
                    12);
    Channel(60, L"Nowhere", L"");
    Channel(61, L"Fine", L"C:\\Channels\\Fine");
    kv::cdf::Reconciler reconciler(GetModuleHandleW(nullptr), shell, [] { return S_OK; });
    reconciler.ClientChannelPass();
    EXPECT_EQ((std::map<std::wstring, HRESULT>{{L"Nowhere", E_FAIL}}), reconciler.Unpublished());
    folder.ClearCache();
    EXPECT_TRUE(folder.IsPublished(L"Fine"));
}

TEST_F(PublisherTest, FailuresOfTheCopyOrTheTemplateStopThePublication) {
    auto channel = Channel(40, L"Odd", L"C:\\Channels\\Odd");
    EXPECT_EQ(Publish(channel.Get(), L"Odd"), E_FAIL);  // only x.cdfx, which "*.cdf" also matches
    shell.fail = true;
    auto weather = Channel(41, L"Weather", L"C:\\Channels\\Weather");
    EXPECT_EQ(Publish(weather.Get(), L"Weather"), E_FAIL);
    EXPECT_FALSE(publisher->DesktopRefreshNeeded());
    EXPECT_EQ(Calls(), L"");
}

TEST_F(PublisherTest, ParcelGatePublishesOnlyChannelFileParcels) {
    ComPtr<IParcelSource> parcels;
    ASSERT_HRESULT_SUCCEEDED(app->GetParcelSource(parcels.GetAddressOf()));
    auto catcher = kv::MakeObject<ParcelCatcher>();
    LONG cookie = 0;
    ASSERT_HRESULT_SUCCEEDED(parcels->Advise(0, catcher.Get(), &cookie));
    using Result = kv::cdf::Publisher::ParcelResult;
    struct Case {
        const wchar_t* channel;
        const char* description;  // null: no description file
        Result result;
    } cases[] = {
        {L"Sports", "[presentation]\r\ndata_type=ie/cdf\r\n", Result::Published},
        {L"Arts", "[presentation]\r\ndata_type=IE/Cdf\r\n", Result::Published},
        {L"NoShortcut", "[presentation]\r\ndata_type=ie/cdf\r\n", Result::Published},
        {L"Html", "[presentation]\r\ndata_type=text/html\r\n", Result::NotChannelFile},
        {L"Other", "[other]\r\ndata_type=ie/cdf\r\n", Result::NotChannelFile},
        {L"Missing", nullptr, Result::NotChannelFile},
        {L"NoParcels", "[presentation]\r\ndata_type=ie/cdf\r\n", Result::Excluded},
    };
    LONG id = 50;
    for (const auto& c : cases) {
        std::wstring parcelFolder = L"C:\\Parcels\\" + std::to_wstring(id);
        WriteFileText(parcelFolder + L"\\parcel.cdf", kTemplate);
        if (c.description) WriteFileText(parcelFolder + L"\\parcel.ini", c.description);
        Channel(id, c.channel, (L"C:\\Channels\\" + std::to_wstring(id)).c_str());
        LONG delivered = 0;
        client->FireParcelDelivered(id, Bstr(parcelFolder).get(), Bstr(parcelFolder + L"\\parcel.ini").get(), &delivered);
        ASSERT_TRUE(catcher->last) << c.channel;
        EXPECT_EQ(publisher->PublishIfCdfParcel(catcher->last.Get()), c.result) << c.channel;
        bool published = c.result == Result::Published;
        EXPECT_EQ(channels->Get(c.channel).has_value(), published) << c.channel;
        EXPECT_EQ(Exists(folder.Folder() + c.channel), published) << c.channel;
        std::string expanded = ReadFileText(parcelFolder + L"\\parcel.cdf");
        EXPECT_EQ(expanded == kTemplate, !published) << c.channel;
        if (published) {
            EXPECT_EQ(*channels->Get(c.channel), static_cast<DWORD>(id));
            EXPECT_NE(expanded.find("<ITEM HREF=\"file://C:\\Channels\\" + std::to_string(id) + "\\Channel.htm\" />"),
                      std::string::npos)
                << expanded;
            EXPECT_EQ(shell.changed.back(), folder.Folder() + c.channel);
        }
        ++id;
    }
    EXPECT_EQ(refreshes, 3);
    parcels->Unadvise(cookie);
}

}  // namespace

// A recorded shortcut is ours while its URL is the address we wrote there; an entry from before
// addresses were kept, while its URL names a file directly in its channel's folder.
TEST_F(PublisherTest, AShortcutIsOursWhileItNamesTheAddressWeWrote) {
    kv::CreateDirectoryTree(L"C:\\Channels\\Long Folder Name");
    const std::wstring longLocal = L"C:\\Channels\\Long Folder Name", shortLocal = ShortPath(longLocal);
    records->Set(L"News", 5);
    records->SetAddress(L"News", L"file://C:\\Channels\\5\\default.cdf");
    records->Set(L"Legacy", 6);
    struct Case {
        const char* what;
        const wchar_t* entry;
        std::wstring url, local;
        bool ours;
    } cases[] = {
        {"the address, spelled in another case", L"news", L"FILE://c:\\channels\\5\\DEFAULT.CDF", L"", true},
        {"another address in the channel's folder", L"News", L"file://C:\\Channels\\5\\other.cdf", L"C:\\Channels\\5", false},
        {"the person's own", L"News", L"file://C:\\mine\\News.cdf", L"", false},
        {"no address: a file in the channel's folder", L"Legacy", L"file://" + longLocal + L"\\default.cdf", longLocal, true},
        {"no address: its short form", L"Legacy", L"file://" + shortLocal + L"\\default.cdf", longLocal + L"\\", true},
        {"no address: a file deeper down", L"Legacy", L"file://" + longLocal + L"\\sub\\default.cdf", longLocal, false},
        {"no address: the person's own", L"Legacy", L"file://C:\\mine\\Legacy.cdf", longLocal, false},
        {"no address and no channel", L"Legacy", L"file://" + longLocal + L"\\default.cdf", L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.ours, kv::cdf::IsOwnShortcut(*records, c.entry, c.url, c.local)) << c.what;
    records->Reload();
    EXPECT_EQ(L"file://C:\\Channels\\5\\default.cdf", records->Address(L"NEWS")) << "kept in the registry";
    records->Remove(L"News");
    records->Reload();
    EXPECT_EQ(L"", records->Address(L"News")) << "the address goes with its entry";
}
