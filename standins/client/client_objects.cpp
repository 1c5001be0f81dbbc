#include "standins/client/client_objects.h"

#include <oleauto.h>

#include <string>
#include <vector>

#include "client_control.h"
#include "korvane_client.h"
#include "platform/dual.h"
#include "platform/module_path.h"
#include "platform/raii.h"
#include "standins/client/client_state.h"

namespace kv::standin {
namespace {

ClientState& State() { return ClientState::Get(); }

// Hands a new object of type T, queried for I, to an out parameter.
template <class T, class I, class... Args>
void Give(I** out, Args&&... args) {
    *out = nullptr;
    auto obj = MakeObject<T>(std::forward<Args>(args)...);
    ThrowIfFailed(obj->QueryInterface(__uuidof(I), reinterpret_cast<void**>(out)));
}

template <class P>
void CheckOut(P* p) {
    if (!p) ThrowHr(E_POINTER);
}

Variant ArrayOf(SafeArray&& sa, VARTYPE vt) {
    Variant v;
    v->vt = static_cast<VARTYPE>(VT_ARRAY | vt);
    v->parray = sa.Detach();
    return v;
}

SafeArray LongArray(const std::vector<LONG>& values) {
    auto sa = SafeArray::Vector(VT_I4, static_cast<ULONG>(values.size()));
    if (!values.empty()) {
        SafeArrayData<LONG> d(sa.get());
        for (size_t i = 0; i < values.size(); ++i) d[i] = values[i];
    }
    return sa;
}

SafeArray VariantArray(std::vector<Variant>& values) {
    auto sa = SafeArray::Vector(VT_VARIANT, static_cast<ULONG>(values.size()));
    if (!values.empty()) {
        SafeArrayData<VARIANT> d(sa.get());
        for (size_t i = 0; i < values.size(); ++i) values[i].Detach(&d[i]);
    }
    return sa;
}

// A key VARIANT as a 32-bit id; anything that does not convert is E_INVALIDARG.
LONG KeyAsLong(const VARIANT& key) {
    Variant v;
    if (FAILED(VariantChangeType(v.get(), const_cast<VARIANT*>(&key), 0, VT_I4))) ThrowHr(E_INVALIDARG);
    return v->lVal;
}

// {ids[], values[]} of a field or property map, with the count.
Variant ValuesShape(const std::map<LONG, Variant>& map, LONG* count) {
    std::vector<LONG> ids;
    std::vector<Variant> values;
    for (const auto& [id, value] : map) {
        ids.push_back(id);
        values.push_back(value);
    }
    std::vector<Variant> pair;
    pair.push_back(ArrayOf(LongArray(ids), VT_I4));
    pair.push_back(ArrayOf(VariantArray(values), VT_VARIANT));
    *count = static_cast<LONG>(ids.size());
    return ArrayOf(VariantArray(pair), VT_VARIANT);
}

Channel ChannelOrFail(LONG id, bool withStories = false) {
    auto c = State().FindChannel(id, withStories);
    if (!c) ThrowHr(E_FAIL);  // the channel was deleted after this object was handed out
    return *c;
}

// ---------------------------------------------------------------------------------------------

class PropertySet : public ComObject<PropertySet, Dual<IClientPropertySet>> {
public:
    enum class Kind { Channel, Entry };
    PropertySet(Kind kind, LONG id) : kind_(kind), id_(id) {}

    STDMETHODIMP GetValues(LONG* count, VARIANT* values) override try {
        State().Enter(L"IClientPropertySet.GetValues");
        CheckOut(count);
        CheckOut(values);
        VariantInit(values);
        Variant shape;
        if (kind_ == Kind::Channel) {
            shape = ValuesShape(ChannelOrFail(id_).properties, count);
        } else {
            auto e = State().FindEntry(id_);
            if (!e) ThrowHr(E_FAIL);
            shape = ValuesShape(e->fields, count);
        }
        shape.Detach(values);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Subscribe(LONG hwndParent, LONG) override try {
        State().Enter(L"IClientPropertySet.Subscribe");
        State().Record(L"Subscribe " + std::to_wstring(id_), hwndParent);
        if (kind_ == Kind::Entry) State().SetSubscribed(id_, true);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Unsubscribe(LONG hwndParent, LONG) override try {
        State().Enter(L"IClientPropertySet.Unsubscribe");
        State().Record(L"Unsubscribe " + std::to_wstring(id_), hwndParent);
        if (kind_ == Kind::Entry) State().SetSubscribed(id_, false);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP IsSubscribed(LONG* subscribed) override try {
        State().Enter(L"IClientPropertySet.IsSubscribed");
        CheckOut(subscribed);
        if (kind_ == Kind::Channel) {
            ChannelOrFail(id_);
            *subscribed = 1;  // the client holds only subscribed channels
        } else {
            auto e = State().FindEntry(id_);
            if (!e) ThrowHr(E_FAIL);
            *subscribed = e->subscribed ? 1 : 0;
        }
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }

private:
    Kind kind_;
    LONG id_;
};

class StoryObject : public ComObject<StoryObject, Dual<IClientStory>> {
public:
    StoryObject(LONG channel, LONG story) : channel_(channel), story_(story) {}
    STDMETHODIMP Play(LONG hwndParent, LONG) override try {
        State().Enter(L"IClientStory.Play");
        State().Record(L"Play " + std::to_wstring(channel_) + L" " + std::to_wstring(story_), hwndParent);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetId(LONG* id) override try {
        State().Enter(L"IClientStory.GetId");
        CheckOut(id);
        *id = story_;
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }

private:
    LONG channel_, story_;
};

class StoryCollection : public ComObject<StoryCollection, Dual<IStoryCollection>> {
public:
    explicit StoryCollection(LONG channel) : channel_(channel) {}
    STDMETHODIMP Item(VARIANT key, IClientStory** story) override try {
        State().Enter(L"IStoryCollection.Item");
        CheckOut(story);
        *story = nullptr;
        LONG id = KeyAsLong(key);
        Channel c = ChannelOrFail(channel_, true);
        for (const auto& s : c.stories)
            if (s.id == id) {
                Give<StoryObject>(story, channel_, id);
                return S_OK;
            }
        ThrowHr(E_INVALIDARG);
    } catch (...) {
        return CaughtHResult();
    }

private:
    LONG channel_;
};

class ChannelObject : public ComObject<ChannelObject, Dual<IChannelObject>> {
public:
    explicit ChannelObject(LONG id) : id_(id) {}

    STDMETHODIMP GetName(BSTR* name) override try {
        State().Enter(L"IClientChannel.GetName");
        CheckOut(name);
        *name = Bstr(ChannelOrFail(id_).name).Detach();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetId(LONG* id) override try {
        State().Enter(L"IClientChannel.GetId");
        CheckOut(id);
        *id = id_;
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetDirectoryKey(BSTR* key) override try {
        State().Enter(L"IClientChannel.GetDirectoryKey");
        CheckOut(key);
        *key = Bstr(ChannelOrFail(id_).directoryKey).Detach();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetFlags(LONG* flags) override try {
        State().Enter(L"IClientChannel.GetFlags");
        CheckOut(flags);
        *flags = ChannelOrFail(id_).flags;
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetLocalFolder(BSTR* folder) override try {
        State().Enter(L"IClientChannel.GetLocalFolder");
        CheckOut(folder);
        *folder = Bstr(ChannelOrFail(id_).folder).Detach();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Refresh() override try {
        State().Enter(L"IClientChannel.Refresh");
        State().Record(L"Refresh " + std::to_wstring(id_));
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Drop() override try {
        State().Enter(L"IClientChannel.Drop");
        State().Record(L"Drop " + std::to_wstring(id_));
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP ShowSetup(LONG hwndParent) override try {
        State().Enter(L"IClientChannel.ShowSetup");
        std::wstring name = ChannelOrFail(id_).name;
        State().Record(L"ShowSetup " + std::to_wstring(id_), hwndParent);
        State().RunSetupDialog(L"Channel Setup - " + name);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetProperties(IClientPropertySet** properties) override try {
        State().Enter(L"IClientChannel2.GetProperties");
        CheckOut(properties);
        ChannelOrFail(id_);
        Give<PropertySet>(properties, PropertySet::Kind::Channel, id_);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetMode(LONG* mode) override try {
        State().Enter(L"IClientChannel2.GetMode");
        CheckOut(mode);
        *mode = ChannelOrFail(id_).mode;
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetSecurityFlags(LONG* flags) override try {
        State().Enter(L"IClientChannel2.GetSecurityFlags");
        CheckOut(flags);
        *flags = ChannelOrFail(id_).securityFlags;
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetStories(IStoryCollection** stories) override try {
        State().Enter(L"IClientChannel2.GetStories");
        CheckOut(stories);
        ChannelOrFail(id_);
        Give<StoryCollection>(stories, id_);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetStorySnapshot(LONG what, LONG options, VARIANT* snapshot) override try {
        State().Enter(L"IClientChannel2.GetStorySnapshot");
        CheckOut(snapshot);
        VariantInit(snapshot);
        if (what != 1 || options != 1) ThrowHr(E_INVALIDARG);
        // Built straight from the state, without copying the channel: a snapshot of a large
        // channel is one string per property name and value, and no more.
        LARGE_INTEGER frequency, started, ended;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&started);
        std::vector<Variant> outer;
        outer.push_back(Variant::I4(id_));
        bool found = State().ReadChannel(id_, [&](const Channel& c) {
            for (int part = 1; part <= 2; ++part) {
                ULONG n = 0;
                for (const auto& s : c.stories)
                    for (const auto& p : s.properties) n += p.part == part;
                auto idArray = SafeArray::Vector(VT_I4, n);
                auto nameArray = SafeArray::Vector(VT_BSTR, n);
                auto valueArray = SafeArray::Vector(VT_BSTR, n);
                if (n) {
                    SafeArrayData<LONG> ids(idArray.get());
                    SafeArrayData<BSTR> names(nameArray.get()), values(valueArray.get());
                    size_t k = 0;
                    auto text = [](const std::wstring& t) {
                        return ThrowIfNull(SysAllocStringLen(t.data(), static_cast<UINT>(t.size())), E_OUTOFMEMORY);
                    };
                    for (const auto& s : c.stories)
                        for (const auto& p : s.properties)
                            if (p.part == part) {
                                ids[k] = s.id;
                                names[k] = text(p.name);  // the array owns each string
                                values[k] = text(p.value);
                                ++k;
                            }
                }
                std::vector<Variant> inner;
                inner.push_back(ArrayOf(std::move(idArray), VT_I4));
                inner.push_back(ArrayOf(std::move(nameArray), VT_BSTR));
                inner.push_back(ArrayOf(std::move(valueArray), VT_BSTR));
                outer.push_back(ArrayOf(VariantArray(inner), VT_VARIANT));
            }
        });
        if (!found) ThrowHr(E_FAIL);  // the channel was deleted after this object was handed out
        ArrayOf(VariantArray(outer), VT_VARIANT).Detach(snapshot);
        QueryPerformanceCounter(&ended);
        State().SetLastSnapshotTime(1000.0 * static_cast<double>(ended.QuadPart - started.QuadPart) /
                                    static_cast<double>(frequency.QuadPart));
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override {
        if (IsEqualIID(riid, IID_IClientChannel) || IsEqualIID(riid, IID_IClientChannel2))
            return static_cast<IChannelObject*>(this);
        return nullptr;
    }

private:
    LONG id_;
};

class ChannelEnum : public ComObject<ChannelEnum, IEnumVARIANT> {
public:
    ChannelEnum(std::vector<LONG> ids, size_t next) : ids_(std::move(ids)), next_(next) {}

    STDMETHODIMP Next(ULONG count, VARIANT* items, ULONG* fetched) override try {
        if (!items) return E_POINTER;
        ULONG got = 0;
        while (got < count && next_ < ids_.size()) {
            LONG id = ids_[next_++];
            if (!State().FindChannel(id, false)) continue;  // deleted since the enumeration began
            auto ch = MakeObject<ChannelObject>(id);
            VariantInit(&items[got]);
            Variant::Dispatch(static_cast<IDispatch*>(static_cast<IChannelObject*>(ch.Get()))).Detach(&items[got]);
            ++got;
        }
        if (fetched) *fetched = got;
        return got == count ? S_OK : S_FALSE;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Skip(ULONG count) override {
        next_ = std::min<size_t>(ids_.size(), next_ + count);
        return next_ < ids_.size() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        next_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumVARIANT** out) override try {
        CheckOut(out);
        Give<ChannelEnum>(out, ids_, next_);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }

private:
    std::vector<LONG> ids_;
    size_t next_;
};

class ChannelCollection : public ComObject<ChannelCollection, Dual<IChannelCollection>> {
public:
    STDMETHODIMP Item(VARIANT key, IClientChannel** channel) override try {
        State().Enter(L"IChannelCollection.Item");
        CheckOut(channel);
        *channel = nullptr;
        Variant k;
        ThrowIfFailed(VariantCopyInd(k.get(), &key));
        std::optional<Channel> found;
        if (k.vt() == VT_BSTR && SysStringLen(k->bstrVal) >= 2 && k->bstrVal[0] == L'n' && k->bstrVal[1] == L':')
            found = State().FindChannelByName(std::wstring(k->bstrVal + 2, SysStringLen(k->bstrVal) - 2));
        else
            found = State().FindChannel(KeyAsLong(*k.get()), false);
        if (!found) ThrowHr(E_INVALIDARG);
        Give<ChannelObject>(channel, found->id);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP NewEnum(IUnknown** enumerator) override try {
        State().Enter(L"IChannelCollection.NewEnum");
        CheckOut(enumerator);
        Give<ChannelEnum>(enumerator, State().ChannelIds(), size_t{0});
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Advise(LONG mask, IUnknown* sink, LONG* cookie) override try {
        State().Enter(L"IChannelCollection.Advise");
        CheckOut(cookie);
        *cookie = State().Sinks(Source::Channels).Advise(mask, sink);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Unadvise(LONG cookie) override try {
        State().Enter(L"IChannelCollection.Unadvise");
        State().Sinks(Source::Channels).Unadvise(cookie);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
};

class Folders : public ComObject<Folders, Dual<IClientFolders>> {
public:
    STDMETHODIMP GetClientFolder(BSTR* folder) override try {
        State().Enter(L"IClientFolders.GetClientFolder");
        CheckOut(folder);
        *folder = Bstr(State().ClientFolder()).Detach();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
};

class Settings : public ComObject<Settings, Dual<IClientSettings>> {
public:
    STDMETHODIMP GetFolders(IClientFolders** folders) override try {
        State().Enter(L"IClientSettings.GetFolders");
        CheckOut(folders);
        Give<Folders>(folders);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Advise(LONG mask, IUnknown* sink, LONG* cookie) override try {
        State().Enter(L"IClientSettings.Advise");
        CheckOut(cookie);
        *cookie = State().Sinks(Source::Settings).Advise(mask, sink);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Unadvise(LONG cookie) override try {
        State().Enter(L"IClientSettings.Unadvise");
        State().Sinks(Source::Settings).Unadvise(cookie);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP ShowGlobalSetup(LONG hwndParent) override try {
        State().Enter(L"IClientSettings.ShowGlobalSetup");
        State().Record(L"ShowGlobalSetup", hwndParent);
        State().RunSetupDialog(L"Korvane Setup");
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
};

class PathResolver : public ComObject<PathResolver, Dual<IClientPathResolver>> {
public:
    STDMETHODIMP ResolveLocalPath(BSTR text, LONG, BSTR* path) override try {
        State().Enter(L"IClientPathResolver.ResolveLocalPath");
        CheckOut(path);
        *path = nullptr;
        auto mapped = State().ResolvePath(std::wstring(text ? text : L"", SysStringLen(text)));
        if (!mapped) return S_FALSE;
        *path = Bstr(*mapped).Detach();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
};

class DirectoryEntries : public ComObject<DirectoryEntries, Dual<IDirectoryEntries>> {
public:
    STDMETHODIMP Item(VARIANT key, IClientPropertySet** entry) override try {
        State().Enter(L"IDirectoryEntries.Item");
        CheckOut(entry);
        *entry = nullptr;
        LONG id = KeyAsLong(key);
        if (!State().FindEntry(id)) ThrowHr(E_INVALIDARG);
        Give<PropertySet>(entry, PropertySet::Kind::Entry, id);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Advise(LONG mask, IUnknown* sink, LONG* cookie) override try {
        State().Enter(L"IDirectoryEntries.Advise");
        CheckOut(cookie);
        *cookie = State().Sinks(Source::Entries).Advise(mask, sink);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Unadvise(LONG cookie) override try {
        State().Enter(L"IDirectoryEntries.Unadvise");
        State().Sinks(Source::Entries).Unadvise(cookie);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
};

class Directory : public ComObject<Directory, Dual<IClientDirectory>> {
public:
    STDMETHODIMP GetEntries(IDirectoryEntries** entries) override try {
        State().Enter(L"IClientDirectory.GetEntries");
        CheckOut(entries);
        Give<DirectoryEntries>(entries);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Query(LONG what, LONG options, VARIANT* result) override try {
        State().Enter(L"IClientDirectory.Query");
        CheckOut(result);
        VariantInit(result);
        auto entries = State().Entries();
        if (what == 1 && options == 2) {
            std::vector<LONG> ids;
            for (const auto& e : entries)
                if (e.subscribed) ids.push_back(e.id);
            ArrayOf(LongArray(ids), VT_I4).Detach(result);
        } else if (what == 3 && options == 1) {
            std::vector<Variant> items;
            LONG count = 0;
            for (const auto& e : entries) items.push_back(ValuesShape(e.fields, &count));
            ArrayOf(VariantArray(items), VT_VARIANT).Detach(result);
        } else {
            ThrowHr(E_INVALIDARG);
        }
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
};

template <class I, Source S>
class EventSource : public ComObject<EventSource<I, S>, Dual<I>> {
public:
    STDMETHODIMP Advise(LONG mask, IUnknown* sink, LONG* cookie) override try {
        State().Enter(S == Source::Stories ? L"IStorySource.Advise" : L"IParcelSource.Advise");
        CheckOut(cookie);
        *cookie = State().Sinks(S).Advise(mask, sink);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Unadvise(LONG cookie) override try {
        State().Enter(S == Source::Stories ? L"IStorySource.Unadvise" : L"IParcelSource.Unadvise");
        State().Sinks(S).Unadvise(cookie);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
};
using StorySource = EventSource<IStorySource, Source::Stories>;
using ParcelSource = EventSource<IParcelSource, Source::Parcels>;

class Parcel : public ComObject<Parcel, Dual<IClientParcel>> {
public:
    Parcel(LONG channel, std::wstring folder, std::wstring description)
        : channel_(channel), folder_(std::move(folder)), description_(std::move(description)) {}
    STDMETHODIMP GetChannel(IClientChannel** channel) override try {
        State().Enter(L"IClientParcel.GetChannel");
        CheckOut(channel);
        *channel = nullptr;
        ChannelOrFail(channel_);
        Give<ChannelObject>(channel, channel_);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetFolder(BSTR* folder) override try {
        State().Enter(L"IClientParcel.GetFolder");
        CheckOut(folder);
        *folder = Bstr(folder_).Detach();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetDescriptionFile(BSTR* path) override try {
        State().Enter(L"IClientParcel.GetDescriptionFile");
        CheckOut(path);
        *path = Bstr(description_).Detach();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }

private:
    LONG channel_;
    std::wstring folder_, description_;
};

// ---------------------------------------------------------------------------------------------

template <class I>
I* As(IUnknown* sink) noexcept {
    return reinterpret_cast<I*>(sink);  // the sink list hands out the sink interface itself
}

ComPtr<IDispatch> ChannelDispatch(LONG id) {
    ChannelOrFail(id);
    auto ch = MakeObject<ChannelObject>(id);
    return ComPtr<IDispatch>(static_cast<IDispatch*>(static_cast<IChannelObject*>(ch.Get())));
}

class Application
    : public ComObject<Application, Dual<IClientApp2>, Dual<IClientUi>, IClientControl> {
public:
    // IClientApp
    STDMETHODIMP GetChannels(IChannelCollection** channels) override try {
        State().Enter(L"IClientApp.GetChannels");
        CheckOut(channels);
        Give<ChannelCollection>(channels);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetParcelSource(IParcelSource** source) override try {
        State().Enter(L"IClientApp.GetParcelSource");
        CheckOut(source);
        Give<ParcelSource>(source);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetSettings(IClientSettings** settings) override try {
        State().Enter(L"IClientApp.GetSettings");
        CheckOut(settings);
        Give<Settings>(settings);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Advise(LONG mask, IUnknown* sink, LONG* cookie) override try {
        State().Enter(L"IClientApp.Advise");
        CheckOut(cookie);
        *cookie = State().Sinks(Source::App).Advise(mask, sink);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Unadvise(LONG cookie) override try {
        State().Enter(L"IClientApp.Unadvise");
        State().Sinks(Source::App).Unadvise(cookie);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    // IClientApp2
    STDMETHODIMP GetDirectory(IClientDirectory** directory) override try {
        State().Enter(L"IClientApp2.GetDirectory");
        CheckOut(directory);
        Give<Directory>(directory);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetPathResolver(IClientPathResolver** resolver) override try {
        State().Enter(L"IClientApp2.GetPathResolver");
        CheckOut(resolver);
        Give<PathResolver>(resolver);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetStorySource(IStorySource** source) override try {
        State().Enter(L"IClientApp2.GetStorySource");
        CheckOut(source);
        Give<StorySource>(source);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    // IClientUi
    STDMETHODIMP OpenClientWindow(LONG view) override try {
        State().Enter(L"IClientUi.OpenClientWindow");
        State().Record(L"OpenClientWindow " + std::to_wstring(view));
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }

    // IClientControl: state
    STDMETHODIMP Clear() override try {
        State().Clear();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP LoadState(BSTR folder) override try {
        State().LoadFolder(Text(folder));
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP SetClientFolder(BSTR folder) override try {
        State().SetClientFolder(Text(folder));
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP PutChannel(LONG id, BSTR name, BSTR localFolder, LONG flags, LONG mode, LONG securityFlags,
                            BSTR directoryKey) override try {
        Channel c;
        c.id = id;
        c.name = Text(name);
        c.folder = Text(localFolder);
        c.flags = flags;
        c.mode = mode;
        c.securityFlags = securityFlags;
        c.directoryKey = Text(directoryKey);
        State().PutChannel(c);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP DeleteChannel(LONG id) override try {
        State().DeleteChannel(id);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP SetChannelProperty(LONG channelId, LONG propertyId, VARIANT value) override try {
        State().SetChannelProperty(channelId, propertyId, value);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP SetStoryProperty(LONG channelId, LONG storyId, BSTR name, BSTR value, LONG part) override try {
        State().SetStoryProperty(channelId, storyId, Text(name), Text(value), part);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP DeleteStory(LONG channelId, LONG storyId) override try {
        State().DeleteStory(channelId, storyId);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP SetEntryField(LONG entryId, LONG fieldId, VARIANT value) override try {
        State().SetEntryField(entryId, fieldId, value);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP SetSubscribed(LONG entryId, LONG subscribed) override try {
        State().SetSubscribed(entryId, subscribed != 0);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP DeleteEntry(LONG entryId) override try {
        State().DeleteEntry(entryId);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP MapPath(BSTR text, BSTR path) override try {
        State().MapPath(Text(text), Text(path));
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }

    // IClientControl: events
    STDMETHODIMP FireClientShutdown(LONG* delivered) override {
        return Fire(Source::App, delivered, [](IUnknown* s) { return As<IClientAppEvents>(s)->OnClientShutdown(); });
    }
    STDMETHODIMP FireSettingsChanged(LONG flags, LONG* delivered) override {
        return Fire(Source::Settings, delivered,
                    [&](IUnknown* s) { return As<ISettingsEvents>(s)->OnSettingsChanged(flags); });
    }
    STDMETHODIMP FireChannelAdded(LONG channelId, LONG* delivered) override try {
        auto ch = ChannelDispatch(channelId);
        return Fire(Source::Channels, delivered,
                    [&](IUnknown* s) { return As<IChannelEvents>(s)->OnChannelAdded(ch.Get()); });
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP FireChannelDeleted(LONG channelId, LONG* delivered) override {
        return Fire(Source::Channels, delivered,
                    [&](IUnknown* s) { return As<IChannelEvents>(s)->OnChannelDeleted(channelId); });
    }
    STDMETHODIMP FireChannelChanged(LONG channelId, LONG flags, LONG* delivered) override try {
        auto ch = ChannelDispatch(channelId);
        return Fire(Source::Channels, delivered,
                    [&](IUnknown* s) { return As<IChannelEvents>(s)->OnChannelChanged(ch.Get(), flags); });
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP FireStoriesAdded(LONG channelId, VARIANT storyIds, LONG* delivered) override {
        return Fire(Source::Stories, delivered,
                    [&](IUnknown* s) { return As<IStoryEvents>(s)->OnStoriesAdded(channelId, storyIds); });
    }
    STDMETHODIMP FireStoriesDeleted(LONG channelId, VARIANT storyIds, LONG* delivered) override {
        return Fire(Source::Stories, delivered,
                    [&](IUnknown* s) { return As<IStoryEvents>(s)->OnStoriesDeleted(channelId, storyIds); });
    }
    STDMETHODIMP FireStoriesChanged(LONG channelId, VARIANT storyIds, LONG flags, LONG* delivered) override {
        return Fire(Source::Stories, delivered, [&](IUnknown* s) {
            return As<IStoryEvents>(s)->OnStoriesChanged(channelId, storyIds, flags);
        });
    }
    STDMETHODIMP FireEntryChanged(LONG entryId, LONG* delivered) override {
        return Fire(Source::Entries, delivered,
                    [&](IUnknown* s) { return As<IDirectoryEvents>(s)->OnEntryChanged(entryId); });
    }
    STDMETHODIMP FireEntryDeleted(LONG entryId, LONG* delivered) override {
        return Fire(Source::Entries, delivered,
                    [&](IUnknown* s) { return As<IDirectoryEvents>(s)->OnEntryDeleted(entryId); });
    }
    STDMETHODIMP FireEntryEvent(LONG entryId, LONG flags, LONG* delivered) override {
        return Fire(Source::Entries, delivered,
                    [&](IUnknown* s) { return As<IDirectoryEvents>(s)->OnEntryEvent(entryId, flags); });
    }
    STDMETHODIMP FireParcelDelivered(LONG channelId, BSTR folder, BSTR descriptionFile, LONG* delivered) override try {
        ChannelOrFail(channelId);
        auto parcel = MakeObject<Parcel>(channelId, Text(folder), Text(descriptionFile));
        ComPtr<IDispatch> disp(static_cast<IDispatch*>(static_cast<IClientParcel*>(parcel.Get())));
        return Fire(Source::Parcels, delivered,
                    [&](IUnknown* s) { return As<IParcelEvents>(s)->OnParcelDelivered(disp.Get()); });
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP FireChannelResync(LONG channelId, LONG reason, LONG* delivered) override {
        return Fire(Source::Parcels, delivered,
                    [&](IUnknown* s) { return As<IParcelEvents>(s)->OnChannelResync(channelId, reason); });
    }
    STDMETHODIMP FireTransferStatus(LONG channelId, LONG status, LONG* delivered) override {
        return Fire(Source::Parcels, delivered,
                    [&](IUnknown* s) { return As<IParcelEvents>(s)->OnTransferStatus(channelId, status); });
    }
    STDMETHODIMP SinkCount(BSTR source, LONG* lastMask, LONG* count) override try {
        CheckOut(lastMask);
        CheckOut(count);
        static const wchar_t* const kNames[] = {L"app", L"settings", L"channels", L"stories", L"entries", L"parcels"};
        std::wstring name = Text(source);
        for (int i = 0; i < static_cast<int>(Source::Count); ++i)
            if (name == kNames[i]) {
                SinkList& list = State().Sinks(static_cast<Source>(i));
                *count = list.Count();
                *lastMask = list.LastMask();
                return S_OK;
            }
        ThrowHr(E_INVALIDARG);
    } catch (...) {
        return CaughtHResult();
    }

    // IClientControl: failures, calls, dialogs
    STDMETHODIMP FailCall(BSTR method, LONG nth, LONG hr) override try {
        State().FailCall(Text(method), nth, static_cast<HRESULT>(hr));
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP ClearFailures() override try {
        State().ClearFailures();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP GetCalls(VARIANT* parentWindows, VARIANT* calls) override try {
        CheckOut(parentWindows);
        CheckOut(calls);
        VariantInit(parentWindows);
        VariantInit(calls);
        auto recorded = State().Calls();
        std::vector<Variant> texts;
        std::vector<LONG> windows;
        for (const auto& c : recorded) {
            texts.push_back(Variant::String(c.text));
            windows.push_back(c.parentWindow);
        }
        ArrayOf(LongArray(windows), VT_I4).Detach(parentWindows);
        ArrayOf(VariantArray(texts), VT_VARIANT).Detach(calls);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP ClearCalls() override try {
        State().ClearCalls();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP OpenDialogCount(LONG* count) override try {
        CheckOut(count);
        *count = State().OpenDialogCount();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP CloseDialogs() override try {
        State().CloseDialogs();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP LastSnapshotTime(double* ms) override try {
        CheckOut(ms);
        *ms = State().LastSnapshotTime();
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override {
        if (IsEqualIID(riid, IID_IClientApp)) return static_cast<IClientApp2*>(this);
        return nullptr;
    }

private:
    static std::wstring Text(BSTR b) { return std::wstring(b ? b : L"", SysStringLen(b)); }

    template <class F>
    static HRESULT Fire(Source source, LONG* delivered, F event) noexcept try {
        CheckOut(delivered);
        *delivered = State().Sinks(source).Fire(event);
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
};

}  // namespace

HRESULT CreateClientApplication(REFIID riid, void** ppv) noexcept {
    return CreateObject<Application>(riid, ppv);
}

}  // namespace kv::standin

namespace kv::standin {

HRESULT RegisterControlTypeLib(HINSTANCE module, bool registering) noexcept try {
    std::wstring path = ModulePath(module) + L"\\2";
    ComPtr<ITypeLib> lib;
    ThrowIfFailed(LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib.GetAddressOf()));
    if (!registering) {
        TLIBATTR* attr = nullptr;
        ThrowIfFailed(lib->GetLibAttr(&attr));
        HRESULT hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
        lib->ReleaseTLibAttr(attr);
        return hr;
    }
    return RegisterTypeLib(lib.Get(), path.data(), nullptr);
} catch (...) {
    return CaughtHResult();
}

}  // namespace kv::standin
