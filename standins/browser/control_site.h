// Where a control sits on the page: its client site and the page's container.
//
// ControlSite is the control's IOleClientSite and IOleControlSite, and its IDispatch answers the
// ambient properties a page gives (user mode, UI not dead, locale, display name). Its container,
// PageContainer, is also the page's document: it answers IHTMLDocument2 whose location's href is
// the page address. Both live on the page's thread.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>

#include <string>

#include "platform/com_object.h"
#include "standins/browser/html_document.h"

namespace kv::browser {

class PageContainer final : public ComObject<PageContainer, IOleContainer> {
public:
    explicit PageContainer(const std::wstring& address);
    ~PageContainer() override;

    STDMETHODIMP ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker**) override;
    STDMETHODIMP EnumObjects(DWORD, IEnumUnknown**) override;
    STDMETHODIMP LockContainer(BOOL) override;

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override;

private:
    PageDocument* document_;
};

class ControlSite final : public ComObject<ControlSite, IOleClientSite, IOleControlSite, IDispatch> {
public:
    explicit ControlSite(ComPtr<PageContainer> container) : container_(std::move(container)) {}

    // IOleClientSite
    STDMETHODIMP SaveObject() override;
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override;
    STDMETHODIMP GetContainer(IOleContainer** container) override;
    STDMETHODIMP ShowObject() override;
    STDMETHODIMP OnShowWindow(BOOL) override;
    STDMETHODIMP RequestNewObjectLayout() override;

    // IOleControlSite
    STDMETHODIMP OnControlInfoChanged() override;
    STDMETHODIMP LockInPlaceActive(BOOL) override;
    STDMETHODIMP GetExtendedControl(IDispatch**) override;
    STDMETHODIMP TransformCoords(POINTL*, POINTF*, DWORD) override;
    STDMETHODIMP TranslateAccelerator(MSG*, DWORD) override;
    STDMETHODIMP OnFocus(BOOL) override;
    STDMETHODIMP ShowPropertyFrame() override;

    // IDispatch: the ambient properties
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) override;

private:
    ComPtr<PageContainer> container_;
};

}  // namespace kv::browser
