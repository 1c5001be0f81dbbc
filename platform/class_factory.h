// The class factory of one creatable class. The factory itself does not hold the module: only
// the objects it makes and LockServer(TRUE) do, so a client may keep a factory cached.
#pragma once

#include "platform/com_object.h"

namespace kv {

using ObjectCreator = HRESULT (*)(REFIID riid, void** ppv);

class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(ObjectCreator create) noexcept : create_(create) {}

    // Hands out a new factory for `create`, queried for riid.
    static HRESULT Create(ObjectCreator create, REFIID riid, void** ppv) noexcept;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    ObjectCreator create_;
    LONG refs_ = 0;
};

}  // namespace kv
