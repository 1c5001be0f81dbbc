// kvkit table, render and story-arrives: the story control hosted in the page host against the
// client registered as "Korvane", as a channel page sees it.
//
//   table <page address> [--sort EXPR] [--embellish N] [--format raw|html] [--data <folder>]
//         [--columns A,B,...] [--all]
//   render <page file> [--out <file>] [--address <page address>] [--data <folder>]
//   story-arrives <page address> --title TEXT [--url URL] [--set NAME=VALUE]... [--data <folder>]
//         [--sort EXPR] [--columns A,B,...]
//
// --data loads the client's state from <folder>\client-state.txt first (the client stand-in's
// IClientControl::LoadState). The table hides the control's INTERNAL_* columns unless --all.
#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client_control.h"
#include "korvane_client.h"
#include "platform/com_object.h"
#include "platform/raii.h"
#include "platform/text.h"
#include "standins/browser/page_host.h"
#include "tools/kvkit/channel_page.h"
#include "tools/kvkit/page_template.h"

namespace kv::kvkit {
namespace {

using browser::DataBinding;
using browser::PageHost;

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void Line(const std::wstring& text) {
    std::fputs(ToAnsi(text + L"\n").c_str(), stdout);
    std::fflush(stdout);
}

std::wstring HexCode(HRESULT hr) {
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return code;
}

struct Options {
    std::wstring target;  // the page address or page file
    std::wstring sort, embellish, format = L"raw", data, out, address, title, url, subscribe;
    std::vector<std::wstring> columns;
    std::vector<std::pair<std::wstring, std::wstring>> properties;  // --set NAME=VALUE
    bool all = false;
};

std::vector<std::wstring> SplitCommas(const std::wstring& text) {
    std::vector<std::wstring> out;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(L',', start);
        std::wstring item = text.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
        if (!item.empty()) out.push_back(item);
        if (comma == std::wstring::npos) return out;
        start = comma + 1;
    }
}

Options ParseOptions(const std::vector<std::wstring>& args, std::initializer_list<const wchar_t*> allowed) {
    Options o;
    auto isAllowed = [&](const std::wstring& name) {
        for (const wchar_t* a : allowed)
            if (name == a) return true;
        return false;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        if (a.rfind(L"--", 0) != 0) {
            if (!o.target.empty()) throw UsageError("more than one page given: " + ToAnsi(a));
            o.target = a;
            continue;
        }
        if (!isAllowed(a)) throw UsageError("unknown option " + ToAnsi(a));
        if (a == L"--all") {
            o.all = true;
            continue;
        }
        if (i + 1 >= args.size()) throw UsageError(ToAnsi(a) + " needs a value");
        const std::wstring& v = args[++i];
        if (a == L"--sort") o.sort = v;
        else if (a == L"--embellish") o.embellish = v;
        else if (a == L"--format") o.format = v;
        else if (a == L"--data") o.data = v;
        else if (a == L"--out") o.out = v;
        else if (a == L"--address") o.address = v;
        else if (a == L"--title") o.title = v;
        else if (a == L"--url") o.url = v;
        else if (a == L"--subscribe") o.subscribe = v;
        else if (a == L"--columns") o.columns = SplitCommas(v);
        else if (a == L"--set") {
            size_t equals = v.find(L'=');
            if (equals == 0 || equals == std::wstring::npos) throw UsageError("--set takes NAME=VALUE");
            o.properties.emplace_back(v.substr(0, equals), v.substr(equals + 1));
        }
    }
    if (o.target.empty()) throw UsageError("no page given");
    if (o.format != L"raw" && o.format != L"html") throw UsageError("--format is raw or html");
    if (!o.embellish.empty() && o.embellish.find_first_not_of(L"0123456789") != std::wstring::npos)
        throw UsageError("--embellish takes a number (1 read, 2 alerted, 4 size)");
    if (!o.subscribe.empty() && (o.subscribe.size() > 9 || o.subscribe.find_first_not_of(L"0123456789") != std::wstring::npos))
        throw UsageError("--subscribe takes an entry id");
    return o;
}

// The client registered as "Korvane", its state loaded from `dataFolder` when one is given.
// Kept for the whole command: the control finds the same client state through it.
struct Client {
    explicit Client(const std::wstring& dataFolder) {
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(L"Korvane", &clsid);
        if (SUCCEEDED(hr))
            hr = CoCreateInstance(clsid, nullptr, 0x17, IID_IUnknown, reinterpret_cast<void**>(app.GetAddressOf()));
        if (SUCCEEDED(hr)) hr = OleRun(app.Get());
        if (FAILED(hr)) throw std::runtime_error("the Korvane client cannot be created: " + ToAnsi(HexCode(hr)));
        if (FAILED(app.As(&control))) control.Reset();
        if (dataFolder.empty()) return;
        if (!control) throw std::runtime_error("--data needs the client stand-in, whose state kvkit can load");
        hr = control->LoadState(Bstr(dataFolder).get());
        if (FAILED(hr))
            throw std::runtime_error("cannot load the client state " + ToAnsi(dataFolder) + "\\client-state.txt: " +
                                     ToAnsi(HexCode(hr)));
    }
    ComPtr<IUnknown> app;
    ComPtr<IClientControl> control;
};

// The directory control's class.
const wchar_t kDirectoryControlClsid[] = L"F59438EF-85BD-11D1-9D7D-00C0F018612C";

// The control on the page, bound. A page that binds to no channel is an error that says so.
DataBinding& HostAndBind(PageHost& page, const browser::ParamList& params, OSPFORMAT format,
                         const wchar_t* clsid = kStoryControlClsid, const char* what = "story control",
                         const char* hint = "is the page inside a channel's folder?") {
    page.Create(std::wstring(L"{") + clsid + L"}", params);
    try {
        DataBinding& binding = page.Bind(format);
        Variant autoReset = page.Get(L"AutoReset");
        if (autoReset.vt() == VT_BOOL && !autoReset->boolVal) {
            // The page's own script would reset it on load; scripts do not run here.
            page.Call(L"Reset", {Variant::Bool(true)});
            page.PumpUntilIdle(1000);
        }
        return binding;
    } catch (const browser::PageHostError& e) {
        throw std::runtime_error(std::string("the ") + what + " has no table for " + ToAnsi(page.Address()) + " (" +
                                 hint + "): " + e.what());
    } catch (const HResultError& e) {
        throw std::runtime_error(std::string("the ") + what + " has no table for " + ToAnsi(page.Address()) + ": " +
                                 ToAnsi(HexCode(e.Code())));
    }
}

std::wstring CellText(const VARIANT& value) {
    if (value.vt == VT_BOOL) return value.boolVal ? L"true" : L"false";
    if (value.vt == VT_EMPTY || value.vt == VT_NULL) return {};
    Variant text(value);
    if (text.vt() != VT_BSTR && FAILED(VariantChangeTypeEx(text.get(), text.get(), LOCALE_INVARIANT, 0, VT_BSTR)))
        return L"?";
    return text->bstrVal ? std::wstring(text->bstrVal, SysStringLen(text->bstrVal)) : std::wstring();
}

void PrintTable(const DataBinding& b, const Options& o) {
    std::vector<LONG> shown;
    LONG hidden = 0;
    if (!o.columns.empty()) {
        for (const auto& name : o.columns) {
            LONG c = b.ColumnOf(name);
            if (!c) throw UsageError("the table has no column " + ToAnsi(name));
            shown.push_back(c);
        }
    } else {
        for (LONG c = 1; c <= b.ColumnCount(); ++c) {
            if (!o.all && b.CellText(0, c).rfind(L"INTERNAL_", 0) == 0) {
                ++hidden;
                continue;
            }
            shown.push_back(c);
        }
    }
    constexpr size_t kWidest = 40;
    auto clip = [](std::wstring text) {
        for (auto& ch : text)
            if (ch == L'\r' || ch == L'\n' || ch == L'\t') ch = L' ';
        return text.size() > kWidest ? text.substr(0, kWidest - 3) + L"..." : text;
    };
    std::vector<std::vector<std::wstring>> rows;
    for (LONG r = 0; r <= b.RowCount(); ++r) {
        std::vector<std::wstring> row;
        for (LONG c : shown) row.push_back(clip(CellText(*b.Cell(r, c).get())));
        rows.push_back(std::move(row));
    }
    std::vector<size_t> width(shown.size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
    for (const auto& row : rows) {
        std::wstring line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::wstring(width[i] - row[i].size() + 2, L' ');
        }
        line.erase(line.find_last_not_of(L' ') + 1);
        Line(L"  " + line);
    }
    std::wstring note = std::to_wstring(b.RowCount()) + L" row" + (b.RowCount() == 1 ? L"" : L"s");
    if (hidden) note += L"; " + std::to_wstring(hidden) + L" INTERNAL_ columns hidden (--all shows them)";
    Line(L"  (" + note + L")");
}

browser::ParamList ControlParams(const Options& o) {
    browser::ParamList params;
    if (!o.sort.empty()) params.push_back(browser::TextParam(L"Sort", o.sort));
    if (!o.embellish.empty()) params.push_back(browser::TextParam(L"Embellish", o.embellish));
    return params;
}

std::wstring FullPath(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (!size) return path;
    std::wstring full(size, L'\0');
    size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    full.resize(size);
    return full;
}

std::wstring ReadTextFile(const std::wstring& path) {
    UniqueHandleObj file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + ToAnsi(path));
    LARGE_INTEGER size{};
    GetFileSizeEx(file.get(), &size);
    if (size.QuadPart > 64 * 1024 * 1024) throw std::runtime_error(ToAnsi(path) + " is too large for a page");
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                           read != bytes.size()))
        throw std::runtime_error("cannot read " + ToAnsi(path));
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
    if (bytes.empty()) return {};
    // UTF-8 when it is valid UTF-8, else the system code page.
    for (UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        int n = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        if (n <= 0) continue;
        std::wstring text(n, L'\0');
        MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
        return text;
    }
    throw std::runtime_error("cannot decode " + ToAnsi(path));
}

void WriteUtf8File(const std::wstring& path, const std::wstring& text) {
    std::string bytes;
    if (!text.empty()) {
        int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        bytes.resize(n);
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    }
    UniqueHandleObj file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write " + ToAnsi(path));
    DWORD written = 0;
    if (!bytes.empty() && (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                           written != bytes.size()))
        throw std::runtime_error("cannot write " + ToAnsi(path));
}

// "C:\x\index.htm" -> "C:\x\index"
std::wstring WithoutExtension(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    size_t dot = path.find_last_of(L'.');
    return dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash) ? path : path.substr(0, dot);
}

// "C:\x\index.htm" -> "C:\x\index.static.htm"
std::wstring DefaultOutput(const std::wstring& page) {
    size_t slash = page.find_last_of(L"\\/");
    size_t dot = page.find_last_of(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return page + L".static.htm";
    return page.substr(0, dot) + L".static" + page.substr(dot);
}

// Images that a cell names inside a module ("res://C:\\...\\KvDC.dll/#17", an RT_HTML resource by
// number or name), written once each as files beside the static page, which no browser of today
// reads from a module. `stem` is the static page's path without its extension.
class ImageFiles {
public:
    explicit ImageFiles(std::wstring stem) : stem_(std::move(stem)) {}

    // The address to write instead of `address`: the file's name (relative to the page) for an
    // image in a module, else the address itself.
    std::wstring Local(const std::wstring& address) {
        if (CompareStringOrdinal(address.c_str(), std::min<int>(6, static_cast<int>(address.size())), L"res://", 6,
                                 TRUE) != CSTR_EQUAL)
            return address;
        if (auto done = written_.find(address); done != written_.end()) return done->second;
        std::wstring local = address;
        try {
            local = Write(address.substr(6));
        } catch (const std::exception& e) {
            warnings_.push_back(L"the image " + address + L" is left as it is: " + ToWide(e.what()));
        }
        written_.emplace(address, local);
        return local;
    }
    const std::vector<std::wstring>& Warnings() const { return warnings_; }

private:
    std::wstring Write(const std::wstring& where) {
        size_t slash = where.find_last_of(L'/');
        if (slash == std::wstring::npos || slash + 1 == where.size()) throw std::runtime_error("it names no resource");
        std::wstring module = where.substr(0, slash), name = where.substr(slash + 1);
        UniqueModule dll(LoadLibraryExW(module.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        if (!dll) throw std::runtime_error("cannot open " + ToAnsi(module));
        bool numbered = name[0] == L'#' && name.size() > 1 && name.find_first_not_of(L"0123456789", 1) == std::wstring::npos;
        const wchar_t* id = numbered ? MAKEINTRESOURCEW(std::stoi(name.substr(1))) : name.c_str();
        HRSRC found = FindResourceW(dll.get(), id, MAKEINTRESOURCEW(23));  // RT_HTML
        HGLOBAL loaded = found ? LoadResource(dll.get(), found) : nullptr;
        const void* bytes = loaded ? LockResource(loaded) : nullptr;
        DWORD size = found ? SizeofResource(dll.get(), found) : 0;
        if (!bytes) throw std::runtime_error("no image " + ToAnsi(name) + " in " + ToAnsi(module));

        std::wstring file = stem_ + L"-" + (numbered ? name.substr(1) : name) + Extension(bytes, size);
        UniqueHandleObj out(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        if (out.get() == INVALID_HANDLE_VALUE || !WriteFile(out.get(), bytes, size, &written, nullptr) || written != size)
            throw std::runtime_error("cannot write " + ToAnsi(file));
        return UrlPart(file.substr(file.find_last_of(L"\\/") + 1));
    }
    static const wchar_t* Extension(const void* bytes, DWORD size) {
        std::string_view head(static_cast<const char*>(bytes), std::min<DWORD>(size, 8));
        if (head.rfind("GIF8", 0) == 0) return L".gif";
        if (head.rfind("\x89PNG", 0) == 0) return L".png";
        if (head.rfind("\xFF\xD8", 0) == 0) return L".jpg";
        if (head.rfind("BM", 0) == 0) return L".bmp";
        return L".bin";
    }
    // A file name as one segment of a relative address.
    static std::wstring UrlPart(const std::wstring& name) {
        std::wstring out;
        for (wchar_t c : name) {
            if (iswalnum(c) || wcschr(L"-._~", c)) {
                out += c;
            } else {
                std::string utf8 = ToAnsi(std::wstring(1, c), CP_UTF8);
                for (unsigned char b : utf8) {
                    wchar_t hex[4];
                    swprintf(hex, 4, L"%%%02X", b);
                    out += hex;
                }
            }
        }
        return out;
    }

    std::wstring stem_;
    std::map<std::wstring, std::wstring> written_;
    std::vector<std::wstring> warnings_;
};

class BindingSource : public TableSource {
public:
    BindingSource(DataBinding& binding, ImageFiles* images = nullptr) : binding_(binding), images_(images) {}
    int RowCount() override { return binding_.RowCount(); }
    bool HasColumn(std::wstring_view name) override { return binding_.ColumnOf(name) != 0; }
    std::wstring Cell(int row, std::wstring_view column, Use use) override {
        Variant value;
        OSPFORMAT format = use == Use::kHtml ? OSPFORMAT_HTML : use == Use::kText ? OSPFORMAT_FORMATTED : OSPFORMAT_RAW;
        HRESULT hr = binding_.Provider()->getVariant(row, binding_.ColumnOf(column), format, value.get());
        if (FAILED(hr)) throw std::runtime_error("the control could not give row " + std::to_string(row) + " " +
                                                 ToAnsi(std::wstring(column)) + ": " + ToAnsi(HexCode(hr)));
        std::wstring text = CellText(*value.get());
        return use == Use::kAttribute && images_ ? images_->Local(text) : text;
    }

private:
    DataBinding& binding_;
    ImageFiles* images_;
};

// The largest story id of the channel, from a story snapshot ([0] channel id, [1] and [2]
// arrays of ids, names and values).
LONG LargestStoryId(IClientChannel2* channel) {
    Variant snapshot;
    ThrowIfFailed(channel->GetStorySnapshot(1, 1, snapshot.get()));
    LONG largest = 0;
    for (LONG part = 1; part <= 2; ++part) {
        Variant arrays, ids;
        ThrowIfFailed(SafeArrayGetElement(snapshot->parray, &part, arrays.get()));
        LONG zero = 0;
        ThrowIfFailed(SafeArrayGetElement(arrays->parray, &zero, ids.get()));
        LONG lo = 0, hi = -1;
        SafeArrayGetLBound(ids->parray, 1, &lo);
        SafeArrayGetUBound(ids->parray, 1, &hi);
        for (LONG i = lo; i <= hi; ++i) {
            LONG id = 0;
            ThrowIfFailed(SafeArrayGetElement(ids->parray, &i, &id));
            largest = std::max(largest, id);
        }
    }
    return largest;
}

int Table(const Options& o) {
    Client client(o.data);
    PageHost page(o.target);
    DataBinding& binding = HostAndBind(page, ControlParams(o), o.format == L"html" ? OSPFORMAT_HTML : OSPFORMAT_RAW);
    Line(L"Stories of the channel of " + page.Address() + L", as the page's data binding reads them (" + o.format + L"):");
    PrintTable(binding, o);
    return 0;
}

// The directory control on a page: its table, and with --subscribe a subscription made by
// ticking the entry's bound check box, as a user of the page does.
int Directory(const Options& o) {
    Client client(o.data);
    PageHost page(o.target);
    DataBinding& binding =
        HostAndBind(page, ControlParams(o), o.format == L"html" ? OSPFORMAT_HTML : OSPFORMAT_RAW, kDirectoryControlClsid,
                    "directory control", "is the page the directory channel's own page?");
    Line(L"The channel directory, as the data binding of " + page.Address() + L" reads it (" + o.format + L"):");
    PrintTable(binding, o);
    if (o.subscribe.empty()) return 0;

    LONG id = std::stol(o.subscribe), row = 0;
    LONG idColumn = binding.ColumnOf(L"CHANNEL_ID"), box = binding.ColumnOf(L"IS_SUBSCRIBED");
    for (LONG r = 1; r <= binding.RowCount() && !row; ++r) {
        Variant cell;  // the raw id: the binding's own copy may be decorated
        if (SUCCEEDED(binding.Provider()->getVariant(r, idColumn, OSPFORMAT_RAW, cell.get())) &&
            CellText(*cell.get()) == o.subscribe)
            row = r;
    }
    if (!row) throw std::runtime_error("the directory shows no entry " + ToAnsi(o.subscribe));
    HRESULT hr = binding.CheckBox(row, box, true);
    if (FAILED(hr)) throw std::runtime_error("subscribing failed: " + ToAnsi(HexCode(hr)));
    page.PumpUntilIdle(500);
    Variant now;
    binding.Provider()->getVariant(row, box, OSPFORMAT_RAW, now.get());
    Line(L"Ticked the IS_SUBSCRIBED box of entry " + std::to_wstring(id) + L" (row " + std::to_wstring(row) +
         L"): the cell now reads " + CellText(*now.get()));
    return 0;
}

int Render(const Options& o) {
    std::wstring file = FullPath(o.target);
    std::wstring out = o.out.empty() ? DefaultOutput(file) : FullPath(o.out);
    if (CompareStringOrdinal(out.c_str(), -1, file.c_str(), -1, TRUE) == CSTR_EQUAL)
        throw UsageError("--out names the page itself, which would be lost");
    std::wstring text = ReadTextFile(file);
    PageControl control;
    try {
        control = FindBoundControl(text);
    } catch (const PageError& e) {
        throw std::runtime_error(ToAnsi(file) + ", " + e.what());
    }
    browser::ParamList params;
    for (const auto& [name, value] : control.params) params.push_back(browser::TextParam(name, value));
    Client client(o.data);
    PageHost page(o.address.empty() ? file : o.address);
    DataBinding& binding = HostAndBind(page, params, OSPFORMAT_FORMATTED);
    ImageFiles images(WithoutExtension(out));
    BindingSource source(binding, &images);
    std::vector<std::wstring> warnings;
    std::wstring rendered;
    try {
        rendered = RenderStaticPage(text, source, &warnings);
    } catch (const PageError& e) {
        throw std::runtime_error(ToAnsi(file) + ", " + e.what());
    }
    WriteUtf8File(out, rendered);
    for (const auto& w : images.Warnings()) Line(L"warning: " + w);
    for (const auto& w : warnings) Line(L"warning: " + w);
    Line(L"Rendered " + file + L" (#" + control.id + L", " + std::to_wstring(binding.RowCount()) + L" stories) to " + out);
    return 0;
}

int StoryArrives(const Options& o) {
    if (o.title.empty()) throw UsageError("story-arrives needs --title");
    Client client(o.data);
    if (!client.control) throw std::runtime_error("story-arrives needs the client stand-in, which can add stories");
    PageHost page(o.target);
    DataBinding& binding = HostAndBind(page, ControlParams(o), OSPFORMAT_RAW);

    Variant channelValue = page.Get(L"Channel");
    ComPtr<IClientChannel2> channel;
    if (channelValue.vt() != VT_DISPATCH || !channelValue->pdispVal ||
        FAILED(channelValue->pdispVal->QueryInterface(IID_IClientChannel2, reinterpret_cast<void**>(channel.GetAddressOf()))))
        throw std::runtime_error("the control gives no channel for " + ToAnsi(page.Address()));
    LONG channelId = 0;
    ThrowIfFailed(channel->GetId(&channelId));
    Bstr name;
    channel->GetName(name.put());
    LONG story = LargestStoryId(channel.Get()) + 1;

    auto set = [&](const wchar_t* property, const std::wstring& value) {
        ThrowIfFailed(client.control->SetStoryProperty(channelId, story, Bstr(property).get(), Bstr(value).get(), 1));
    };
    set(L"TITLE", o.title);
    set(L"READ", L"0");
    set(L"ALERTED", L"0");
    if (!o.url.empty()) set(L"URL", o.url);
    for (const auto& [property, value] : o.properties) set(property.c_str(), value);

    page.PumpUntilIdle(300);  // what binding sent the page comes first
    page.ClearEvents();
    page.PrintEvents([](const std::wstring& event) { Line(L"  the page's event: " + event); });
    LONG rowsBefore = binding.RowCount();
    LONG delivered = 0;
    ThrowIfFailed(client.control->FireStoriesAdded(channelId, *Variant::I4(story).get(), &delivered));
    Line(L"The client adds story " + std::to_wstring(story) + L" \"" + o.title + L"\" to channel " +
         std::to_wstring(channelId) + L" \"" + name.str() + L"\" (" + std::to_wstring(delivered) + L" sink" +
         (delivered == 1 ? L"" : L"s") + L" told)");
    auto arrived = [&] {
        for (const auto& e : page.Events())
            if (e.name == L"OnNewStory") return true;
        return false;
    };
    if (!page.PumpUntil(arrived, 5000)) {
        Line(L"The page saw no OnNewStory within 5 s (the page may filter the story out)");
        return 1;
    }
    page.PumpUntilIdle(300);
    Line(L"The table after it (" + std::to_wstring(rowsBefore) + L" rows before):");
    PrintTable(binding, o);
    return 0;
}

}  // namespace

int ChannelPageCommand(const std::wstring& command, const std::vector<std::wstring>& args) {
    try {
        if (command == L"table")
            return Table(ParseOptions(args, {L"--sort", L"--embellish", L"--format", L"--data", L"--columns", L"--all"}));
        if (command == L"directory")
            return Directory(ParseOptions(
                args, {L"--sort", L"--embellish", L"--format", L"--data", L"--columns", L"--all", L"--subscribe"}));
        if (command == L"render") return Render(ParseOptions(args, {L"--out", L"--address", L"--data"}));
        if (command == L"story-arrives")
            return StoryArrives(
                ParseOptions(args, {L"--title", L"--url", L"--set", L"--data", L"--sort", L"--embellish", L"--columns", L"--all"}));
        return 2;
    } catch (const UsageError& e) {
        Line(L"kvkit " + command + L": " + ToWide(e.what()));
        return 2;
    } catch (const browser::PageHostError& e) {
        Line(L"kvkit " + command + L": " + ToWide(e.what()));
        return 1;
    } catch (const HResultError& e) {
        Line(L"kvkit " + command + L": failed " + HexCode(e.Code()));
        return 1;
    } catch (const std::exception& e) {
        Line(L"kvkit " + command + L": " + ToWide(e.what()));
        return 1;
    } catch (...) {
        Line(L"kvkit " + command + L": failed " + HexCode(CaughtHResult()));
        return 1;
    }
}

}  // namespace kv::kvkit
