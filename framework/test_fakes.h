// Stand-ins for the client's channel and path resolver in the framework's and the story
// control's unit tests, and a builder for story snapshots. Methods a test does not need answer
// E_NOTIMPL.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <map>
#include <string>
#include <vector>

#include "korvane_client.h"
#include "platform/com_object.h"
#include "platform/raii.h"

namespace kv::testing {

// IDispatch of a fake: no type information, nothing invocable.
template <class I>
class NoDispatch : public I {
public:
    using Interface = I;
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        if (n) *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

class FakeChannel : public ComObject<FakeChannel, NoDispatch<IClientChannel2>> {
public:
    long flags = 0;
    long securityFlags = 0;
    HRESULT flagsResult = S_OK;
    HRESULT snapshotResult = S_OK;
    Variant snapshot;
    int snapshotCalls = 0;

    STDMETHODIMP GetName(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetId(LONG* id) override {
        *id = 7;
        return S_OK;
    }
    STDMETHODIMP GetDirectoryKey(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFlags(LONG* out) override {
        *out = flags;
        return flagsResult;
    }
    STDMETHODIMP GetLocalFolder(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP Refresh() override { return E_NOTIMPL; }
    STDMETHODIMP Drop() override { return E_NOTIMPL; }
    STDMETHODIMP ShowSetup(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP GetProperties(IClientPropertySet**) override { return E_NOTIMPL; }
    STDMETHODIMP GetMode(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetSecurityFlags(LONG* out) override {
        *out = securityFlags;
        return S_OK;
    }
    STDMETHODIMP GetStories(IStoryCollection**) override { return E_NOTIMPL; }
    STDMETHODIMP GetStorySnapshot(LONG what, LONG options, VARIANT* out) override {
        ++snapshotCalls;
        VariantInit(out);
        if (what != 1 || options != 1) return E_INVALIDARG;
        if (FAILED(snapshotResult)) return snapshotResult;
        return VariantCopy(out, snapshot.get());
    }

protected:
    void* QueryInterfaceExtra(REFIID riid) noexcept override {
        return IsEqualIID(riid, __uuidof(IClientChannel)) ? static_cast<IClientChannel*>(this) : nullptr;
    }
};

// Maps texts to paths; anything else is answered S_FALSE with a null path.
class FakeResolver : public ComObject<FakeResolver, NoDispatch<IClientPathResolver>> {
public:
    std::map<std::wstring, std::wstring> paths;
    HRESULT failure = S_OK;
    std::vector<std::wstring> asked;

    STDMETHODIMP ResolveLocalPath(BSTR text, LONG flags, BSTR* path) override {
        *path = nullptr;
        asked.emplace_back(text ? text : L"");
        if (FAILED(failure)) return failure;
        if (flags != 0) return E_INVALIDARG;
        auto it = paths.find(text ? text : L"");
        if (it == paths.end()) return S_FALSE;
        *path = SysAllocString(it->second.c_str());
        return S_OK;
    }
};

// One property of one story in a snapshot.
struct Prop {
    LONG id;
    std::wstring name;
    std::wstring value;
};

// A VARIANT holding a one-dimensional array of VARIANTs.
inline Variant VariantArray(std::vector<Variant> items) {
    SafeArray sa = SafeArray::Vector(VT_VARIANT, static_cast<ULONG>(items.size()));
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i)
        ThrowIfFailed(SafeArrayPutElement(sa.get(), &i, items[static_cast<size_t>(i)].get()));
    Variant v;
    v->vt = VT_ARRAY | VT_VARIANT;
    v->parray = sa.Detach();
    return v;
}

inline Variant IdArray(const std::vector<LONG>& ids) {
    SafeArray sa = SafeArray::Vector(VT_I4, static_cast<ULONG>(ids.size()));
    for (LONG i = 0; i < static_cast<LONG>(ids.size()); ++i) {
        LONG id = ids[static_cast<size_t>(i)];
        ThrowIfFailed(SafeArrayPutElement(sa.get(), &i, &id));
    }
    Variant v;
    v->vt = VT_ARRAY | VT_I4;
    v->parray = sa.Detach();
    return v;
}

inline Variant StringArray(const std::vector<std::wstring>& texts) {
    SafeArray sa = SafeArray::Vector(VT_BSTR, static_cast<ULONG>(texts.size()));
    for (LONG i = 0; i < static_cast<LONG>(texts.size()); ++i) {
        Bstr b(texts[static_cast<size_t>(i)]);
        ThrowIfFailed(SafeArrayPutElement(sa.get(), &i, b.get()));
    }
    Variant v;
    v->vt = VT_ARRAY | VT_BSTR;
    v->parray = sa.Detach();
    return v;
}

// One snapshot element: the three parallel arrays of `props`.
inline Variant SnapshotPart(const std::vector<Prop>& props) {
    std::vector<LONG> ids;
    std::vector<std::wstring> names, values;
    for (const auto& p : props) {
        ids.push_back(p.id);
        names.push_back(p.name);
        values.push_back(p.value);
    }
    return VariantArray({IdArray(ids), StringArray(names), StringArray(values)});
}

// The snapshot shape the client delivers: element 0 reserved, then elements 1 and 2.
inline Variant Snapshot(const std::vector<Prop>& first, const std::vector<Prop>& second = {}) {
    return VariantArray({Variant(), SnapshotPart(first), SnapshotPart(second)});
}

}  // namespace kv::testing
