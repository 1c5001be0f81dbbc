// The story control's face to its host and page: defaults, property notifications,
// persistence from PARAMs and streams, connection points.
#include <windows.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kvdc.h"
#include "platform/com_object.h"
#include "platform/databinding.h"
#include "platform/module_path.h"
#include "platform/raii.h"
#include "platform/text.h"

namespace {

using kv::ComPtr;

ComPtr<IKvDC> CreateControl() {
    CLSID clsid;
    EXPECT_EQ(S_OK, CLSIDFromProgID(L"Korvane.Channel", &clsid));
    ComPtr<IKvDC> ctl;
    EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, 0x17, IID_IKvDC, reinterpret_cast<void**>(ctl.GetAddressOf())));
    return ctl;
}

// A page's PARAM list as a property bag.
class ParamBag : public kv::ComObject<ParamBag, IPropertyBag> {
public:
    std::map<std::wstring, kv::Variant> values;
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        auto it = values.find(name);
        if (it == values.end()) return E_INVALIDARG;
        return VariantCopy(value, it->second.get());
    }
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* value) override {
        values[name] = kv::Variant(*value);
        return S_OK;
    }
};

class NotifySink : public kv::ComObject<NotifySink, IPropertyNotifySink> {
public:
    std::vector<DISPID> changed;
    STDMETHODIMP OnChanged(DISPID id) override {
        changed.push_back(id);
        return S_OK;
    }
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }
};

TEST(KvDCControl, FreshControlHasItsDefaults) {
    ComPtr<IKvDC> ctl = CreateControl();
    ASSERT_TRUE(ctl);
    LONG state = 0, embellish = 0;
    VARIANT_BOOL valid = -1, autoReset = 0, autoUpdate = 0, ascending = 0, caseSensitive = -1;
    ctl->get_ReadyState(&state);
    ctl->get_Valid(&valid);
    ctl->get_AutoReset(&autoReset);
    ctl->get_AutoUpdate(&autoUpdate);
    ctl->get_SortAscending(&ascending);
    ctl->get_SortCaseSensitive(&caseSensitive);
    ctl->get_Embellish(&embellish);
    EXPECT_EQ(READYSTATE_INTERACTIVE, state);
    EXPECT_EQ(VARIANT_FALSE, valid);
    EXPECT_EQ(VARIANT_TRUE, autoReset);
    EXPECT_EQ(VARIANT_TRUE, autoUpdate);
    EXPECT_EQ(VARIANT_TRUE, ascending);
    EXPECT_EQ(VARIANT_FALSE, caseSensitive);
    EXPECT_EQ(EMBELLISH_READ | EMBELLISH_SIZE, embellish);
    kv::Bstr sort;
    ctl->get_Sort(sort.put());
    EXPECT_TRUE(sort.empty());
    kv::Variant rv;
    ctl->get_returnValue(rv.put());
    EXPECT_EQ(VT_EMPTY, rv.vt());

    ComPtr<IOleObject> ole;
    ASSERT_EQ(S_OK, ctl.As(&ole));
    DWORD misc = 0;
    ole->GetMiscStatus(DVASPECT_CONTENT, &misc);
    EXPECT_EQ(131473u, misc);
}

TEST(KvDCControl, SettingValidOrReadyStateOnlyNotifies) {
    ComPtr<IKvDC> ctl = CreateControl();
    ComPtr<IConnectionPointContainer> cpc;
    ASSERT_EQ(S_OK, ctl.As(&cpc));
    ComPtr<IConnectionPoint> cp;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IPropertyNotifySink, cp.GetAddressOf()));
    auto sink = kv::MakeObject<NotifySink>();
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, cp->Advise(sink->Unknown(), &cookie));

    EXPECT_EQ(S_OK, ctl->put_ReadyState(READYSTATE_LOADING));
    EXPECT_EQ(S_OK, ctl->put_Valid(VARIANT_TRUE));
    LONG state = 0;
    VARIANT_BOOL valid = -1;
    ctl->get_ReadyState(&state);
    ctl->get_Valid(&valid);
    EXPECT_EQ(READYSTATE_INTERACTIVE, state);
    EXPECT_EQ(VARIANT_FALSE, valid);
    EXPECT_EQ((std::vector<DISPID>{DISPID_READYSTATE, DISPID_VALID}), sink->changed);
    EXPECT_EQ(S_OK, cp->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cp->Unadvise(cookie));
}

TEST(KvDCControl, PageParamsSetTheProperties) {
    ComPtr<IKvDC> ctl = CreateControl();
    ComPtr<IPersistPropertyBag> persist;
    ASSERT_EQ(S_OK, ctl.As(&persist));
    auto bag = kv::MakeObject<ParamBag>();
    bag->values[L"Sort"] = kv::Variant::String(L"title; -ID");
    bag->values[L"AutoReset"] = kv::Variant::String(L"0");
    bag->values[L"SortAscending"] = kv::Variant::String(L"False");
    bag->values[L"Embellish"] = kv::Variant::String(L"7");
    bag->values[L"Channel"] = kv::Variant::String(L"ignored: the property cannot be set");
    bag->values[L"returnValue"] = kv::Variant::I4(12);
    ASSERT_EQ(S_OK, persist->InitNew());
    ASSERT_EQ(S_OK, persist->Load(bag.Get(), nullptr));

    kv::Bstr sort;
    ctl->get_Sort(sort.put());
    EXPECT_EQ(L"title; -ID", sort.str());
    VARIANT_BOOL autoReset = -1, ascending = -1;
    ctl->get_AutoReset(&autoReset);
    ctl->get_SortAscending(&ascending);
    EXPECT_EQ(VARIANT_FALSE, autoReset);
    EXPECT_EQ(VARIANT_FALSE, ascending);
    LONG embellish = 0;
    ctl->get_Embellish(&embellish);
    EXPECT_EQ(7, embellish);

    auto saved = kv::MakeObject<ParamBag>();
    ASSERT_EQ(S_OK, persist->Save(saved.Get(), TRUE, TRUE));
    for (const wchar_t* name : {L"AutoReset", L"AutoUpdate", L"Sort", L"SortColumn", L"SortAscending",
                                L"SortCaseSensitive", L"Embellish", L"returnValue", L"Valid", L"ReadyState"})
        EXPECT_TRUE(saved->values.count(name)) << "saved: " << kv::ToAnsi(name);
    EXPECT_EQ(7, saved->values[L"Embellish"]->lVal);

    auto bad = kv::MakeObject<ParamBag>();
    bad->values[L"Embellish"] = kv::Variant::String(L"seven");
    EXPECT_EQ(DISP_E_TYPEMISMATCH, persist->Load(bad.Get(), nullptr));
}

TEST(KvDCControl, StreamPersistenceRoundTrip) {
    ComPtr<IKvDC> first = CreateControl();
    first->put_Sort(kv::Bstr(L"-DATE_TIME").get());
    first->put_SortCaseSensitive(VARIANT_TRUE);
    first->put_Embellish(2);
    ComPtr<IPersistStreamInit> save;
    ASSERT_EQ(S_OK, first.As(&save));
    ComPtr<IStream> stream;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, stream.GetAddressOf()));
    ASSERT_EQ(S_OK, save->Save(stream.Get(), TRUE));

    ComPtr<IKvDC> second = CreateControl();
    ComPtr<IPersistStreamInit> load;
    ASSERT_EQ(S_OK, second.As(&load));
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(S_OK, load->Load(stream.Get()));
    kv::Bstr sort;
    second->get_Sort(sort.put());
    EXPECT_EQ(L"-DATE_TIME", sort.str());
    VARIANT_BOOL cs = 0;
    second->get_SortCaseSensitive(&cs);
    EXPECT_EQ(VARIANT_TRUE, cs);
    LONG embellish = 0;
    second->get_Embellish(&embellish);
    EXPECT_EQ(2, embellish);

    ComPtr<IStream> truncated;
    CreateStreamOnHGlobal(nullptr, TRUE, truncated.GetAddressOf());
    LONG id = 3;
    truncated->Write(&id, sizeof(id), nullptr);
    truncated->Seek(zero, STREAM_SEEK_SET, nullptr);
    EXPECT_TRUE(FAILED(load->Load(truncated.Get()))) << "a cut stream fails cleanly";
}

TEST(KvDCControl, HostFindsItsEventsAndClassInformation) {
    ComPtr<IKvDC> ctl = CreateControl();
    ComPtr<IProvideClassInfo2> info;
    ASSERT_EQ(S_OK, ctl.As(&info));
    GUID events;
    ASSERT_EQ(S_OK, info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events));
    EXPECT_TRUE(IsEqualIID(DIID__KvDCEvents, events));
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, info->GetClassInfo(coclass.GetAddressOf()));
    TYPEATTR* attr = nullptr;
    coclass->GetTypeAttr(&attr);
    EXPECT_TRUE(IsEqualCLSID(CLSID_KvDCCtl, attr->guid));
    coclass->ReleaseTypeAttr(attr);

    ComPtr<IConnectionPointContainer> cpc;
    ctl.As(&cpc);
    ComPtr<IConnectionPoint> cp;
    EXPECT_EQ(S_OK, cpc->FindConnectionPoint(DIID__KvDCEvents, cp.GetAddressOf()));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, cpc->FindConnectionPoint(IID_IDispatch, cp.ReleaseAndGetAddressOf()));
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, cpc->EnumConnectionPoints(points.GetAddressOf()));
    IConnectionPoint* all[3] = {};
    ULONG got = 0;
    EXPECT_EQ(S_FALSE, points->Next(3, all, &got));
    EXPECT_EQ(2u, got);
    for (ULONG i = 0; i < got; ++i) all[i]->Release();

    ComPtr<IPersist> persist;
    EXPECT_EQ(S_OK, ctl.As(&persist));
    ComPtr<IDispatch> disp;
    ctl.As(&disp);
    DISPID id = 0;
    LPOLESTR name[] = {const_cast<LPOLESTR>(L"sortcolumn")};
    EXPECT_EQ(S_OK, disp->GetIDsOfNames(IID_NULL, name, 1, 0, &id));
    EXPECT_EQ(4, id);
}

// The error information a failing member sets is the control's own, and callers are told to
// look for it.
TEST(KvDCControl, FailuresCarryTheControlsErrorInformation) {
    ComPtr<IKvDC> ctl = CreateControl();
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, ctl.As(&support));
    EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IKvDC));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IPersistStreamInit));

    VARIANT bad;
    bad.vt = 0x7fff;  // no such type: the copy fails
    struct {
        const char* member;
        HRESULT expected;
        std::function<HRESULT()> call;
    } cases[] = {
        {"put_returnValue", DISP_E_BADVARTYPE, [&] { return ctl->put_returnValue(bad); }},
        {"get_returnValue", E_POINTER, [&] { return ctl->get_returnValue(nullptr); }},
    };
    for (auto& c : cases) {
        SetErrorInfo(0, nullptr);
        EXPECT_EQ(c.expected, c.call()) << c.member;
        ComPtr<IErrorInfo> info;
        ASSERT_EQ(S_OK, GetErrorInfo(0, info.GetAddressOf())) << c.member;
        GUID iid;
        info->GetGUID(&iid);
        EXPECT_TRUE(IsEqualIID(IID_IKvDC, iid)) << c.member;
    }
}

// A data source listener that holds the control, as a binding holds its source.
class HoldingListener : public kv::ComObject<HoldingListener, DataSourceListener> {
public:
    ComPtr<IKvDC> source;
    STDMETHODIMP dataMemberChanged(BSTR) override { return S_OK; }
    STDMETHODIMP dataMemberAdded(BSTR) override { return S_OK; }
    STDMETHODIMP dataMemberRemoved(BSTR) override { return S_OK; }
};

TEST(KvDCControl, ModuleUnloadsWhenThePageLetsGo) {
    ComPtr<IKvDC> ctl = CreateControl();
    HMODULE dll = GetModuleHandleW(L"KvDC.dll");
    ASSERT_NE(nullptr, dll);
    auto canUnload = kv::GetProc<HRESULT(STDAPICALLTYPE*)()>(dll, "DllCanUnloadNow");
    EXPECT_EQ(S_FALSE, canUnload());
    EXPECT_EQ(0u, ctl.Reset());
    EXPECT_EQ(S_OK, canUnload());

    // A binding that detaches with a null listener no longer keeps the control alive.
    ctl = CreateControl();
    auto listener = kv::MakeObject<HoldingListener>();
    listener->source = ctl;
    EXPECT_EQ(S_OK, ctl->addDataSourceListener(listener->Unknown()));
    EXPECT_EQ(S_OK, ctl->addDataSourceListener(nullptr));
    listener.Reset();
    EXPECT_EQ(0u, ctl.Reset());
    EXPECT_EQ(S_OK, canUnload());
}

}  // namespace
