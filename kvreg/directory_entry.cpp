#include "kvreg/directory_entry.h"

#include <string>
#include <vector>

#include "framework/client_failure.h"
#include "kvreg/directory_resource_ids.h"
#include "platform/comma_list.h"
#include "platform/raii.h"
#include "platform/text.h"

namespace kv {

namespace {

class DirectoryEntry : public ComObject<DirectoryEntry, IDispatch> {
public:
    DirectoryEntry(HINSTANCE module, ComPtr<IDirectoryEntries> entries,
                   std::shared_ptr<const DirectoryColumnTable> columns, ComPtr<Row> row)
        : module_(module), entries_(std::move(entries)), columns_(std::move(columns)), row_(std::move(row)) {}

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
        if (!names || !ids) return E_POINTER;
        std::vector<std::wstring> methods = LoadCommaList(module_, IDS_ENTRY_METHODS);
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        for (UINT i = 0; i < count; ++i) {
            std::wstring name = names[i] ? names[i] : L"";
            DISPID id = DISPID_UNKNOWN;
            for (size_t m = 0; m < methods.size() && id == DISPID_UNKNOWN; ++m)
                if (AsciiUpper(methods[m]) == AsciiUpper(name)) id = kDispSubscribe + static_cast<DISPID>(m);
            if (id == DISPID_UNKNOWN) id = columns_->Find(AsciiUpper(name));
            if (id < 0) return DISP_E_UNKNOWNNAME;
            ids[i] = id;
        }
        return S_OK;
    } catch (...) {
        return CaughtHResult();
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                        UINT*) override try {
        const UINT args = params ? params->cArgs : 0;
        switch (id) {
            case kDispSubscribe:
            case kDispUnsubscribe: {
                if (!(flags & DISPATCH_METHOD)) return E_INVALIDARG;
                if (args != 0) return DISP_E_BADPARAMCOUNT;
                const LONG window = HandleToLong(GetActiveWindow());
                IClientPropertySet* entry = Entry();
                ThrowIfClientFailed(id == kDispSubscribe ? entry->Subscribe(window, 0) : entry->Unsubscribe(window, 0));
                return S_OK;
            }
            case kDispEntryObject: {
                if (!result) return E_INVALIDARG;
                if (args != 0) return DISP_E_BADPARAMCOUNT;
                IClientPropertySet* entry = Entry();
                VariantClear(result);
                ThrowIfFailed(entry->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&result->pdispVal)));
                result->vt = VT_DISPATCH;
                return S_OK;
            }
            default:
                if (id < 0 || id >= columns_->Count()) return DISP_E_MEMBERNOTFOUND;
                if (!result) return E_INVALIDARG;
                VariantClear(result);
                row_->GetCell(id, result);
                return S_OK;
        }
    } catch (const ClientFailure& e) {
        return e.Code();
    } catch (const HResultError& e) {
        return e.Code() == E_POINTER ? E_POINTER : E_FAIL;
    } catch (...) {
        return E_FAIL;
    }

private:
    // The client's entry object, asked for once.
    IClientPropertySet* Entry() {
        if (!entry_) entry_ = ClientEntry(entries_.Get(), row_->Id());
        return entry_.Get();
    }

    HINSTANCE module_;
    ComPtr<IDirectoryEntries> entries_;
    std::shared_ptr<const DirectoryColumnTable> columns_;
    ComPtr<Row> row_;
    ComPtr<IClientPropertySet> entry_;
};

}  // namespace

ComPtr<IDispatch> MakeDirectoryEntry(HINSTANCE module, IClientDirectory* directory,
                                     std::shared_ptr<const DirectoryColumnTable> columns, ComPtr<Row> row) {
    // Without a directory (the client went away) the entry still reads; its methods fail.
    ComPtr<IDirectoryEntries> entries;
    if (directory) ThrowIfClientFailed(directory->GetEntries(entries.GetAddressOf()));
    ComPtr<IDispatch> out(
        MakeObject<DirectoryEntry>(module, std::move(entries), std::move(columns), std::move(row)).Get());
    return out;
}

}  // namespace kv
