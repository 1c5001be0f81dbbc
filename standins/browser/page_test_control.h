// The page host tests' own control: just enough of an ActiveX control to be put on a page.
// Persisted properties Caption, Count and Checked; events Clicked, OnFilter and Ready, held back
// while the page freezes events; ReadyState change notifications; a small table served to the
// data binding, writable through setVariant. Everything the page does to it is logged in order.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "pagetestctl.h"
#include "platform/com_object.h"
#include "platform/databinding.h"
#include "platform/dual.h"
#include "platform/raii.h"

namespace kv::browser::pagetest {

class ControlConnectionPoint;

class PageTestControl final
    : public ComObject<PageTestControl, Dual<IPageTestControl>, IOleObject, IOleControl, IPersistPropertyBag,
                       IPersistStreamInit, IConnectionPointContainer, IProvideClassInfo, OLEDBSimpleProvider> {
public:
    PageTestControl();
    ~PageTestControl() override;

    // What the page did to the control, in order: "SetClientSite", "Load", "Advise(events)", ...
    std::vector<std::wstring> log;
    // Answer OLEMISC_SETCLIENTSITEFIRST, so that the page sites the control before loading it.
    bool siteFirst = false;
    // Hide IProvideClassInfo, so that the page finds the event source through the registry.
    bool noClassInfo = false;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    // The page address read as the control reads it: client site, container, document, location.
    std::wstring PageAddress();

    // Test actions: fire an event (arguments in declared order), change the ready state, run the
    // filter over the table through OnFilter/returnValue, change the table and tell the binding.
    void Fire(DISPID id, std::vector<Variant> args = {});
    void SetReadyState(LONG state);
    void FilterRows();
    void InsertRow(LONG position, std::vector<Variant> cells);
    void DeleteRow(LONG position);
    void ChangeCell(LONG row, LONG column, Variant value);
    void AddColumn(std::wstring name);  // a new column set: dataMemberChanged
    void CompleteTransfer();
    void Notify(const char* what, LONG a, LONG b);  // a raw listener call, for malformed ones
    std::vector<std::wstring> columns;
    std::vector<std::vector<Variant>> rows;
    HRESULT setVariantFailure = S_OK;  // answer setVariant with this failure
    HRESULT dataSourceFailure = S_OK;  // answer msDataSourceObject with this failure

    // IPageTestControl
    STDMETHODIMP get_Caption(BSTR* value) override;
    STDMETHODIMP put_Caption(BSTR value) override;
    STDMETHODIMP get_Count(LONG* value) override;
    STDMETHODIMP put_Count(LONG value) override;
    STDMETHODIMP get_Checked(VARIANT_BOOL* value) override;
    STDMETHODIMP put_Checked(VARIANT_BOOL value) override;
    STDMETHODIMP get_returnValue(VARIANT* value) override;
    STDMETHODIMP put_returnValue(VARIANT value) override;
    STDMETHODIMP get_ReadyState(LONG* value) override;
    STDMETHODIMP msDataSourceObject(BSTR qualifier, IUnknown** source) override;
    STDMETHODIMP addDataSourceListener(IUnknown* listener) override;

    // IOleObject
    STDMETHODIMP SetClientSite(IOleClientSite* site) override;
    STDMETHODIMP GetClientSite(IOleClientSite** site) override;
    STDMETHODIMP SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP Close(DWORD) override;
    STDMETHODIMP SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetClipboardData(DWORD, IDataObject**) override { return E_NOTIMPL; }
    STDMETHODIMP DoVerb(LONG, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) override { return E_NOTIMPL; }
    STDMETHODIMP EnumVerbs(IEnumOLEVERB**) override { return E_NOTIMPL; }
    STDMETHODIMP Update() override { return S_OK; }
    STDMETHODIMP IsUpToDate() override { return S_OK; }
    STDMETHODIMP GetUserClassID(CLSID* clsid) override { return GetClassID(clsid); }
    STDMETHODIMP GetUserType(DWORD, LPOLESTR*) override { return E_NOTIMPL; }
    STDMETHODIMP SetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
    STDMETHODIMP GetExtent(DWORD, SIZEL*) override { return E_NOTIMPL; }
    STDMETHODIMP Advise(IAdviseSink*, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP Unadvise(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP EnumAdvise(IEnumSTATDATA**) override { return E_NOTIMPL; }
    STDMETHODIMP GetMiscStatus(DWORD, DWORD* status) override;
    STDMETHODIMP SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

    // IOleControl
    STDMETHODIMP GetControlInfo(CONTROLINFO*) override { return E_NOTIMPL; }
    STDMETHODIMP OnMnemonic(MSG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnAmbientPropertyChange(DISPID) override { return S_OK; }
    STDMETHODIMP FreezeEvents(BOOL freeze) override;

    // IPersistPropertyBag, IPersistStreamInit
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP InitNew() override;
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(LPSTREAM) override { return E_NOTIMPL; }
    STDMETHODIMP Save(LPSTREAM, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

    // IConnectionPointContainer, IProvideClassInfo
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override;

    // OLEDBSimpleProvider
    STDMETHODIMP getRowCount(DBROWCOUNT* count) override;
    STDMETHODIMP getColumnCount(DB_LORDINAL* count) override;
    STDMETHODIMP getRWStatus(DBROWCOUNT, DB_LORDINAL, OSPRW* status) override;
    STDMETHODIMP getVariant(DBROWCOUNT row, DB_LORDINAL column, OSPFORMAT format, VARIANT* value) override;
    STDMETHODIMP setVariant(DBROWCOUNT row, DB_LORDINAL column, OSPFORMAT format, VARIANT value) override;
    STDMETHODIMP getLocale(BSTR* locale) override;
    STDMETHODIMP deleteRows(DBROWCOUNT, DBROWCOUNT, DBROWCOUNT*) override { return E_NOTIMPL; }
    STDMETHODIMP insertRows(DBROWCOUNT, DBROWCOUNT, DBROWCOUNT*) override { return E_NOTIMPL; }
    STDMETHODIMP find(DBROWCOUNT, DB_LORDINAL, VARIANT, OSPFIND, OSPCOMP, DBROWCOUNT*) override { return E_NOTIMPL; }
    STDMETHODIMP addOLEDBSimpleProviderListener(OLEDBSimpleProviderListener* listener) override;
    STDMETHODIMP removeOLEDBSimpleProviderListener(OLEDBSimpleProviderListener* listener) override;
    STDMETHODIMP isAsync(BOOL* async) override;
    STDMETHODIMP getEstimatedRows(DBROWCOUNT* rows) override { return getRowCount(rows); }
    STDMETHODIMP stopTransfer() override { return S_OK; }

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override;

private:
    ComPtr<IOleClientSite> site_;
    ComPtr<ControlConnectionPoint> events_;
    ComPtr<ControlConnectionPoint> notify_;
    Bstr caption_;
    LONG count_ = 0;
    bool checked_ = false;
    Variant returnValue_;
    LONG readyState_ = READYSTATE_INTERACTIVE;
    int frozen_ = 0;
    std::vector<std::pair<DISPID, std::vector<Variant>>> held_;
    ComPtr<OLEDBSimpleProviderListener> listener_;
    ComPtr<DataSourceListener> sourceListener_;
};

}  // namespace kv::browser::pagetest
