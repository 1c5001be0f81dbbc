// Sinks for the client's events that record what reached them and on which thread. Their
// IDispatch part is not used: the client calls sinks through their own interfaces.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <mutex>
#include <string>
#include <vector>

#include "korvane_client.h"
#include "platform/com_object.h"
#include "platform/raii.h"

namespace kv::test {

template <class I>
class NoDispatch : public I {
public:
    using Interface = I;

    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

// One recorded event: its name, the thread it ran on, and its arguments as text.
struct SeenEvent {
    std::string name;
    DWORD thread;
    std::string args;
};

class EventLog {
public:
    void Add(std::string name, std::string args) {
        std::lock_guard<std::mutex> hold(lock_);
        events_.push_back({std::move(name), GetCurrentThreadId(), std::move(args)});
    }
    std::vector<SeenEvent> Events() {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }

private:
    std::mutex lock_;
    std::vector<SeenEvent> events_;
};

// "5" for a VT_I4, "5,6,7" for an array of them, "?" for anything else.
inline std::string IdsText(const VARIANT& ids) {
    if (ids.vt == VT_I4) return std::to_string(ids.lVal);
    if (ids.vt != (VT_ARRAY | VT_I4)) return "?";
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(ids.parray, 1, &lo);
    SafeArrayGetUBound(ids.parray, 1, &hi);
    std::string text;
    for (LONG i = lo; i <= hi; ++i) {
        LONG v = 0;
        SafeArrayGetElement(ids.parray, &i, &v);
        text += (text.empty() ? "" : ",") + std::to_string(v);
    }
    return text;
}

class StorySink : public ComObject<StorySink, NoDispatch<IStoryEvents>> {
public:
    explicit StorySink(EventLog* log) : log_(log) {}
    STDMETHODIMP OnStoriesAdded(LONG channel, VARIANT ids) override {
        log_->Add("added", std::to_string(channel) + " " + IdsText(ids));
        return S_OK;
    }
    STDMETHODIMP OnStoriesDeleted(LONG channel, VARIANT ids) override {
        log_->Add("deleted", std::to_string(channel) + " " + IdsText(ids));
        return S_OK;
    }
    STDMETHODIMP OnStoriesChanged(LONG channel, VARIANT ids, LONG flags) override {
        log_->Add("changed", std::to_string(channel) + " " + IdsText(ids) + " " + std::to_string(flags));
        return S_OK;
    }

private:
    EventLog* log_;
};

class AppSink : public ComObject<AppSink, NoDispatch<IClientAppEvents>> {
public:
    explicit AppSink(EventLog* log) : log_(log) {}
    STDMETHODIMP OnClientShutdown() override {
        log_->Add("shutdown", "");
        return S_OK;
    }

private:
    EventLog* log_;
};

class ChannelSink : public ComObject<ChannelSink, NoDispatch<IChannelEvents>> {
public:
    explicit ChannelSink(EventLog* log) : log_(log) {}
    STDMETHODIMP OnChannelAdded(IDispatch* channel) override {
        log_->Add("channel-added", NameOf(channel));
        return S_OK;
    }
    STDMETHODIMP OnChannelDeleted(LONG id) override {
        log_->Add("channel-deleted", std::to_string(id));
        return S_OK;
    }
    STDMETHODIMP OnChannelChanged(IDispatch* channel, LONG flags) override {
        log_->Add("channel-changed", NameOf(channel) + " " + std::to_string(flags));
        return S_OK;
    }

private:
    static std::string NameOf(IDispatch* channel) {
        ComPtr<IClientChannel> ch;
        Bstr name;
        if (!channel || FAILED(channel->QueryInterface(IID_PPV_ARGS(ch.GetAddressOf()))) ||
            FAILED(ch->GetName(name.put())))
            return "?";
        std::wstring w = name.str();
        return std::string(w.begin(), w.end());
    }
    EventLog* log_;
};

class DirectorySink : public ComObject<DirectorySink, NoDispatch<IDirectoryEvents>> {
public:
    explicit DirectorySink(EventLog* log) : log_(log) {}
    STDMETHODIMP OnEntryChanged(LONG id) override {
        log_->Add("entry-changed", std::to_string(id));
        return S_OK;
    }
    STDMETHODIMP OnEntryDeleted(LONG id) override {
        log_->Add("entry-deleted", std::to_string(id));
        return S_OK;
    }
    STDMETHODIMP OnEntryEvent(LONG id, LONG flags) override {
        log_->Add("entry-event", std::to_string(id) + " " + std::to_string(flags));
        return S_OK;
    }

private:
    EventLog* log_;
};

class SettingsSink : public ComObject<SettingsSink, NoDispatch<ISettingsEvents>> {
public:
    explicit SettingsSink(EventLog* log) : log_(log) {}
    STDMETHODIMP OnSettingsChanged(LONG flags) override {
        log_->Add("settings", std::to_string(flags));
        return S_OK;
    }

private:
    EventLog* log_;
};

class ParcelSink : public ComObject<ParcelSink, NoDispatch<IParcelEvents>> {
public:
    explicit ParcelSink(EventLog* log) : log_(log) {}
    STDMETHODIMP OnParcelDelivered(IDispatch* parcel) override {
        ComPtr<IClientParcel> p;
        Bstr folder, description;
        ComPtr<IClientChannel> channel;
        LONG id = 0;
        if (!parcel || FAILED(parcel->QueryInterface(IID_PPV_ARGS(p.GetAddressOf()))) ||
            FAILED(p->GetFolder(folder.put())) || FAILED(p->GetDescriptionFile(description.put())) ||
            FAILED(p->GetChannel(channel.GetAddressOf())) || FAILED(channel->GetId(&id))) {
            log_->Add("parcel", "?");
            return S_OK;
        }
        std::wstring text = std::to_wstring(id) + L" " + folder.str() + L" " + description.str();
        log_->Add("parcel", std::string(text.begin(), text.end()));
        return S_OK;
    }
    STDMETHODIMP OnChannelResync(LONG id, LONG reason) override {
        log_->Add("resync", std::to_string(id) + " " + std::to_string(reason));
        return S_OK;
    }
    STDMETHODIMP OnTransferStatus(LONG id, LONG status) override {
        log_->Add("transfer", std::to_string(id) + " " + std::to_string(status));
        return S_OK;
    }

private:
    EventLog* log_;
};

}  // namespace kv::test
