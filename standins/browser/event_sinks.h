// The page's sinks on a control's connection points: its event interface (a dispinterface,
// answered as IDispatch and as the source interface's IID) and IPropertyNotifySink. Each forwards
// to a function of the page while attached; Detach() makes it a silent sink, for a control that
// keeps it after the page has gone.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <functional>

#include "platform/com_object.h"

namespace kv::browser {

class EventSink final : public ComObject<EventSink, IDispatch> {
public:
    using Handler = std::function<HRESULT(DISPID, DISPPARAMS*, VARIANT*)>;
    EventSink(const IID& source, Handler handler) : source_(source), handler_(std::move(handler)) {}
    void Detach() noexcept { handler_ = nullptr; }

    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                        UINT*) override;

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override;

private:
    IID source_;
    Handler handler_;
};

class PropertyNotifySink final : public ComObject<PropertyNotifySink, IPropertyNotifySink> {
public:
    explicit PropertyNotifySink(std::function<void(DISPID)> changed) : changed_(std::move(changed)) {}
    void Detach() noexcept { changed_ = nullptr; }

    STDMETHODIMP OnChanged(DISPID id) override;
    STDMETHODIMP OnRequestEdit(DISPID) override;

private:
    std::function<void(DISPID)> changed_;
};

}  // namespace kv::browser
