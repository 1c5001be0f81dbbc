#include "standins/client/sink_list.h"

#include <olectl.h>

#include "platform/com_object.h"

namespace kv::standin {
namespace {

ComPtr<IGlobalInterfaceTable> Git() {
    ComPtr<IGlobalInterfaceTable> git;
    ThrowIfFailed(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(git.GetAddressOf())));
    return git;
}

}  // namespace

LONG SinkList::Advise(LONG mask, IUnknown* sink) {
    if (!sink) ThrowHr(E_POINTER);
    ComPtr<IUnknown> typed;
    if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(typed.GetAddressOf()))))
        ThrowHr(CONNECT_E_CANNOTCONNECT);
    DWORD cookie = 0;
    ThrowIfFailed(Git()->RegisterInterfaceInGlobal(typed.Get(), iid_, &cookie));
    std::lock_guard<std::mutex> hold(lock_);
    LONG id = nextCookie_++;
    connections_.push_back({id, mask, cookie});
    return id;
}

void SinkList::Unadvise(LONG cookie) {
    DWORD git = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        auto it = connections_.begin();
        while (it != connections_.end() && it->cookie != cookie) ++it;
        if (it == connections_.end()) ThrowHr(CONNECT_E_NOCONNECTION);
        git = it->git;
        connections_.erase(it);
    }
    Git()->RevokeInterfaceFromGlobal(git);
}

void SinkList::Clear() noexcept {
    std::vector<Connection> gone;
    {
        std::lock_guard<std::mutex> hold(lock_);
        gone.swap(connections_);
    }
    try {
        auto git = Git();
        for (const auto& c : gone) git->RevokeInterfaceFromGlobal(c.git);
    } catch (...) {
    }
}

long SinkList::Fire(const std::function<HRESULT(IUnknown*)>& event) {
    std::vector<Connection> now;
    {
        std::lock_guard<std::mutex> hold(lock_);
        now = connections_;
    }
    long delivered = 0;
    auto git = Git();
    for (const auto& c : now) {
        ComPtr<IUnknown> sink;
        if (FAILED(git->GetInterfaceFromGlobal(c.git, iid_, reinterpret_cast<void**>(sink.GetAddressOf()))))
            continue;
        HRESULT hr = event(sink.Get());
        // A sink whose apartment or process has gone is not reached; any other answer is the
        // sink's own.
        if (hr != RPC_E_DISCONNECTED && hr != RPC_E_SERVER_DIED && hr != RPC_E_SERVER_DIED_DNE &&
            hr != CO_E_OBJNOTCONNECTED)
            ++delivered;
    }
    return delivered;
}

long SinkList::Count() {
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<long>(connections_.size());
}

LONG SinkList::LastMask() {
    std::lock_guard<std::mutex> hold(lock_);
    return connections_.empty() ? 0 : connections_.back().mask;
}

}  // namespace kv::standin
