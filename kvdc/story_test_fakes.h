// Stand-ins for the client's story collection and story objects, a channel that hands them out,
// and a way to call a late-bound object as page script does. For the story control's tests.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <map>
#include <utility>
#include <vector>

#include "framework/test_fakes.h"
#include "platform/hresult_error.h"

namespace kv::testing {

constexpr const wchar_t* kClientErrorSource = L"Korvane test client";

// A failure as the client returns it: with its own error information on the thread.
inline HRESULT ClientError(HRESULT hr) { return SetErrorInfoFor(hr, __uuidof(IClientStory), kClientErrorSource); }

class FakeStory : public ComObject<FakeStory, NoDispatch<IClientStory>> {
public:
    explicit FakeStory(LONG id) : id_(id) {}
    HRESULT playResult = S_OK;
    std::vector<std::pair<LONG, LONG>> plays;  // (parent window, flags)

    STDMETHODIMP Play(LONG parent, LONG flags) override {
        if (FAILED(playResult)) return ClientError(playResult);
        plays.emplace_back(parent, flags);
        return S_OK;
    }
    STDMETHODIMP GetId(LONG* id) override {
        *id = id_;
        return S_OK;
    }

private:
    LONG id_;
};

// Stories by ID; an ID it does not hold is answered S_OK with no story.
class FakeStories : public ComObject<FakeStories, NoDispatch<IStoryCollection>> {
public:
    std::map<LONG, ComPtr<FakeStory>> stories;
    HRESULT itemResult = S_OK;
    std::vector<LONG> asked;

    STDMETHODIMP Item(VARIANT key, IClientStory** story) override {
        *story = nullptr;
        if (key.vt != VT_I4) return E_INVALIDARG;
        asked.push_back(key.lVal);
        if (FAILED(itemResult)) return ClientError(itemResult);
        auto it = stories.find(key.lVal);
        if (it != stories.end()) {
            *story = it->second.Get();
            (*story)->AddRef();
        }
        return S_OK;
    }
};

class StoryChannel : public FakeChannel {
public:
    ComPtr<FakeStories> stories = MakeObject<FakeStories>();
    HRESULT storiesResult = S_OK;
    HRESULT securityResult = S_OK;
    int storiesCalls = 0;

    ComPtr<FakeStory> AddStory(LONG id) { return stories->stories[id] = MakeObject<FakeStory>(id); }

    STDMETHODIMP GetStories(IStoryCollection** out) override {
        ++storiesCalls;
        *out = nullptr;
        if (FAILED(storiesResult)) return ClientError(storiesResult);
        if (stories) {
            *out = stories.Get();
            (*out)->AddRef();
        }
        return S_OK;
    }
    STDMETHODIMP GetSecurityFlags(LONG* out) override {
        *out = securityFlags;
        return FAILED(securityResult) ? ClientError(securityResult) : S_OK;
    }
};

// A top-level window of the test thread, made its active window for the object's lifetime.
class ActiveWindow {
public:
    ActiveWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KvStoryTestOwner";
        RegisterClassW(&wc);
        hwnd_.reset(CreateWindowW(wc.lpszClassName, L"Story test page", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                  200, 100, nullptr, nullptr, wc.hInstance, nullptr));
        SetActiveWindow(hwnd_.get());
    }
    HWND get() const noexcept { return hwnd_.get(); }

private:
    UniqueHwnd hwnd_;
};

// Invokes `id` with `args` (in script order); `result` may be null.
inline HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<Variant> args, VARIANT* result) {
    std::vector<VARIANT> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it->get());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    return object->Invoke(id, IID_NULL, 0, flags, &params, result, nullptr, nullptr);
}

// The source of the thread's error information (cleared by reading it), or "<none>".
inline std::wstring ErrorSource() {
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.GetAddressOf()) != S_OK || !info) return L"<none>";
    Bstr source;
    info->GetSource(source.put());
    return source.str();
}

}  // namespace kv::testing
