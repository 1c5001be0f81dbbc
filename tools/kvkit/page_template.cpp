#include "tools/kvkit/page_template.h"

#include <algorithm>
#include <cwctype>
#include <optional>

namespace kv::kvkit {
namespace {

struct Attribute {
    std::wstring name;  // as written
    std::wstring value;  // entities decoded
    bool hasValue = false;
};

struct Token {
    enum Kind { kText, kStart, kEnd, kComment, kDeclaration } kind = kText;
    size_t begin = 0, end = 0;  // the token's source text
    std::wstring name;  // upper case, tags only
    std::wstring rawName;
    std::vector<Attribute> attrs;
    bool selfClosing = false;
};

wchar_t Upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

std::wstring UpperText(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) c = Upper(c);
    return out;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return Upper(x) == Upper(y);
           });
}

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f'; }
bool IsNameStart(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }
bool IsNameChar(wchar_t c) { return IsNameStart(c) || (c >= L'0' && c <= L'9') || c == L'-' || c == L':' || c == L'_'; }

std::string Narrow(std::wstring_view text) {
    std::string out;
    for (wchar_t c : text) out += (c < 0x80) ? static_cast<char>(c) : '?';
    return out;
}

class Source {
public:
    explicit Source(std::wstring_view text) : text_(text) {}
    int LineOf(size_t offset) const {
        return 1 + static_cast<int>(std::count(text_.begin(), text_.begin() + std::min(offset, text_.size()), L'\n'));
    }
    [[noreturn]] void Fail(size_t offset, const std::string& what) const {
        throw PageError("line " + std::to_string(LineOf(offset)) + ": " + what);
    }
    std::wstring_view text_;
};

std::wstring DecodeEntities(std::wstring_view text) {
    static const std::pair<const wchar_t*, wchar_t> named[] = {
        {L"amp", L'&'}, {L"lt", L'<'}, {L"gt", L'>'}, {L"quot", L'"'}, {L"apos", L'\''}, {L"nbsp", 0xA0}};
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'&') {
            out += text[i];
            continue;
        }
        size_t semi = text.find(L';', i);
        if (semi == std::wstring_view::npos || semi - i > 10) {
            out += text[i];
            continue;
        }
        std::wstring_view ref = text.substr(i + 1, semi - i - 1);
        std::optional<unsigned long> code;
        if (ref.size() > 1 && ref[0] == L'#') {
            bool hex = ref[1] == L'x' || ref[1] == L'X';
            std::wstring digits(ref.substr(hex ? 2 : 1));
            wchar_t* stop = nullptr;
            unsigned long n = digits.empty() ? 0 : std::wcstoul(digits.c_str(), &stop, hex ? 16 : 10);
            if (!digits.empty() && stop && *stop == 0 && n > 0 && n < 0x10000) code = n;
        } else {
            for (const auto& [name, c] : named)
                if (ref == name) code = c;
        }
        if (!code) {
            out += text[i];
            continue;
        }
        out += static_cast<wchar_t>(*code);
        i = semi;
    }
    return out;
}

// Elements whose content is raw text up to their end tag.
bool IsRawText(std::wstring_view name) {
    return name == L"SCRIPT" || name == L"STYLE" || name == L"XMP" || name == L"TEXTAREA";
}

bool IsVoid(std::wstring_view name) {
    static const wchar_t* const kVoid[] = {L"IMG", L"INPUT", L"BR", L"HR", L"PARAM", L"META", L"LINK",
                                            L"AREA", L"BASE", L"COL", L"FRAME", L"EMBED", L"WBR"};
    return std::any_of(std::begin(kVoid), std::end(kVoid), [&](const wchar_t* v) { return name == v; });
}

std::vector<Token> Tokenize(const Source& src) {
    std::wstring_view s = src.text_;
    std::vector<Token> tokens;
    size_t i = 0, textStart = 0;
    auto flushText = [&](size_t upTo) {
        if (upTo > textStart) tokens.push_back({Token::kText, textStart, upTo, {}, {}, {}, false});
    };
    while (i < s.size()) {
        if (s[i] != L'<') {
            ++i;
            continue;
        }
        size_t open = i;
        if (s.substr(i, 4) == L"<!--") {
            size_t close = s.find(L"-->", i + 4);
            if (close == std::wstring_view::npos) src.Fail(open, "a comment that never ends (no -->)");
            flushText(open);
            tokens.push_back({Token::kComment, open, close + 3, {}, {}, {}, false});
            i = textStart = close + 3;
            continue;
        }
        if (i + 1 < s.size() && (s[i + 1] == L'!' || s[i + 1] == L'?')) {
            size_t close = s.find(L'>', i);
            if (close == std::wstring_view::npos) src.Fail(open, "a declaration that never ends (no >)");
            flushText(open);
            tokens.push_back({Token::kDeclaration, open, close + 1, {}, {}, {}, false});
            i = textStart = close + 1;
            continue;
        }
        bool endTag = i + 1 < s.size() && s[i + 1] == L'/';
        size_t nameAt = i + (endTag ? 2 : 1);
        if (nameAt >= s.size() || !IsNameStart(s[nameAt])) {
            ++i;  // a lone '<' is text
            continue;
        }
        flushText(open);
        Token t;
        t.kind = endTag ? Token::kEnd : Token::kStart;
        t.begin = open;
        size_t p = nameAt;
        while (p < s.size() && IsNameChar(s[p])) ++p;
        t.rawName = std::wstring(s.substr(nameAt, p - nameAt));
        t.name = UpperText(t.rawName);
        std::string tagText = "<" + std::string(endTag ? "/" : "") + Narrow(t.rawName) + ">";
        for (;;) {
            while (p < s.size() && IsSpace(s[p])) ++p;
            if (p >= s.size()) src.Fail(open, "the tag " + tagText + " never ends (no >)");
            if (s[p] == L'>') {
                ++p;
                break;
            }
            if (s[p] == L'/') {
                if (p + 1 < s.size() && s[p + 1] == L'>') {
                    t.selfClosing = true;
                    p += 2;
                    break;
                }
                ++p;
                continue;
            }
            if (s[p] == L'<') src.Fail(open, "the tag " + tagText + " never ends (a new tag starts inside it)");
            size_t an = p;
            while (p < s.size() && !IsSpace(s[p]) && s[p] != L'=' && s[p] != L'>' && s[p] != L'<' &&
                   !(s[p] == L'/' && p + 1 < s.size() && s[p + 1] == L'>'))
                ++p;
            Attribute a;
            a.name = std::wstring(s.substr(an, p - an));
            size_t q = p;
            while (q < s.size() && IsSpace(s[q])) ++q;
            if (q < s.size() && s[q] == L'=') {
                ++q;
                while (q < s.size() && IsSpace(s[q])) ++q;
                if (q >= s.size()) src.Fail(open, "the tag " + tagText + " never ends (no >)");
                a.hasValue = true;
                if (s[q] == L'"' || s[q] == L'\'') {
                    size_t close = s.find(s[q], q + 1);
                    if (close == std::wstring_view::npos)
                        src.Fail(q, "the quoted value of " + Narrow(a.name) + " in " + tagText + " never ends");
                    a.value = DecodeEntities(s.substr(q + 1, close - q - 1));
                    p = close + 1;
                } else {
                    size_t v = q;
                    while (q < s.size() && !IsSpace(s[q]) && s[q] != L'>' && s[q] != L'<') ++q;
                    a.value = DecodeEntities(s.substr(v, q - v));
                    p = q;
                }
            }
            if (!a.name.empty()) t.attrs.push_back(std::move(a));
        }
        t.end = p;
        tokens.push_back(t);
        i = textStart = p;
        if (t.kind == Token::kStart && IsRawText(t.name) && !t.selfClosing) {
            // Raw text up to the matching end tag, whatever it holds.
            size_t k = i;
            for (;;) {
                k = s.find(L"</", k);
                if (k == std::wstring_view::npos) src.Fail(open, "the element " + tagText + " never ends (no </" + Narrow(t.rawName) + ">)");
                if (SameName(s.substr(k + 2, std::min(t.name.size(), s.size() - k - 2)), t.name) &&
                    (k + 2 + t.name.size() >= s.size() || !IsNameChar(s[k + 2 + t.name.size()])))
                    break;
                k += 2;
            }
            flushText(k);
            i = textStart = k;
        }
    }
    flushText(s.size());
    return tokens;
}

const Attribute* FindAttr(const Token& t, std::wstring_view name) {
    for (const auto& a : t.attrs)
        if (SameName(a.name, name)) return &a;
    return nullptr;
}

std::wstring AttrValue(const Token& t, std::wstring_view name) {
    const Attribute* a = FindAttr(t, name);
    return a ? a->value : std::wstring();
}

std::wstring EscapeAttr(std::wstring_view text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'&') out += L"&amp;";
        else if (c == L'"') out += L"&quot;";
        else if (c == L'<') out += L"&lt;";
        else out += c;
    }
    return out;
}

// The start tag rebuilt without the binding attributes, with `set` (name, value) replacing or
// adding one attribute.
std::wstring RebuildTag(const Token& t, const std::pair<std::wstring, std::wstring>* set = nullptr) {
    std::wstring out = L"<" + t.rawName;
    bool setDone = false;
    for (const auto& a : t.attrs) {
        if (SameName(a.name, L"DATAFLD") || SameName(a.name, L"DATASRC") || SameName(a.name, L"DATAFORMATAS") ||
            SameName(a.name, L"DATAPAGESIZE"))
            continue;
        if (set && SameName(a.name, set->first)) {
            if (!setDone) out += L" " + a.name + L"=\"" + EscapeAttr(set->second) + L"\"";
            setDone = true;
            continue;
        }
        out += L" " + a.name;
        if (a.hasValue) out += L"=\"" + EscapeAttr(a.value) + L"\"";
    }
    if (set && !setDone) out += L" " + set->first + L"=\"" + EscapeAttr(set->second) + L"\"";
    if (t.selfClosing) out += L" /";
    return out + L">";
}

// The index of the end tag that closes the element opened at `open`, looking no further than
// `limit`; nesting of the same name is followed. npos when there is none.
size_t MatchingEnd(const std::vector<Token>& tokens, size_t open, size_t limit) {
    const std::wstring& name = tokens[open].name;
    int depth = 0;
    for (size_t k = open + 1; k < limit; ++k) {
        const Token& t = tokens[k];
        if (t.name != name) continue;
        if (t.kind == Token::kStart && !t.selfClosing) ++depth;
        else if (t.kind == Token::kEnd && depth-- == 0) return k;
    }
    return std::wstring::npos;
}

bool IsStoryControl(const Token& object) {
    std::wstring clsid = UpperText(AttrValue(object, L"CLASSID"));
    return clsid == L"CLSID:" + std::wstring(kStoryControlClsid);
}

struct Page {
    explicit Page(std::wstring_view text) : src(text), tokens(Tokenize(src)) {}
    std::string Tag(size_t k) const { return "<" + Narrow(tokens[k].rawName) + "> at line " + std::to_string(src.LineOf(tokens[k].begin)); }

    Source src;
    std::vector<Token> tokens;
};

struct BoundTable {
    size_t open = 0, close = 0;
    std::wstring target;  // the DATASRC id, without '#'
};

std::vector<BoundTable> BoundTables(const Page& page) {
    std::vector<BoundTable> tables;
    const auto& tokens = page.tokens;
    for (size_t k = 0; k < tokens.size(); ++k) {
        const Token& t = tokens[k];
        if (t.kind != Token::kStart || t.name != L"TABLE" || !FindAttr(t, L"DATASRC")) continue;
        std::wstring src = AttrValue(t, L"DATASRC");
        if (src.size() < 2 || src[0] != L'#')
            throw PageError(page.Tag(k) + ": DATASRC=\"" + Narrow(src) + "\" does not name an element (\"#id\")");
        size_t close = MatchingEnd(tokens, k, tokens.size());
        if (close == std::wstring::npos) throw PageError(page.Tag(k) + " has no </TABLE>");
        for (size_t n = k + 1; n < close; ++n)
            if (tokens[n].kind == Token::kStart && tokens[n].name == L"TABLE" && FindAttr(tokens[n], L"DATASRC"))
                throw PageError(page.Tag(n) + ": a data-bound table inside another one is not supported");
        tables.push_back({k, close, src.substr(1)});
        k = close;
    }
    return tables;
}

// The OBJECT element with ID `id`: its start and end token.
std::pair<size_t, size_t> FindObject(const Page& page, std::wstring_view id) {
    const auto& tokens = page.tokens;
    for (size_t k = 0; k < tokens.size(); ++k) {
        const Token& t = tokens[k];
        if (t.kind == Token::kStart && t.name == L"OBJECT" && SameName(AttrValue(t, L"ID"), id)) {
            size_t close = t.selfClosing ? k : MatchingEnd(tokens, k, tokens.size());
            if (close == std::wstring::npos) throw PageError(page.Tag(k) + " has no </OBJECT>");
            return {k, close};
        }
    }
    return {std::wstring::npos, std::wstring::npos};
}

std::wstring TargetOf(const Page& page) {
    auto tables = BoundTables(page);
    if (tables.empty()) throw PageError("the page has no data-bound table (TABLE DATASRC=\"#id\")");
    for (const auto& table : tables) {
        if (!SameName(table.target, tables[0].target))
            throw PageError(page.Tag(table.open) + ": the page's tables read more than one control (#" +
                            Narrow(tables[0].target) + ", #" + Narrow(table.target) + "); one is supported");
        auto [object, end] = FindObject(page, table.target);
        if (object == std::wstring::npos)
            throw PageError(page.Tag(table.open) + ": DATASRC=\"#" + Narrow(table.target) + "\" names no OBJECT of the page");
        if (!IsStoryControl(page.tokens[object]))
            throw PageError(page.Tag(object) + ": the OBJECT #" + Narrow(table.target) + " is not the story control (CLASSID=\"clsid:" +
                            Narrow(kStoryControlClsid) + "\")");
    }
    return tables[0].target;
}

class Renderer {
public:
    Renderer(const Page& page, TableSource& source, std::vector<std::wstring>* warnings)
        : page_(page), source_(source), warnings_(warnings) {}

    std::wstring Run() {
        auto tables = BoundTables(page_);
        const auto& tokens = page_.tokens;
        std::wstring out;
        size_t nextTable = 0;
        for (size_t k = 0; k < tokens.size(); ++k) {
            const Token& t = tokens[k];
            if (nextTable < tables.size() && k == tables[nextTable].open) {
                out += Table(tables[nextTable]);
                k = tables[nextTable++].close;
                continue;
            }
            if (t.kind == Token::kStart && t.name == L"SCRIPT") {
                size_t close = t.selfClosing ? k : MatchingEnd(tokens, k, tokens.size());
                if (close == std::wstring::npos) throw PageError(page_.Tag(k) + " has no </SCRIPT>");
                k = close;
                continue;
            }
            if (t.kind == Token::kStart && t.name == L"OBJECT" && IsStoryControl(t) && !t.selfClosing) {
                size_t close = MatchingEnd(tokens, k, tokens.size());
                if (close == std::wstring::npos) throw PageError(page_.Tag(k) + " has no </OBJECT>");
                k = close;
                continue;
            }
            if (t.kind == Token::kStart && t.name == L"OBJECT" && IsStoryControl(t)) continue;
            out += Text(t);
        }
        return out;
    }

private:
    std::wstring Text(const Token& t) const { return std::wstring(page_.src.text_.substr(t.begin, t.end - t.begin)); }

    // The end of a THEAD, TFOOT or CAPTION section that starts at `k`: its end tag, or the next
    // section of the same table when the page leaves the end tag out.
    size_t SectionEnd(size_t k, size_t limit) const {
        const auto& tokens = page_.tokens;
        int depth = 0;
        for (size_t n = k + 1; n < limit; ++n) {
            const Token& t = tokens[n];
            if (t.name == L"TABLE") depth += t.kind == Token::kStart ? 1 : -1;
            if (depth > 0) continue;
            if (t.kind == Token::kEnd && t.name == tokens[k].name) return n;
            if (t.kind == Token::kStart && (t.name == L"THEAD" || t.name == L"TBODY" || t.name == L"TFOOT")) return n - 1;
        }
        return limit - 1;
    }

    std::wstring Table(const BoundTable& table) {
        const auto& tokens = page_.tokens;
        std::vector<size_t> head, body, foot;
        for (size_t k = table.open + 1; k < table.close; ++k) {
            const Token& t = tokens[k];
            if (t.kind == Token::kStart && (t.name == L"THEAD" || t.name == L"TFOOT" || t.name == L"CAPTION")) {
                size_t end = SectionEnd(k, table.close);
                auto& part = t.name == L"TFOOT" ? foot : head;
                for (size_t n = k; n <= end; ++n) part.push_back(n);
                k = end;
                continue;
            }
            body.push_back(k);
        }
        std::wstring out = RebuildTag(tokens[table.open]);
        for (size_t n : head) out += Text(tokens[n]);
        int rows = source_.RowCount();
        for (int row = 1; row <= rows; ++row) out += Body(body, row);
        for (size_t n : foot) out += Text(tokens[n]);
        return out + Text(tokens[table.close]);
    }

    std::wstring Cell(const Token& t, int row, TableSource::Use use) {
        std::wstring column = AttrValue(t, L"DATAFLD");
        if (!source_.HasColumn(column)) {
            if (std::find(missing_.begin(), missing_.end(), UpperText(column)) == missing_.end()) {
                missing_.push_back(UpperText(column));
                if (warnings_) warnings_->push_back(L"DATAFLD=\"" + column + L"\" names no column of the table; its cells are empty");
            }
            return {};
        }
        return source_.Cell(row, column, use);
    }

    std::wstring Body(const std::vector<size_t>& body, int row) {
        const auto& tokens = page_.tokens;
        std::wstring out;
        for (size_t i = 0; i < body.size(); ++i) {
            const Token& t = tokens[body[i]];
            if (t.kind != Token::kStart || !FindAttr(t, L"DATAFLD")) {
                out += Text(t);
                continue;
            }
            const wchar_t* attribute = t.name == L"IMG" || t.name == L"FRAME" || t.name == L"IFRAME" ? L"SRC"
                                       : t.name == L"A"                                             ? L"HREF"
                                       : t.name == L"INPUT"                                         ? L"VALUE"
                                                                                                    : nullptr;
            if (attribute) {
                std::pair<std::wstring, std::wstring> set{attribute, Cell(t, row, TableSource::Use::kAttribute)};
                out += RebuildTag(t, &set);
                continue;
            }
            bool html = SameName(AttrValue(t, L"DATAFORMATAS"), L"html");
            std::wstring cell = Cell(t, row, html ? TableSource::Use::kHtml : TableSource::Use::kText);
            std::wstring content = html ? cell : EscapeHtml(cell);
            if (IsVoid(t.name)) {
                out += RebuildTag(t) + content;
                continue;
            }
            if (t.selfClosing) {  // <SPAN DATAFLD=X /> holds the cell all the same
                Token open = t;
                open.selfClosing = false;
                out += RebuildTag(open) + content + L"</" + t.rawName + L">";
                continue;
            }
            // The element's own content gives way to the cell, up to its end tag in this row.
            size_t end = std::wstring::npos;
            int depth = 0;
            for (size_t n = i + 1; n < body.size() && end == std::wstring::npos; ++n) {
                const Token& u = tokens[body[n]];
                if (u.name != t.name) continue;
                if (u.kind == Token::kStart && !u.selfClosing) ++depth;
                else if (u.kind == Token::kEnd && depth-- == 0) end = n;
            }
            if (end == std::wstring::npos)
                throw PageError(page_.Tag(body[i]) + " (DATAFLD=\"" + Narrow(AttrValue(t, L"DATAFLD")) + "\") has no </" +
                                Narrow(t.rawName) + "> inside its table");
            out += RebuildTag(t) + content + Text(tokens[body[end]]);
            i = end;
        }
        return out;
    }

    const Page& page_;
    TableSource& source_;
    std::vector<std::wstring>* warnings_;
    std::vector<std::wstring> missing_;
};

}  // namespace

std::wstring EscapeHtml(std::wstring_view text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'&') out += L"&amp;";
        else if (c == L'<') out += L"&lt;";
        else if (c == L'>') out += L"&gt;";
        else if (c == L'"') out += L"&quot;";
        else out += c;
    }
    return out;
}

PageControl FindBoundControl(std::wstring_view text) {
    Page page(text);
    std::wstring id = TargetOf(page);
    auto [object, end] = FindObject(page, id);
    PageControl control;
    control.id = AttrValue(page.tokens[object], L"ID");
    control.line = page.src.LineOf(page.tokens[object].begin);
    for (size_t k = object + 1; k < end; ++k) {
        const Token& t = page.tokens[k];
        if (t.kind == Token::kStart && t.name == L"PARAM" && FindAttr(t, L"NAME"))
            control.params.emplace_back(AttrValue(t, L"NAME"), AttrValue(t, L"VALUE"));
    }
    return control;
}

std::wstring RenderStaticPage(std::wstring_view text, TableSource& source, std::vector<std::wstring>* warnings) {
    Page page(text);
    TargetOf(page);
    return Renderer(page, source, warnings).Run();
}

}  // namespace kv::kvkit
