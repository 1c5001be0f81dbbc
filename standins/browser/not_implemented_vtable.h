// A table of methods for a large COM interface of which an object implements only a few members:
// every slot answers E_NOTIMPL with the right calling convention and argument size, and the
// object then sets the slots it implements.
//
//   static IHTMLLocationVtbl table = [] {
//       auto t = kv::browser::NotImplementedVtable<IHTMLLocationVtbl>();
//       t.get_href = LocationHref;
//       return t;
//   }();
//
// Works on the C form of an interface's method table (a translation unit that defines CINTERFACE
// before including the platform headers), where each slot is a typed function pointer.
#pragma once

#include <windows.h>

#include <cstddef>
#include <utility>

namespace kv::browser {

template <class F>
struct NotImplementedSlot;

template <class R, class... A>
struct NotImplementedSlot<R(STDMETHODCALLTYPE*)(A...)> {
    static R STDMETHODCALLTYPE Call(A...) { return static_cast<R>(E_NOTIMPL); }
};

// Converts to whichever slot type it initialises.
struct AnyNotImplementedSlot {
    template <class F>
    operator F() const noexcept {
        return &NotImplementedSlot<F>::Call;
    }
};

template <class Vtbl, std::size_t... I>
Vtbl MakeNotImplementedVtable(std::index_sequence<I...>) {
    return Vtbl{((void)I, AnyNotImplementedSlot{})...};
}

template <class Vtbl>
Vtbl NotImplementedVtable() {
    return MakeNotImplementedVtable<Vtbl>(std::make_index_sequence<sizeof(Vtbl) / sizeof(void*)>());
}

}  // namespace kv::browser
