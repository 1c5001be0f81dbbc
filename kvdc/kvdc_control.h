// KvDCCtl: the story control a channel's local page embeds. One object serves the page script
// (IKvDC, dual), its host (the OLE control interfaces, persistence, connection points) and the
// page's data binding. Apartment threaded: every method runs on the page's thread.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <array>

#include "framework/active_control.h"
#include "kvdc.h"
#include "platform/raii.h"

namespace kv {

class KvDCCtl : public ComObject<KvDCCtl, Dual<IKvDC>, OleObjectImpl<KvDCCtl>, OleControlImpl<KvDCCtl>,
                                 PersistPropertyBagImpl<KvDCCtl>, PersistStreamInitImpl<KvDCCtl>,
                                 ProvideClassInfoImpl<KvDCCtl>, ConnectionPointContainerImpl<KvDCCtl>> {
public:
    KvDCCtl();
    ~KvDCCtl() override;

    // IKvDC
    STDMETHODIMP get_Channel(IDispatch** channel) override;
    STDMETHODIMP get_AutoReset(VARIANT_BOOL* value) override;
    STDMETHODIMP put_AutoReset(VARIANT_BOOL value) override;
    STDMETHODIMP get_AutoUpdate(VARIANT_BOOL* value) override;
    STDMETHODIMP put_AutoUpdate(VARIANT_BOOL value) override;
    STDMETHODIMP get_Sort(BSTR* value) override;
    STDMETHODIMP put_Sort(BSTR value) override;
    STDMETHODIMP get_SortColumn(BSTR* value) override;
    STDMETHODIMP put_SortColumn(BSTR value) override;
    STDMETHODIMP get_SortAscending(VARIANT_BOOL* value) override;
    STDMETHODIMP put_SortAscending(VARIANT_BOOL value) override;
    STDMETHODIMP get_SortCaseSensitive(VARIANT_BOOL* value) override;
    STDMETHODIMP put_SortCaseSensitive(VARIANT_BOOL value) override;
    STDMETHODIMP get_Embellish(LONG* value) override;
    STDMETHODIMP put_Embellish(LONG value) override;
    STDMETHODIMP get_returnValue(VARIANT* value) override;
    STDMETHODIMP put_returnValue(VARIANT value) override;
    STDMETHODIMP get_Valid(VARIANT_BOOL* value) override;
    STDMETHODIMP put_Valid(VARIANT_BOOL value) override;
    STDMETHODIMP get_ReadyState(LONG* value) override;
    STDMETHODIMP put_ReadyState(LONG value) override;
    STDMETHODIMP Reset(VARIANT_BOOL fRead) override;
    STDMETHODIMP Story(LONG lRecordNumber, IDispatch** story) override;
    STDMETHODIMP Korvane(IDispatch** client) override;
    STDMETHODIMP Setup() override;
    STDMETHODIMP GlobalSetup() override;
    STDMETHODIMP Client(LONG lView) override;
    STDMETHODIMP FixDate(LONG lTime, DATE* date) override;
    STDMETHODIMP msDataSourceObject(BSTR qualifier, IUnknown** provider) override;
    STDMETHODIMP addDataSourceListener(IUnknown* pEvent) override;

    // What the host-facing entries need.
    ControlCore& Core() noexcept { return core_; }
    IDispatch* PropertyDispatch() noexcept { return static_cast<IKvDC*>(this); }
    std::span<const PersistedProperty> PersistedProperties() const noexcept;
    void OnSiteChanged() {}
    void OnFreezeEvents(LONG) {}
    void OnClose() {}

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override { return QueryControlBases(this, riid); }

private:
    HRESULT Fail(HRESULT hr) noexcept { return SetErrorInfoFor(hr, IID_IKvDC, L"Korvane.Channel"); }
    HRESULT Caught() noexcept { return CaughtHResultWithInfo(IID_IKvDC, L"Korvane.Channel"); }
    void SetValid(bool valid);
    void SetReadyState(LONG state);

    ControlCore core_;
    UniqueHwnd window_;
    bool autoReset_ = true;
    bool autoUpdate_ = true;
    Bstr sort_;
    Bstr sortColumn_;
    bool sortAscending_ = true;
    bool sortCaseSensitive_ = false;
    LONG embellish_ = EMBELLISH_READ | EMBELLISH_SIZE;
    Variant returnValue_;
    bool valid_ = false;
    LONG readyState_ = READYSTATE_INTERACTIVE;
    Variant channelId_ = Variant::I4(-1);
};

}  // namespace kv
