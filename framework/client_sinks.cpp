#include "framework/client_sinks.h"

namespace kv {

HRESULT ClientTypeLib::Load(REFIID iid, ITypeInfo** info) noexcept {
    return LoadRegisteredTypeInfo(LIBID_KorvaneClientLib, 1, 0, iid, info);
}

void SinkConnection::Disconnect() noexcept {
    if (!source_) return;
    ComPtr<IUnknown> source = std::move(source_);
    unadvise_(source.Get(), cookie_);
    cookie_ = 0;
}

STDMETHODIMP ShutdownSink::OnClientShutdown() { return owner_ ? owner_->ClientShuttingDown() : S_OK; }

STDMETHODIMP SettingsSink::OnSettingsChanged(LONG flags) { return owner_ ? owner_->SettingsChanged(flags) : S_OK; }

}  // namespace kv
