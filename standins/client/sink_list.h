// The sinks advised on one event source of the client. Each sink is kept in the Global
// Interface Table, so an event fired from any thread reaches the sink in the apartment that
// advised it, as COM delivers calls to a sink's own apartment.
//
// Thread-safe. Fire() calls the sinks outside the lock, so a sink may advise or unadvise from
// inside an event.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <functional>
#include <mutex>
#include <vector>

namespace kv::standin {

class SinkList {
public:
    // iid: the sink interface each advised object must answer.
    void SetInterface(const IID& iid) noexcept { iid_ = iid; }

    // Keeps `sink` (queried for the sink interface); returns the cookie. A null sink is
    // E_POINTER, one without the interface CONNECT_E_CANNOTCONNECT.
    LONG Advise(LONG mask, IUnknown* sink);
    // An unknown cookie is CONNECT_E_NOCONNECTION.
    void Unadvise(LONG cookie);
    void Clear() noexcept;

    // Calls `event` once per sink with the sink interface (cast by the caller); returns how many
    // sinks were reached (a sink whose apartment or process has gone is not). A sink that fails
    // or has gone away does not stop the others.
    long Fire(const std::function<HRESULT(IUnknown*)>& event);

    long Count();
    LONG LastMask();

private:
    struct Connection {
        LONG cookie;
        LONG mask;
        DWORD git;
    };
    std::mutex lock_;
    IID iid_ = IID_IUnknown;
    std::vector<Connection> connections_;
    LONG nextCookie_ = 1;
};

}  // namespace kv::standin
