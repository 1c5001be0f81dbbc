// A channel page as kvkit reads it: the story control's OBJECT with its PARAMs, and the tables
// bound to it (TABLE DATASRC="#id" whose body rows repeat once per record, elements inside with
// DATAFLD and DATAFORMATAS="html"), rendered into a static page.
//
// The parser is our own and small: tags with attributes (quoted with " or ', or unquoted),
// comments, raw text inside SCRIPT and STYLE; names compared without regard to case. It never
// trusts the page: a tag, quote, comment or element that does not end, or a table bound to
// something that is not the story control, is a PageError whose text names the line.
// Pure functions; any thread.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::kvkit {

class PageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The story control's class id as a page writes it after "clsid:".
inline constexpr wchar_t kStoryControlClsid[] = L"60FB349E-0CD8-11D1-9D7B-00C0F018612C";

struct PageControl {
    std::wstring id;  // the OBJECT's ID, which DATASRC names after '#'
    std::vector<std::pair<std::wstring, std::wstring>> params;  // PARAM NAME and VALUE, in order
    int line = 0;
};

// The story control the page's data-bound tables read. Throws PageError when the page has no
// data-bound table, a table names no OBJECT of the page or one that is not the story control,
// or tables name more than one control.
PageControl FindBoundControl(std::wstring_view page);

// The records a bound table repeats its body for.
class TableSource {
public:
    virtual ~TableSource() = default;
    virtual int RowCount() = 0;
    virtual bool HasColumn(std::wstring_view name) = 0;
    // How a cell is used: as an attribute's value (an IMG's SRC: the raw value as text), as an
    // element's text, or as its HTML (DATAFORMATAS="html").
    enum class Use { kAttribute, kText, kHtml };
    // row is 1-based.
    virtual std::wstring Cell(int row, std::wstring_view column, Use use) = 0;
};

// The page with each table bound to the control written out: its header and footer sections
// once, its body once per record, each DATAFLD element's content replaced by the cell (HTML
// cells as HTML, text cells escaped; an IMG's SRC, an A's HREF, an INPUT's VALUE set instead).
// The control's OBJECT and the page's scripts are left out: the result is a static page.
// `warnings` receives notes such as a DATAFLD naming no column (its cells are left empty).
std::wstring RenderStaticPage(std::wstring_view page, TableSource& source, std::vector<std::wstring>* warnings = nullptr);

// Text and attribute escaping as the rendered page uses it.
std::wstring EscapeHtml(std::wstring_view text);

}  // namespace kv::kvkit
