#include "standins/client/client_state.h"

#include <algorithm>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/text.h"
#include "korvane_client.h"

namespace kv::standin {
namespace {

std::wstring Trim(std::wstring_view s) {
    size_t b = 0, e = s.size();
    while (b < e && iswspace(s[b])) ++b;
    while (e > b && iswspace(s[e - 1])) --e;
    return std::wstring(s.substr(b, e - b));
}

std::vector<std::wstring> Words(const std::wstring& s) {
    std::wistringstream in(s);
    return {std::istream_iterator<std::wstring, wchar_t>(in), std::istream_iterator<std::wstring, wchar_t>()};
}

LONG ParseLong(const std::wstring& s) {
    // Decimal, or hexadecimal after 0x; a leading zero does not make a number octal.
    bool negative = !s.empty() && s[0] == L'-';
    std::wstring digits = negative ? s.substr(1) : s;
    int base = 10;
    if (digits.size() > 2 && digits[0] == L'0' && (digits[1] == L'x' || digits[1] == L'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    if (digits.empty() || !iswxdigit(digits[0])) ThrowHr(E_INVALIDARG);
    size_t used = 0;
    long long v = 0;
    try {
        v = std::stoll(digits, &used, base);
    } catch (...) {
        ThrowHr(E_INVALIDARG);
    }
    if (used != digits.size()) ThrowHr(E_INVALIDARG);
    if (negative) v = -v;
    if (v < -2147483648LL || v > 4294967295LL) ThrowHr(E_INVALIDARG);
    return static_cast<LONG>(static_cast<unsigned long long>(v) & 0xFFFFFFFFu);
}

// A modal dialog template: a caption and an OK button, built in memory.
std::vector<WORD> SetupTemplate(const std::wstring& caption) {
    std::vector<WORD> t;
    auto dword = [&](DWORD d) {
        t.push_back(LOWORD(d));
        t.push_back(HIWORD(d));
    };
    auto text = [&](std::wstring_view s) {
        t.insert(t.end(), s.begin(), s.end());
        t.push_back(0);
    };
    dword(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU);
    dword(0);
    t.push_back(1);  // one control
    t.push_back(10);
    t.push_back(10);
    t.push_back(200);
    t.push_back(60);
    t.push_back(0);  // no menu
    t.push_back(0);  // default class
    text(caption);
    if (t.size() % 2) t.push_back(0);  // DWORD alignment of the item (WORD count even)
    dword(WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON);
    dword(0);
    t.push_back(75);
    t.push_back(40);
    t.push_back(50);
    t.push_back(14);
    t.push_back(IDOK);
    t.push_back(0xFFFF);
    t.push_back(0x0080);  // button
    text(L"OK");
    t.push_back(0);  // no creation data
    return t;
}

INT_PTR CALLBACK SetupDialogProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
    switch (msg) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
            DestroyWindow(dlg);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        DestroyWindow(dlg);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

Variant ParseStateValue(const std::wstring& raw) {
    std::wstring s = Trim(raw);
    if (s.size() >= 2 && s.front() == L'"' && s.back() == L'"') return Variant::String(s.substr(1, s.size() - 2));
    try {
        return Variant::I4(ParseLong(s));
    } catch (const HResultError&) {
        return Variant::String(s);
    }
}

ClientState& ClientState::Get() {
    static ClientState* state = new ClientState();  // lives until the process ends
    return *state;
}

ClientState::ClientState() {
    Sinks(Source::App).SetInterface(IID_IClientAppEvents);
    Sinks(Source::Settings).SetInterface(IID_ISettingsEvents);
    Sinks(Source::Channels).SetInterface(IID_IChannelEvents);
    Sinks(Source::Stories).SetInterface(IID_IStoryEvents);
    Sinks(Source::Entries).SetInterface(IID_IDirectoryEvents);
    Sinks(Source::Parcels).SetInterface(IID_IParcelEvents);
}

void ClientState::Clear() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        clientFolder_.clear();
        channels_.clear();
        entries_.clear();
        paths_.clear();
        failures_.clear();
        calls_.clear();
    }
}

void ClientState::LoadFolder(const std::wstring& folder) {
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path += L'\\';
    path += StateFileName;
    UniqueHandleObj file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) ThrowLastError();
    std::string bytes;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buf, sizeof buf, &got, nullptr) && got > 0) bytes.append(buf, got);
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    LoadText(ToWide(bytes, CP_UTF8));
}

void ClientState::LoadText(const std::wstring& text) {
    std::wstring folder;
    std::vector<Channel> channels;
    std::vector<DirectoryEntry> entries;
    std::map<std::wstring, std::wstring> paths;

    enum class Section { None, Client, Channel, Story, Entry, Paths } section = Section::None;
    Channel* channel = nullptr;
    LONG storyChannel = 0, storyId = 0;
    int storyPart = 1;
    DirectoryEntry* entry = nullptr;

    auto findChannel = [&](LONG id) -> Channel& {
        for (auto& c : channels)
            if (c.id == id) return c;
        ThrowHr(E_INVALIDARG);
    };

    std::wistringstream lines(text);
    std::wstring line;
    while (std::getline(lines, line)) {
        std::wstring s = Trim(line);
        if (s.empty() || s[0] == L'#' || s[0] == L';') continue;
        if (s.front() == L'[') {
            if (s.back() != L']') ThrowHr(E_INVALIDARG);
            auto w = Words(s.substr(1, s.size() - 2));
            if (w.empty()) ThrowHr(E_INVALIDARG);
            if (w[0] == L"client" && w.size() == 1) {
                section = Section::Client;
            } else if (w[0] == L"channel" && w.size() == 2) {
                channels.push_back({});
                channel = &channels.back();
                channel->id = ParseLong(w[1]);
                section = Section::Channel;
            } else if ((w[0] == L"story" || w[0] == L"story-base") && w.size() == 3) {
                storyChannel = ParseLong(w[1]);
                storyId = ParseLong(w[2]);
                storyPart = w[0] == L"story" ? 1 : 2;
                Channel& c = findChannel(storyChannel);
                if (std::none_of(c.stories.begin(), c.stories.end(), [&](const Story& st) { return st.id == storyId; }))
                    c.stories.push_back({storyId, {}});
                section = Section::Story;
            } else if (w[0] == L"entry" && w.size() == 2) {
                entries.push_back({});
                entry = &entries.back();
                entry->id = ParseLong(w[1]);
                entry->fields[0] = Variant::I4(entry->id);
                section = Section::Entry;
            } else if (w[0] == L"paths" && w.size() == 1) {
                section = Section::Paths;
            } else {
                ThrowHr(E_INVALIDARG);
            }
            continue;
        }
        size_t eq = s.find(L'=');
        if (eq == std::wstring::npos) ThrowHr(E_INVALIDARG);
        std::wstring key = Trim(s.substr(0, eq));
        std::wstring value = Trim(s.substr(eq + 1));
        auto kw = Words(key);
        switch (section) {
        case Section::Client:
            if (key != L"folder") ThrowHr(E_INVALIDARG);
            folder = value;
            break;
        case Section::Channel:
            if (key == L"name") channel->name = value;
            else if (key == L"folder") channel->folder = value;
            else if (key == L"key") channel->directoryKey = value;
            else if (key == L"flags") channel->flags = ParseLong(value);
            else if (key == L"mode") channel->mode = ParseLong(value);
            else if (key == L"security") channel->securityFlags = ParseLong(value);
            else if (kw.size() == 2 && kw[0] == L"property") channel->properties[ParseLong(kw[1])] = ParseStateValue(value);
            else ThrowHr(E_INVALIDARG);
            break;
        case Section::Story: {
            Channel& c = findChannel(storyChannel);
            for (auto& st : c.stories)
                if (st.id == storyId) st.properties.push_back({key, value, storyPart});
            break;
        }
        case Section::Entry:
            if (key == L"subscribed") entry->subscribed = ParseLong(value) != 0;
            else if (kw.size() == 2 && kw[0] == L"field" && ParseLong(kw[1]) != 0)
                entry->fields[ParseLong(kw[1])] = ParseStateValue(value);
            else ThrowHr(E_INVALIDARG);
            break;
        case Section::Paths:
            paths[key] = value;
            break;
        case Section::None:
            ThrowHr(E_INVALIDARG);
        }
    }

    std::lock_guard<std::mutex> hold(lock_);
    clientFolder_ = std::move(folder);
    channels_ = std::move(channels);
    entries_ = std::move(entries);
    paths_ = std::move(paths);
}

void ClientState::SetClientFolder(std::wstring folder) {
    std::lock_guard<std::mutex> hold(lock_);
    clientFolder_ = std::move(folder);
}

std::wstring ClientState::ClientFolder() {
    std::lock_guard<std::mutex> hold(lock_);
    return clientFolder_;
}

Channel* ClientState::ChannelLocked(LONG id) {
    for (auto& c : channels_)
        if (c.id == id) return &c;
    return nullptr;
}

DirectoryEntry& ClientState::EntryLocked(LONG id) {
    for (auto& e : entries_)
        if (e.id == id) return e;
    entries_.push_back({});
    entries_.back().id = id;
    entries_.back().fields[0] = Variant::I4(id);
    return entries_.back();
}

void ClientState::PutChannel(const Channel& fields) {
    std::lock_guard<std::mutex> hold(lock_);
    Channel* c = ChannelLocked(fields.id);
    if (!c) {
        channels_.push_back({});
        c = &channels_.back();
        c->id = fields.id;
    }
    c->name = fields.name;
    c->folder = fields.folder;
    c->directoryKey = fields.directoryKey;
    c->flags = fields.flags;
    c->mode = fields.mode;
    c->securityFlags = fields.securityFlags;
}

void ClientState::DeleteChannel(LONG id) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = std::find_if(channels_.begin(), channels_.end(), [&](const Channel& c) { return c.id == id; });
    if (it == channels_.end()) ThrowHr(E_INVALIDARG);
    channels_.erase(it);
}

void ClientState::SetChannelProperty(LONG channel, LONG property, const VARIANT& value) {
    std::lock_guard<std::mutex> hold(lock_);
    Channel* c = ChannelLocked(channel);
    if (!c) ThrowHr(E_INVALIDARG);
    if (value.vt == VT_EMPTY)
        c->properties.erase(property);
    else
        c->properties[property] = Variant(value);
}

void ClientState::SetStoryProperty(LONG channel, LONG story, const std::wstring& name, const std::wstring& value,
                                   int part) {
    if (part != 1 && part != 2) ThrowHr(E_INVALIDARG);
    std::lock_guard<std::mutex> hold(lock_);
    Channel* c = ChannelLocked(channel);
    if (!c) ThrowHr(E_INVALIDARG);
    // Stories are usually built one after another: the last one first keeps that linear.
    auto st = !c->stories.empty() && c->stories.back().id == story
                  ? c->stories.end() - 1
                  : std::find_if(c->stories.begin(), c->stories.end(), [&](const Story& s) { return s.id == story; });
    if (st == c->stories.end()) {
        c->stories.push_back({story, {}});
        st = c->stories.end() - 1;
    }
    for (auto& p : st->properties)
        if (p.name == name) {
            p.value = value;
            p.part = part;
            return;
        }
    st->properties.push_back({name, value, part});
}

void ClientState::DeleteStory(LONG channel, LONG story) {
    std::lock_guard<std::mutex> hold(lock_);
    Channel* c = ChannelLocked(channel);
    if (!c) ThrowHr(E_INVALIDARG);
    auto st = std::find_if(c->stories.begin(), c->stories.end(), [&](const Story& s) { return s.id == story; });
    if (st == c->stories.end()) ThrowHr(E_INVALIDARG);
    c->stories.erase(st);
}

void ClientState::SetEntryField(LONG entry, LONG field, const VARIANT& value) {
    if (field == 0) ThrowHr(E_INVALIDARG);  // the id field follows the entry id
    std::lock_guard<std::mutex> hold(lock_);
    DirectoryEntry& e = EntryLocked(entry);
    if (value.vt == VT_EMPTY)
        e.fields.erase(field);
    else
        e.fields[field] = Variant(value);
}

void ClientState::SetSubscribed(LONG entry, bool subscribed) {
    std::lock_guard<std::mutex> hold(lock_);
    EntryLocked(entry).subscribed = subscribed;
}

void ClientState::DeleteEntry(LONG entry) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const DirectoryEntry& e) { return e.id == entry; });
    if (it == entries_.end()) ThrowHr(E_INVALIDARG);
    entries_.erase(it);
}

void ClientState::MapPath(const std::wstring& text, const std::wstring& path) {
    std::lock_guard<std::mutex> hold(lock_);
    if (path.empty())
        paths_.erase(text);
    else
        paths_[text] = path;
}

std::vector<LONG> ClientState::ChannelIds() {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<LONG> ids;
    for (const auto& c : channels_) ids.push_back(c.id);
    return ids;
}

std::optional<Channel> ClientState::FindChannel(LONG id, bool withStories) {
    std::lock_guard<std::mutex> hold(lock_);
    Channel* c = ChannelLocked(id);
    if (!c) return std::nullopt;
    if (withStories) return *c;
    std::optional<Channel> copy(std::in_place);
    std::vector<Story> stories = std::move(c->stories);
    try {
        *copy = *c;
    } catch (...) {
        c->stories = std::move(stories);
        throw;
    }
    c->stories = std::move(stories);
    return copy;
}

std::optional<Channel> ClientState::FindChannelByName(const std::wstring& name) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& c : channels_)
        if (EqualsNoCase(c.name, name)) return c;
    return std::nullopt;
}

std::vector<DirectoryEntry> ClientState::Entries() {
    std::lock_guard<std::mutex> hold(lock_);
    return entries_;
}

std::optional<DirectoryEntry> ClientState::FindEntry(LONG id) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& e : entries_)
        if (e.id == id) return e;
    return std::nullopt;
}

std::optional<std::wstring> ClientState::ResolvePath(const std::wstring& text) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = paths_.find(text);
    if (it == paths_.end()) return std::nullopt;
    return it->second;
}

void ClientState::Enter(const wchar_t* method) {
    std::wstring_view full(method);
    std::wstring_view bare = full.substr(full.find(L'.') + 1);
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
        if (it->method != full && it->method != bare) continue;
        HRESULT hr = it->hr;
        if (it->remaining == 0) ThrowHr(hr);
        if (--it->remaining == 0) {
            failures_.erase(it);
            ThrowHr(hr);
        }
        return;
    }
}

void ClientState::FailCall(std::wstring method, LONG nth, HRESULT hr) {
    if (nth < 0 || SUCCEEDED(hr) || method.empty()) ThrowHr(E_INVALIDARG);
    std::lock_guard<std::mutex> hold(lock_);
    failures_.push_back({std::move(method), nth, hr});
}

void ClientState::ClearFailures() {
    std::lock_guard<std::mutex> hold(lock_);
    failures_.clear();
}

void ClientState::Record(std::wstring text, LONG parentWindow) {
    std::lock_guard<std::mutex> hold(lock_);
    calls_.push_back({std::move(text), parentWindow});
}

std::vector<RecordedCall> ClientState::Calls() {
    std::lock_guard<std::mutex> hold(lock_);
    return calls_;
}

void ClientState::ClearCalls() {
    std::lock_guard<std::mutex> hold(lock_);
    calls_.clear();
}

void ClientState::RunSetupDialog(const std::wstring& caption) {
    auto tmpl = SetupTemplate(caption);
    // The dialog has no owner: an owner on another thread or process would tie the two input
    // queues together, and the caller's thread is waiting for this call.
    HWND dlg = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), reinterpret_cast<LPCDLGTEMPLATEW>(tmpl.data()),
                                          nullptr, &SetupDialogProc, 0);
    if (!dlg) ThrowLastError();
    {
        std::lock_guard<std::mutex> hold(lock_);
        dialogs_.push_back(dlg);
    }
    // A modal loop of our own: it runs until the dialog is destroyed (OK, Cancel, WM_CLOSE) and
    // keeps serving other calls into this thread meanwhile.
    MSG msg;
    while (IsWindow(dlg)) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (got < 0) break;
        if (!IsDialogMessageW(dlg, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (IsWindow(dlg)) DestroyWindow(dlg);
    std::lock_guard<std::mutex> hold(lock_);
    dialogs_.erase(std::remove(dialogs_.begin(), dialogs_.end(), dlg), dialogs_.end());
}

long ClientState::OpenDialogCount() {
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<long>(dialogs_.size());
}

void ClientState::CloseDialogs() {
    std::vector<HWND> open;
    {
        std::lock_guard<std::mutex> hold(lock_);
        open = dialogs_;
    }
    for (HWND d : open) PostMessageW(d, WM_COMMAND, IDOK, 0);
}

}  // namespace kv::standin
