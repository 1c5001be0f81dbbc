// A page that hosts one ActiveX control, as the browser does, for tests and the kvkit tool.
//
//   kv::browser::PageHost page(L"C:\\Channels\\News\\index.htm");
//   page.Create(L"Korvane.Channel", {kv::browser::TextParam(L"Sort", L"TITLE")});
//   page.OnEvent(L"OnNewStory", [](PageHost&, const EventCall& e) { ... });
//   page.Bind();                               // the data binding reads the table
//   page.PumpUntil([&] { return page.Binding()->RowCount() > 3; });
//
// The host creates the control on the calling thread, which must be a COM apartment whose
// messages the host pumps (PumpUntilIdle / PumpUntil). It gives the control a client site whose
// container is the page's document (location.href is the normalised page address), loads the
// control's properties from PARAMs, connects an event sink to the control's default event source
// and a property-change sink, runs the page's handlers for events, and can bind the control's
// table as the page's data binding. Close() (or the destructor) unadvises, takes the site back,
// closes the control and releases everything. Failures are thrown as PageHostError, whose text
// says which step failed.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <ocidl.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/com_object.h"
#include "platform/hresult_error.h"
#include "platform/raii.h"
#include "standins/browser/data_binding.h"
#include "standins/browser/event_sinks.h"
#include "standins/browser/filter_condition.h"
#include "standins/browser/message_pump.h"
#include "standins/browser/property_bag.h"

namespace kv::browser {

class ControlSite;
class PageContainer;

class PageHostError : public HResultError {
public:
    PageHostError(HRESULT hr, std::string text) : HResultError(hr), text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

// One event as the page saw it. Arguments are in declared order (the first parameter first),
// copied, references resolved.
struct EventCall {
    DISPID dispid = 0;
    std::wstring name;  // from the control's type information; "#<dispid>" when it has none
    std::vector<Variant> args;
    bool frozen = false;  // it arrived while the page kept the control's events frozen
};

class PageHost;
using EventHandler = std::function<void(PageHost&, const EventCall&)>;
// Makes a control object, as an alternative to a registered class.
using ControlFactory = std::function<HRESULT(REFIID riid, void** ppv)>;
// Where printed events go: one line at a time.
using LineWriter = std::function<void(const std::wstring&)>;

class PageHost {
public:
    // `page` is the page address or a Windows path; see NormalizePageAddress.
    explicit PageHost(std::wstring_view page);
    ~PageHost();
    PageHost(const PageHost&) = delete;
    PageHost& operator=(const PageHost&) = delete;

    const std::wstring& Address() const noexcept { return address_; }

    // Creates the control from a ProgID or a CLSID written as "{...}", or through `factory`,
    // loads it from `params` (InitNew when there are none), sites it and connects its event
    // source when it has one.
    void Create(std::wstring_view progIdOrClsid, const ParamList& params = {});
    void Create(const CLSID& clsid, const ParamList& params = {});
    void Create(const ControlFactory& factory, const ParamList& params = {});
    bool HasControl() const noexcept { return static_cast<bool>(control_); }
    IUnknown* Control() const noexcept { return control_.Get(); }
    IDispatch* ControlDispatch() const noexcept { return dispatch_.Get(); }

    // The control's persisted properties, as the page would save them.
    ParamList SaveParams();

    // Late-bound access to the control, as page script has it. Throw PageHostError.
    Variant Get(std::wstring_view name);
    void Put(std::wstring_view name, const Variant& value);
    Variant Call(std::wstring_view name, const std::vector<Variant>& args = {});
    // The same without throwing: the HRESULT of the call.
    HRESULT TryInvoke(std::wstring_view name, WORD flags, const std::vector<Variant>& args, Variant* result);

    // Events. Create connects the default source; ConnectEvents picks another (or the default
    // source of a control created without one). Handlers run in registration order, those by
    // DISPID before those by name; names are compared without regard to case. Once the event
    // interface is known, a name it does not have is refused (DISP_E_UNKNOWNNAME).
    void ConnectEvents(const IID* source = nullptr);
    const IID& EventSource() const noexcept { return sourceIid_; }
    void OnEvent(DISPID dispid, EventHandler handler);
    void OnEvent(std::wstring_view name, EventHandler handler);
    const std::vector<EventCall>& Events() const noexcept { return events_; }
    // Handlers that threw, as "OnFilter: 0x80070057".
    const std::vector<std::wstring>& HandlerErrors() const noexcept { return handlerErrors_; }
    void ClearEvents() { events_.clear(); }
    // Prints every event as "OnNewStory(3)"; null `writer` prints to standard output.
    void PrintEvents(LineWriter writer = nullptr);
    // Answers the event `eventName` (whose first argument is the row's item object) by setting
    // the control's `returnValue` to whether the item's column satisfies `condition`.
    void AnswerFilter(FilterCondition condition, std::wstring_view eventName = L"OnFilter");
    // The DISPIDs of IPropertyNotifySink::OnChanged calls, in order.
    const std::vector<DISPID>& PropertyChanges() const noexcept { return propertyChanges_; }
    // IOleControl::FreezeEvents; the control's answer.
    HRESULT FreezeEvents(bool freeze);

    // The page's data binding of the control's table (cells read in `format`).
    DataBinding& Bind(OSPFORMAT format = OSPFORMAT_FORMATTED);
    DataBinding* Binding() const noexcept { return binding_.get(); }

    bool PumpUntilIdle(DWORD timeoutMs = 5000) { return browser::PumpUntilIdle(timeoutMs); }
    bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000) {
        return browser::PumpUntil(done, timeoutMs);
    }

    void Close() noexcept;

    // How an event argument is printed: 3, "text", true, empty, null, [object].
    static std::wstring FormatValue(const VARIANT& value);

private:
    void Site(ComPtr<IUnknown> control, const ParamList& params);
    void FindEventInfo();
    bool FindDefaultSource(IID* iid);
    std::wstring EventName(DISPID dispid) const;
    HRESULT OnEventInvoke(DISPID dispid, DISPPARAMS* params);
    DISPID DispIdOf(std::wstring_view name);

    std::wstring address_;
    ComPtr<PageContainer> container_;
    ComPtr<ControlSite> site_;
    ComPtr<IUnknown> control_;
    ComPtr<IOleObject> oleObject_;
    ComPtr<IDispatch> dispatch_;
    ComPtr<ITypeInfo> classInfo_;
    ComPtr<ITypeInfo> sourceInfo_;
    IID sourceIid_ = IID_NULL;

    struct Connection {
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
    };
    Connection eventsPoint_;
    Connection notifyPoint_;
    ComPtr<EventSink> eventSink_;
    ComPtr<PropertyNotifySink> notifySink_;

    std::vector<std::pair<DISPID, EventHandler>> idHandlers_;
    std::vector<std::pair<std::wstring, EventHandler>> nameHandlers_;
    std::vector<EventCall> events_;
    std::vector<std::wstring> handlerErrors_;
    std::vector<DISPID> propertyChanges_;
    LineWriter printer_;
    int frozen_ = 0;
    std::unique_ptr<DataBinding> binding_;
};

}  // namespace kv::browser
