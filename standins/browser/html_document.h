// The page's HTML document as the page's container hands it out to a control: it answers
// IHTMLDocument2 (with IHTMLDocument and IDispatch), whose `location` is an IHTMLLocation whose
// `href` and `toString` give the page address; `URL` gives it too. Every other member of these
// large interfaces answers E_NOTIMPL. Late-bound callers find `location`, `URL` and `href` by name.
//
// The document is part of the container object (its "outer" unknown): its reference counting
// and QueryInterface are the container's, and the container deletes it when it goes. This header
// names no interface types so that both C and C++ forms of the interfaces can meet here.
#pragma once

#include <windows.h>

namespace kv::browser {

struct PageDocument;

// `outer` is the container's IUnknown; `href` is copied.
PageDocument* NewPageDocument(void* outer, const wchar_t* href);
void DeletePageDocument(PageDocument* document) noexcept;

// The document's IHTMLDocument2, IHTMLDocument or IDispatch (the container's reference count
// raised), or null for other interfaces.
void* PageDocumentInterface(PageDocument* document, REFIID riid) noexcept;

}  // namespace kv::browser
