#include "framework/data_provider.h"

#include <algorithm>
#include <cwctype>
#include <string>

#include "platform/text.h"

namespace kv {

namespace {

bool IsText(const VARIANT& v) noexcept { return v.vt == VT_BSTR; }

std::wstring_view View(const VARIANT& v) noexcept {
    return {v.bstrVal ? v.bstrVal : L"", SysStringLen(v.bstrVal)};
}

bool IsWordChar(wchar_t c) noexcept { return std::iswalnum(c) != 0; }

bool ContainsWord(std::wstring_view text, std::wstring_view word) noexcept {
    for (size_t at = text.find(word); at != text.npos; at = text.find(word, at + 1)) {
        bool before = at == 0 || !IsWordChar(text[at - 1]);
        size_t end = at + word.size();
        bool after = end >= text.size() || !IsWordChar(text[end]);
        if (before && after) return true;
    }
    return false;
}

}  // namespace

void DataProvider::SetTable(ComPtr<RowTable> table, ComPtr<CellFormatter> formatter) {
    table_ = std::move(table);
    formatter_ = std::move(formatter);
    // The binding keeps the rows it was told of until it is told of the new table.
}

HRESULT DataProvider::getRowCount(DBROWCOUNT* pcRows) noexcept {
    if (!pcRows) return E_POINTER;
    *pcRows = table_ ? table_->RowCount() : 0;
    return S_OK;
}

HRESULT DataProvider::getColumnCount(DB_LORDINAL* pcColumns) noexcept {
    if (!pcColumns) return E_POINTER;
    *pcColumns = table_ ? table_->ColumnCount() : 0;
    return S_OK;
}

HRESULT DataProvider::getRWStatus(DBROWCOUNT iRow, DB_LORDINAL iColumn, OSPRW* prwStatus) noexcept {
    if (!prwStatus) return E_POINTER;
    *prwStatus = OSPRW_READONLY;
    // Row -1 asks about the whole column. Anything out of range is simply read-only.
    bool inRange = table_ && iColumn >= 1 && iColumn <= table_->ColumnCount() &&
                   (iRow == -1 || (iRow >= 0 && iRow <= table_->RowCount()));
    if (inRange && table_->IsWritable(static_cast<long>(iRow), static_cast<long>(iColumn)))
        *prwStatus = OSPRW_READWRITE;
    return S_OK;
}

HRESULT DataProvider::setVariant(DBROWCOUNT iRow, DB_LORDINAL iColumn, OSPFORMAT, const VARIANT& var) noexcept try {
    if (iColumn <= 0 || iRow < 0 || !table_ || iRow > table_->RowCount() || iColumn > table_->ColumnCount())
        return E_INVALIDARG;
    // The write may call the client, which may show dialogs while this thread's messages flow.
    ComPtr<RowTable> table = table_;
    const long row = static_cast<long>(iRow), column = static_cast<long>(iColumn);
    Variant value(var), before, after;
    table->GetCell(row, column, before.get());
    table->WriteCell(row, column, *value.get());
    // A cell the write changed at once changes how its row reads (the decoration of the other
    // cells follows it): the binding reads the row again, unless the table moved meanwhile.
    if (table_ == table && row <= table->RowCount()) {
        table->GetCell(row, column, after.get());
        if (VarCmp(before.get(), after.get(), LOCALE_USER_DEFAULT, 0) != VARCMP_EQ || before.vt() != after.vt())
            RefreshReadCells(row, row);
    }
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

HRESULT DataProvider::getVariant(DBROWCOUNT iRow, DB_LORDINAL iColumn, OSPFORMAT format, VARIANT* pVar) noexcept try {
    if (!pVar) return E_POINTER;
    pVar->vt = VT_EMPTY;  // VariantInit's work, without the call
    if (iColumn <= 0 || iRow < 0 || !table_ || iRow > table_->RowCount() || iColumn > table_->ColumnCount())
        return E_INVALIDARG;
    const long row = static_cast<long>(iRow), column = static_cast<long>(iColumn);
    // A read may ask the user (the attachment prompt), and notifications handled meanwhile may
    // replace or drop the table: this read finishes on the table and formatter it began with.
    if ((format == OSPFORMAT_RAW || !formatter_) && row > 0) {
        // A cell the guard has nothing to ask about is copied straight from the row: nothing on
        // this path lets messages flow, so the table needs no holding.
        if (const VARIANT* stored = table_->CellInPlace(row, column)) {
            CopyCell(pVar, *stored);
            try {
                Track(row, column);
            } catch (...) {
                VariantClear(pVar);
                throw;
            }
            return S_OK;
        }
    }
    ComPtr<RowTable> table = table_;
    if (format == OSPFORMAT_RAW || !formatter_ || row == 0) {
        // Straight into the caller's VARIANT: a raw read copies the cell once.
        table->GetCell(row, column, pVar);
        if (row > 0) {
            try {
                Track(row, column);
            } catch (...) {
                VariantClear(pVar);
                throw;
            }
        }
        return S_OK;
    }
    // Decorated from the stored cell where the guard permits it at once: no copy per cell.
    ComPtr<CellFormatter> formatter = formatter_;
    ComPtr<Row> source = table->RowAt(row);
    Variant permitted, cell;
    const VARIANT& value = source->PermittedCell(column - 1, permitted);
    Track(row, column);
    if (row <= table->RowCount())
        formatter->Decorate(value, embellish_, row, column, cell.get());
    else
        ThrowIfFailed(VariantCopy(cell.get(), const_cast<VARIANT*>(&value)));
    cell.Detach(pVar);
    return S_OK;
} catch (...) {
    return CaughtHResult();
}

HRESULT DataProvider::getLocale(BSTR* pbstrLocale) noexcept {
    if (!pbstrLocale) return E_POINTER;
    *pbstrLocale = nullptr;
    return S_OK;
}

bool DataProvider::Matches(const VARIANT& cell, const VARIANT& val, long compType, bool caseSensitive) const {
    if (compType & kOspCompFlagText) {
        if (compType < kOspCompContains || compType > kOspCompNotContainsWord) ThrowHr(E_INVALIDARG);
        if (!IsText(cell) || !IsText(val)) ThrowHr(E_INVALIDARG);
        std::wstring text(View(cell)), part(View(val));
        if (!caseSensitive) {
            text = AsciiUpper(text);
            part = AsciiUpper(part);
        }
        bool word = compType == kOspCompContainsWord || compType == kOspCompNotContainsWord;
        bool found = word ? ContainsWord(text, part) : text.find(part) != text.npos;
        bool negated = compType == kOspCompNotContains || compType == kOspCompNotContainsWord;
        return found != negated;
    }
    int c = CompareCells(cell, val, caseSensitive);
    switch (compType) {
    case OSPCOMP_EQ: return c == 0;
    case OSPCOMP_LT: return c < 0;
    case OSPCOMP_LE: return c <= 0;
    case OSPCOMP_GT: return c > 0;
    case OSPCOMP_GE: return c >= 0;
    case OSPCOMP_NE: return c != 0;
    default: ThrowHr(E_FAIL);
    }
}

HRESULT DataProvider::find(DBROWCOUNT iRowStart, DB_LORDINAL iColumn, VARIANT val, OSPFIND findFlags,
                           OSPCOMP compType, DBROWCOUNT* piRowFound) noexcept try {
    if (!piRowFound) return E_POINTER;
    if (iColumn <= 0 || iRowStart < 0 || !table_ || iRowStart > table_->RowCount() ||
        iColumn > table_->ColumnCount())
        return E_INVALIDARG;
    const bool caseSensitive = (findFlags & OSPFIND_CASESENSITIVE) != 0;
    const bool up = (findFlags & OSPFIND_UP) != 0;
    const long column = static_cast<long>(iColumn);
    // Each read may ask the user, and notifications handled meanwhile may change the table or
    // drop it: the search holds the table it began with and ends when that is no longer the one
    // served, or has fewer rows than the next step needs.
    ComPtr<RowTable> table = table_;
    // Row 0 holds the column names, not data: the search covers stories only.
    for (long row = static_cast<long>(iRowStart); up ? row >= 1 : row <= table->RowCount(); up ? --row : ++row) {
        if (row == 0) continue;
        if (table_ != table || row > table->RowCount()) break;
        Variant cell;
        table->GetCell(row, column, cell.get());
        if (Matches(*cell.get(), val, static_cast<long>(compType), caseSensitive)) {
            *piRowFound = row;
            return S_OK;
        }
    }
    return E_FAIL;
} catch (...) {
    return CaughtHResult();
}

HRESULT DataProvider::addOLEDBSimpleProviderListener(OLEDBSimpleProviderListener* listener) noexcept {
    listener_ = listener;
    return S_OK;
}

HRESULT DataProvider::removeOLEDBSimpleProviderListener(OLEDBSimpleProviderListener* listener) noexcept {
    if (listener == listener_.Get()) listener_.Reset();
    return S_OK;
}

HRESULT DataProvider::isAsync(BOOL* pbAsynch) noexcept {
    if (!pbAsynch) return E_POINTER;
    *pbAsynch = FALSE;
    return S_OK;
}

HRESULT DataProvider::SetDataSourceListener(IUnknown* listener) noexcept {
    // A binding that lets go this way must not keep the control alive through its listener.
    if (!listener) {
        sourceListener_.Reset();
        return S_OK;
    }
    ComPtr<DataSourceListener> source;
    HRESULT hr = listener->QueryInterface(__uuidof(DataSourceListener), reinterpret_cast<void**>(source.GetAddressOf()));
    if (FAILED(hr)) return hr;
    sourceListener_ = std::move(source);
    return S_OK;
}

void DataProvider::SendTransferComplete(OSPXFER reason) {
    if (reason == OSPXFER_COMPLETE) rowsAnnounced_ = table_ ? table_->RowCount() : 0;
    if (auto l = listener_) ThrowIfFailed(l->transferComplete(reason));
}

void DataProvider::SendDataMemberChanged() {
    rowsAnnounced_ = table_ ? table_->RowCount() : 0;
    if (auto l = sourceListener_) ThrowIfFailed(l->dataMemberChanged(nullptr));
}

void DataProvider::SendDataMemberChangedQuietly(bool& autoReset) {
    bool restore = autoReset;
    autoReset = false;
    try {
        SendDataMemberChanged();
    } catch (...) {
        autoReset = restore;
        throw;
    }
    autoReset = restore;
}

void DataProvider::SendCellChanged(long row, long column) {
    if (auto l = listener_) ThrowIfFailed(l->cellChanged(row, column));
}

// The rows read so far move with the rows inserted or deleted above them, so that a later
// refresh of the tracked range still covers every row the binding holds.
void DataProvider::SendInsertedRows(long row, long count) {
    if (count > 0) rowsAnnounced_ += count;
    if (count > 0 && lowestRead_ <= highestRead_) {
        if (highestRead_ >= row) highestRead_ += count;
        if (lowestRead_ >= row) lowestRead_ += count;
    }
    if (auto l = listener_) ThrowIfFailed(l->insertedRows(row, count));
}

void DataProvider::SendDeletedRows(long row, long count) {
    if (count > 0) rowsAnnounced_ = std::max(0L, rowsAnnounced_ - count);
    if (count > 0 && lowestRead_ <= highestRead_) {
        const long end = row + count;  // the first row after the deleted ones
        lowestRead_ = lowestRead_ >= end ? lowestRead_ - count : lowestRead_ >= row ? row : lowestRead_;
        highestRead_ = highestRead_ >= end ? highestRead_ - count : highestRead_ >= row ? row - 1 : highestRead_;
        if (lowestRead_ > highestRead_) {
            lowestRead_ = LONG_MAX;
            highestRead_ = LONG_MIN;
        }
    }
    if (auto l = listener_) ThrowIfFailed(l->deletedRows(row, count));
}

void DataProvider::RefreshReadCells(long first, long last) {
    std::vector<long> columns;
    for (size_t c = 1; c < columnsRead_.size(); ++c)
        if (columnsRead_[c]) columns.push_back(static_cast<long>(c));
    if (columns.empty()) return;
    // Rows the filter has dropped since they were read no longer exist, and rows the binding
    // has not been told of yet (page script may read them first) are not its to refresh.
    if (table_ && last > table_->RowCount()) last = table_->RowCount();
    if (last > rowsAnnounced_) last = rowsAnnounced_;
    for (long long row = first < 1 ? 1 : first; row <= last; ++row)
        for (long c : columns) SendCellChanged(static_cast<long>(row), c);
}

void DataProvider::ResetReadTracker() {
    lowestRead_ = LONG_MAX;
    highestRead_ = LONG_MIN;
    columnsRead_.assign(static_cast<size_t>(table_ ? table_->ColumnCount() : 0) + 1, false);
}

bool DataProvider::ColumnRead(long column) const noexcept {
    return column > 0 && static_cast<size_t>(column) < columnsRead_.size() && columnsRead_[static_cast<size_t>(column)];
}

void DataProvider::Track(long row, long column) {
    if (row < lowestRead_) lowestRead_ = row;
    if (row > highestRead_) highestRead_ = row;
    // Columns added after the last reset (by a notification's reload) are tracked as well.
    if (static_cast<size_t>(column) >= columnsRead_.size()) columnsRead_.resize(static_cast<size_t>(column) + 1, false);
    columnsRead_[static_cast<size_t>(column)] = true;
}

}  // namespace kv
