#include "kvdc/kvdc_control.h"

namespace kv {
namespace {

const PersistedProperty kProperties[] = {
    {L"Channel", 0},       {L"AutoReset", 1},          {L"AutoUpdate", 2}, {L"Sort", 3},
    {L"SortColumn", 4},    {L"SortAscending", 5},      {L"SortCaseSensitive", 6},
    {L"Embellish", 7},     {L"returnValue", 8},        {L"Valid", DISPID_VALID},
    {L"ReadyState", DISPID_READYSTATE},
};

constexpr DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
                              OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
static_assert(kMiscStatus == 131473);

const wchar_t kWindowClass[] = L"KvDCNotificationWindow";

LRESULT CALLBACK NotificationWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// The control's hidden message window: no style bits, a tool window, owned by the window that
// is active when the control is created.
HWND CreateNotificationWindow() {
    static ATOM atom = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = NotificationWindowProc;
        wc.hInstance = ThisModule();
        wc.lpszClassName = kWindowClass;
        return RegisterClassW(&wc);
    }();
    if (!atom && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) ThrowLastError();
    HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, L"", 0, 0, 0, 0, 0, GetActiveWindow(), nullptr,
                                ThisModule(), nullptr);
    if (!hwnd) ThrowLastError();
    return hwnd;
}

HRESULT CopyBool(bool value, VARIANT_BOOL* out) {
    if (!out) return E_POINTER;
    *out = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

}  // namespace

KvDCCtl::KvDCCtl()
    : core_(static_cast<IConnectionPointContainer*>(this), CLSID_KvDCCtl, DIID__KvDCEvents, kMiscStatus),
      window_(CreateNotificationWindow()) {}

KvDCCtl::~KvDCCtl() = default;

std::span<const PersistedProperty> KvDCCtl::PersistedProperties() const noexcept { return kProperties; }

void KvDCCtl::SetValid(bool valid) {
    if (valid_ == valid) return;
    valid_ = valid;
    core_.Changed(DISPID_VALID);
}

void KvDCCtl::SetReadyState(LONG state) {
    if (readyState_ == state) return;
    readyState_ = state;
    core_.Changed(DISPID_READYSTATE);
}

STDMETHODIMP KvDCCtl::get_AutoReset(VARIANT_BOOL* value) { return CopyBool(autoReset_, value); }
STDMETHODIMP KvDCCtl::put_AutoReset(VARIANT_BOOL value) {
    autoReset_ = value != 0;
    return S_OK;
}
STDMETHODIMP KvDCCtl::get_AutoUpdate(VARIANT_BOOL* value) { return CopyBool(autoUpdate_, value); }
STDMETHODIMP KvDCCtl::get_Sort(BSTR* value) try {
    if (!value) return E_POINTER;
    *value = sort_.Copy();
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvDCCtl::put_Sort(BSTR value) try {
    sort_ = Bstr(std::wstring_view(value ? value : L"", SysStringLen(value)));
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvDCCtl::get_SortColumn(BSTR* value) try {
    if (!value) return E_POINTER;
    *value = sortColumn_.Copy();
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvDCCtl::put_SortColumn(BSTR value) try {
    sortColumn_ = Bstr(std::wstring_view(value ? value : L"", SysStringLen(value)));
    return S_OK;
} catch (...) {
    return Caught();
}
STDMETHODIMP KvDCCtl::get_SortAscending(VARIANT_BOOL* value) { return CopyBool(sortAscending_, value); }
STDMETHODIMP KvDCCtl::put_SortAscending(VARIANT_BOOL value) {
    sortAscending_ = value != 0;
    return S_OK;
}
STDMETHODIMP KvDCCtl::get_SortCaseSensitive(VARIANT_BOOL* value) { return CopyBool(sortCaseSensitive_, value); }
STDMETHODIMP KvDCCtl::put_SortCaseSensitive(VARIANT_BOOL value) {
    sortCaseSensitive_ = value != 0;
    return S_OK;
}
STDMETHODIMP KvDCCtl::get_Embellish(LONG* value) {
    if (!value) return E_POINTER;
    *value = embellish_;
    return S_OK;
}
STDMETHODIMP KvDCCtl::put_Embellish(LONG value) {
    embellish_ = value;
    return S_OK;
}
STDMETHODIMP KvDCCtl::get_returnValue(VARIANT* value) {
    if (!value) return E_POINTER;
    VariantInit(value);
    return VariantCopy(value, returnValue_.get());
}
STDMETHODIMP KvDCCtl::put_returnValue(VARIANT value) { return VariantCopy(returnValue_.get(), &value); }
STDMETHODIMP KvDCCtl::get_Valid(VARIANT_BOOL* value) { return CopyBool(valid_, value); }
STDMETHODIMP KvDCCtl::put_Valid(VARIANT_BOOL) {
    core_.Changed(DISPID_VALID);
    return S_OK;
}
STDMETHODIMP KvDCCtl::get_ReadyState(LONG* value) {
    if (!value) return E_POINTER;
    *value = readyState_;
    return S_OK;
}
STDMETHODIMP KvDCCtl::put_ReadyState(LONG) {
    core_.Changed(DISPID_READYSTATE);
    return S_OK;
}

// The members below bind the channel and read the story table; they arrive with the table.
STDMETHODIMP KvDCCtl::get_Channel(IDispatch** channel) {
    if (channel) *channel = nullptr;
    return Fail(E_NOTIMPL);
}
STDMETHODIMP KvDCCtl::put_AutoUpdate(VARIANT_BOOL value) {
    autoUpdate_ = value != 0;
    return S_OK;
}
STDMETHODIMP KvDCCtl::Reset(VARIANT_BOOL) { return Fail(E_NOTIMPL); }
STDMETHODIMP KvDCCtl::Story(LONG, IDispatch** story) {
    if (story) *story = nullptr;
    return Fail(E_NOTIMPL);
}
STDMETHODIMP KvDCCtl::Korvane(IDispatch** client) {
    if (client) *client = nullptr;
    return Fail(E_NOTIMPL);
}
STDMETHODIMP KvDCCtl::Setup() { return Fail(E_NOTIMPL); }
STDMETHODIMP KvDCCtl::GlobalSetup() { return Fail(E_NOTIMPL); }
STDMETHODIMP KvDCCtl::Client(LONG) { return Fail(E_NOTIMPL); }
STDMETHODIMP KvDCCtl::FixDate(LONG, DATE*) { return Fail(E_NOTIMPL); }
STDMETHODIMP KvDCCtl::msDataSourceObject(BSTR, IUnknown** provider) {
    if (provider) *provider = nullptr;
    return Fail(E_NOTIMPL);
}
STDMETHODIMP KvDCCtl::addDataSourceListener(IUnknown*) { return Fail(E_NOTIMPL); }

}  // namespace kv
