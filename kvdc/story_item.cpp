#include "kvdc/story_item.h"

#include <oaidl.h>

#include <string>
#include <vector>

#include "framework/client_failure.h"
#include "kvdc/story_resource_ids.h"
#include "platform/comma_list.h"
#include "platform/raii.h"
#include "platform/text.h"

namespace kv {

namespace {

constexpr const wchar_t* kErrorSource = L"Korvane.Channel";

// "Exists", "Play", "StoryObject": DISPIDs 1024 onwards, in this order.
const std::vector<std::wstring>& MemberNames() {
    static const std::vector<std::wstring> names = [] {
        auto list = LoadCommaList(ThisModule(), IDS_STORY_MEMBERS);
        if (list.size() < 3) ThrowHr(E_FAIL);
        return list;
    }();
    return names;
}

}  // namespace

class StoryItem : public ComObject<StoryItem, IDispatch, ISupportErrorInfo> {
public:
    StoryItem(const RecordSet& table, ComPtr<Row> row) : columns_(table.ColumnsRef()), row_(std::move(row)) {
        ComPtr<IClientChannel2> channel;
        IClientChannel* base = table.Channel();
        if (!base || FAILED(base->QueryInterface(__uuidof(IClientChannel2),
                                                 reinterpret_cast<void**>(channel.GetAddressOf()))))
            return;
        ThrowIfClientFailed(channel->GetStories(stories_.GetAddressOf()));
    }

    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override try {
        if (count && (!names || !ids)) return E_INVALIDARG;
        const auto& members = MemberNames();
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            std::wstring_view name = names[i] ? names[i] : L"";
            ids[i] = DISPID_UNKNOWN;
            for (size_t m = 0; m < 3 && ids[i] == DISPID_UNKNOWN; ++m)
                if (EqualsNoCase(name, members[m])) ids[i] = kDispidStoryExists + static_cast<DISPID>(m);
            if (ids[i] == DISPID_UNKNOWN) ids[i] = columns_->Find(name);
            if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                        UINT*) override try {
        if (result) VariantInit(result);
        const UINT argc = params ? params->cArgs : 0;
        switch (id) {
        case kDispidStoryExists: {
            if (!(flags & DISPATCH_METHOD)) return Fail(E_INVALIDARG);
            if (argc != 1) return Fail(DISP_E_BADPARAMCOUNT);
            if (!result) return Fail(E_INVALIDARG);
            Variant name;
            ThrowIfFailed(VariantCopyInd(name.get(), &params->rgvarg[0]));
            name.ChangeType(VT_BSTR);
            bool known = columns_->Find(std::wstring_view(name->bstrVal, SysStringLen(name->bstrVal))) >= 0;
            result->vt = VT_BOOL;
            result->boolVal = known ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        }
        case kDispidStoryPlay:
            if (!(flags & DISPATCH_METHOD)) return Fail(E_INVALIDARG);
            if (argc != 0) return Fail(DISP_E_BADPARAMCOUNT);
            ThrowIfClientFailed(ClientStory()->Play(HandleToLong(GetActiveWindow()), 0));
            return S_OK;
        case kDispidStoryObject:
            if (!result) return Fail(E_INVALIDARG);
            if (argc != 0) return Fail(DISP_E_BADPARAMCOUNT);
            result->pdispVal = ClientStory();
            result->pdispVal->AddRef();
            result->vt = VT_DISPATCH;
            return S_OK;
        default:
            if (!result) return Fail(E_INVALIDARG);
            row_->GetCell(id, result);
            return S_OK;
        }
    } catch (const ClientFailure& e) {
        if (result) VariantClear(result);
        return e.Code();
    } catch (...) {
        if (result) VariantClear(result);
        return Fail(CaughtHResult());
    }

    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
        return IsEqualIID(riid, IID_IDispatch) ? S_OK : S_FALSE;
    }

private:
    static HRESULT Fail(HRESULT hr) noexcept { return SetErrorInfoFor(hr, IID_IDispatch, kErrorSource); }

    // The client's story object for this row, asked for once.
    IClientStory* ClientStory() {
        if (story_) return story_.Get();
        if (!stories_) ThrowHr(E_POINTER);
        Variant key = Variant::I4(row_->Id());
        ComPtr<IClientStory> story;
        ThrowIfClientFailed(stories_->Item(*key.get(), story.GetAddressOf()));
        story_ = ThrowIfNull(story.Get());
        return story_.Get();
    }

    ComPtr<ColumnDictionary> columns_;
    ComPtr<Row> row_;
    ComPtr<IStoryCollection> stories_;
    ComPtr<IClientStory> story_;
};

ComPtr<IDispatch> MakeStoryItem(const RecordSet& table, ComPtr<Row> row) {
    if (!row) ThrowHr(E_INVALIDARG);
    ComPtr<IDispatch> item;
    ThrowIfFailed(MakeObject<StoryItem>(table, std::move(row)).As(&item));
    return item;
}

}  // namespace kv
