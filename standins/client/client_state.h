// The client stand-in's state: channels with their properties and stories, the channel
// directory, the path map, the client folder; plus what tests arm and read back (failures of
// named calls, the record of calls whose effect is the client's own, the open setup dialogs)
// and the sink lists of the six event sources.
//
// One instance per process (`ClientState::Get()`), shared by every application object. Every
// member is safe to call from any thread; the objects copy what they need out under the lock.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/raii.h"
#include "standins/client/sink_list.h"

namespace kv::standin {

struct StoryProperty {
    std::wstring name;
    std::wstring value;
    int part = 1;  // the snapshot element it is delivered in (1 or 2)
};

struct Story {
    LONG id = 0;
    std::vector<StoryProperty> properties;  // in the order first set
};

struct Channel {
    LONG id = 0;
    std::wstring name;
    std::wstring folder;
    std::wstring directoryKey;
    LONG flags = 0;
    LONG mode = 0;
    LONG securityFlags = 0;
    std::map<LONG, Variant> properties;
    std::vector<Story> stories;  // in the order added
};

struct DirectoryEntry {
    LONG id = 0;
    std::map<LONG, Variant> fields;  // field 0, the entry id, is kept in step with `id`
    bool subscribed = false;
};

struct RecordedCall {
    std::wstring text;
    LONG parentWindow = 0;
};

// Which sink list an event source keeps.
enum class Source { App, Settings, Channels, Stories, Entries, Parcels, Count };

class ClientState {
public:
    static ClientState& Get();

    // --- state ---------------------------------------------------------------------------
    void Clear();
    // Replaces the state with the file `StateFileName` of `folder`; throws on a missing file
    // (HRESULT of the open) or a malformed line (E_INVALIDARG, nothing replaced).
    void LoadFolder(const std::wstring& folder);
    // Parses the state file's text into a fresh state and installs it (the same rules).
    void LoadText(const std::wstring& text);
    static constexpr const wchar_t* StateFileName = L"client-state.txt";

    void SetClientFolder(std::wstring folder);
    std::wstring ClientFolder();

    void PutChannel(const Channel& fields);
    void DeleteChannel(LONG id);
    void SetChannelProperty(LONG channel, LONG property, const VARIANT& value);
    void SetStoryProperty(LONG channel, LONG story, const std::wstring& name, const std::wstring& value,
                          int part);
    void DeleteStory(LONG channel, LONG story);
    void SetEntryField(LONG entry, LONG field, const VARIANT& value);
    void SetSubscribed(LONG entry, bool subscribed);
    void DeleteEntry(LONG entry);
    void MapPath(const std::wstring& text, const std::wstring& path);

    // Copies for the automation objects. A missing channel or entry gives nullopt.
    std::vector<LONG> ChannelIds();
    // A copy of the channel; its stories only when asked for (large channels copy slowly).
    std::optional<Channel> FindChannel(LONG id, bool withStories = true);
    std::optional<Channel> FindChannelByName(const std::wstring& name);
    // Calls `read(const Channel&)` under the lock, without copying the channel; false when it is
    // missing. `read` must not call back into the state.
    template <class Read>
    bool ReadChannel(LONG id, Read&& read) {
        std::lock_guard<std::mutex> hold(lock_);
        const Channel* c = ChannelLocked(id);
        if (!c) return false;
        read(*c);
        return true;
    }
    std::vector<DirectoryEntry> Entries();
    std::optional<DirectoryEntry> FindEntry(LONG id);
    std::optional<std::wstring> ResolvePath(const std::wstring& text);

    // --- failures and calls --------------------------------------------------------------
    // Called first by every client method, named "Interface.Method": throws the armed failure.
    void Enter(const wchar_t* method);
    void FailCall(std::wstring method, LONG nth, HRESULT hr);
    void ClearFailures();
    void Record(std::wstring text, LONG parentWindow = 0);
    std::vector<RecordedCall> Calls();
    void ClearCalls();

    // --- setup dialogs -------------------------------------------------------------------
    // Runs a modal setup dialog with this caption until it is closed (by CloseDialogs, by a
    // click on OK or Cancel, or by WM_CLOSE). Counts as open in between.
    void RunSetupDialog(const std::wstring& caption);
    long OpenDialogCount();
    void CloseDialogs();

    // --- timing --------------------------------------------------------------------------
    // Milliseconds the latest story snapshot took to make.
    void SetLastSnapshotTime(double ms) noexcept { lastSnapshotMs_ = ms; }
    double LastSnapshotTime() const noexcept { return lastSnapshotMs_; }

    SinkList& Sinks(Source source) { return sinks_[static_cast<int>(source)]; }

private:
    ClientState();

    struct Failure {
        std::wstring method;
        LONG remaining;  // calls until the failing one; 0: every call
        HRESULT hr;
    };

    Channel* ChannelLocked(LONG id);
    DirectoryEntry& EntryLocked(LONG id);

    std::mutex lock_;
    std::wstring clientFolder_;
    std::vector<Channel> channels_;  // in the client's order
    std::vector<DirectoryEntry> entries_;
    std::map<std::wstring, std::wstring> paths_;
    std::vector<Failure> failures_;
    std::vector<RecordedCall> calls_;
    std::vector<HWND> dialogs_;
    SinkList sinks_[static_cast<int>(Source::Count)];
    std::atomic<double> lastSnapshotMs_{0};
};

// The state file's value syntax: an integer (decimal, or hexadecimal after 0x) becomes VT_I4,
// a text in double quotes the text inside them, anything else the text itself.
Variant ParseStateValue(const std::wstring& text);

}  // namespace kv::standin
