// The directory control's sink on the client's directory entries. Each callback only records
// the entry's id in the control's notification queue (through DirectorySinkOwner); the control
// handles it later on its own window. An object of the control's apartment.
#pragma once

#include <windows.h>

#include "framework/client_sinks.h"

namespace kv {

class DirectorySinkOwner {
public:
    virtual HRESULT EntryChanged(LONG entryId) = 0;
    virtual HRESULT EntryDeleted(LONG entryId) = 0;
    virtual HRESULT EntryEvent(LONG entryId, LONG flags) = 0;

protected:
    ~DirectorySinkOwner() = default;
};

class DirectorySink : public ClientSink<DirectorySink, IDirectoryEvents, DirectorySinkOwner> {
public:
    using ClientSink::ClientSink;
    STDMETHODIMP OnEntryChanged(LONG entryId) override { return owner_ ? owner_->EntryChanged(entryId) : S_OK; }
    STDMETHODIMP OnEntryDeleted(LONG entryId) override { return owner_ ? owner_->EntryDeleted(entryId) : S_OK; }
    STDMETHODIMP OnEntryEvent(LONG entryId, LONG flags) override {
        return owner_ ? owner_->EntryEvent(entryId, flags) : S_OK;
    }
};

constexpr LONG kDirectoryMask = 0x1FFFFFFF;

}  // namespace kv
