// A control's table as the browser's data binding reads and writes it (the simple provider interface): row
// and column numbering, bounds, raw and decorated formats, `find`, the one provider listener and
// the one data source listener, and the bookkeeping of which cells the binding has read so that
// later changes can be announced cell by cell.
//
// The control owns one DataProvider and implements the provider interface on itself by
// inheriting SimpleProviderMethods<Control>, which forwards every method here. Methods named
// after the interface return its HRESULTs and never throw; whether a cell may be written, and
// the write itself, are the table's (a table is read-only unless it says otherwise); the notification senders throw the
// listener's failure so that the operation that sent them aborts. One thread (the control's).
#pragma once

#include <windows.h>

#include <climits>

#include "framework/row_table.h"
#include "platform/com_object.h"
#include "platform/databinding.h"

namespace kv {

// Turns a cell into display text for the formatted and HTML formats.
class CellFormatter : public IUnknown {
public:
    // Writes the display form of `cell` into `out` (VT_EMPTY on entry). `row` and `column` are
    // the binding's (1-based). `cell` may be the table's own stored cell: it is read before
    // anything that could let messages flow. Throws on failure.
    virtual void Decorate(const VARIANT& cell, long embellish, long row, long column, VARIANT* out) = 0;
};

// The comparisons of `find` beyond the platform's six: the contains family (bit 8 set).
enum : long {
    kOspCompFlagText = 0x100,
    kOspCompContains = 0x101,
    kOspCompContainsWord = 0x102,
    kOspCompNotContains = 0x103,
    kOspCompNotContainsWord = 0x104,
};

class DataProvider {
public:
    // The table and its formatter; both may be null (no table yet).
    void SetTable(ComPtr<RowTable> table, ComPtr<CellFormatter> formatter);
    RowTable* Table() const noexcept { return table_.Get(); }
    long Embellish() const noexcept { return embellish_; }
    void SetEmbellish(long flags) noexcept { embellish_ = flags; }

    // The provider interface's methods.
    HRESULT getRowCount(DBROWCOUNT* pcRows) noexcept;
    HRESULT getColumnCount(DB_LORDINAL* pcColumns) noexcept;
    HRESULT getRWStatus(DBROWCOUNT iRow, DB_LORDINAL iColumn, OSPRW* prwStatus) noexcept;
    HRESULT getVariant(DBROWCOUNT iRow, DB_LORDINAL iColumn, OSPFORMAT format, VARIANT* pVar) noexcept;
    HRESULT setVariant(DBROWCOUNT iRow, DB_LORDINAL iColumn, OSPFORMAT format, const VARIANT& var) noexcept;
    HRESULT getLocale(BSTR* pbstrLocale) noexcept;
    HRESULT find(DBROWCOUNT iRowStart, DB_LORDINAL iColumn, VARIANT val, OSPFIND findFlags, OSPCOMP compType,
                 DBROWCOUNT* piRowFound) noexcept;
    HRESULT addOLEDBSimpleProviderListener(OLEDBSimpleProviderListener* listener) noexcept;
    HRESULT removeOLEDBSimpleProviderListener(OLEDBSimpleProviderListener* listener) noexcept;
    HRESULT isAsync(BOOL* pbAsynch) noexcept;
    HRESULT getEstimatedRows(DBROWCOUNT* piRows) noexcept { return getRowCount(piRows); }

    // addDataSourceListener of the control: keeps `listener`'s DataSourceListener.
    HRESULT SetDataSourceListener(IUnknown* listener) noexcept;
    OLEDBSimpleProviderListener* Listener() const noexcept { return listener_.Get(); }
    DataSourceListener* SourceListener() const noexcept { return sourceListener_.Get(); }

    // Notifications to the listeners (nothing without one); a failure returned by a listener
    // is thrown.
    void SendTransferComplete(OSPXFER reason);
    void SendDataMemberChanged();
    // dataMemberChanged with the control's AutoReset (`autoReset`) off meanwhile, so that the
    // binding's request for the provider reads the table as it is instead of starting another
    // Reset; `autoReset` is back as it was afterwards, also when the listener fails.
    void SendDataMemberChangedQuietly(bool& autoReset);
    void SendCellChanged(long row, long column);
    // Rows inserted or deleted: the record of rows read moves with them first.
    void SendInsertedRows(long row, long count);
    void SendDeletedRows(long row, long count);
    // cellChanged for every read column of every row from `first` to `last`.
    void RefreshReadCells(long first, long last);
    // RefreshReadCells over the rows read so far (nothing when none was read).
    void RefreshTrackedCells() { RefreshReadCells(lowestRead_, highestRead_); }

    // Forgets what was read; sized for the table's current column count.
    void ResetReadTracker();
    long LowestRowRead() const noexcept { return lowestRead_; }
    long HighestRowRead() const noexcept { return highestRead_; }
    bool ColumnRead(long column) const noexcept;

private:
    void Track(long row, long column);
    bool Matches(const VARIANT& cell, const VARIANT& val, long compType, bool caseSensitive) const;

    ComPtr<RowTable> table_;
    ComPtr<CellFormatter> formatter_;
    long embellish_ = 5;
    ComPtr<OLEDBSimpleProviderListener> listener_;
    ComPtr<DataSourceListener> sourceListener_;
    // The rows the binding has been told of: the table's count when it last read the whole
    // table, moved by the rows inserted and deleted since.
    long rowsAnnounced_ = 0;
    long lowestRead_ = LONG_MAX;
    long highestRead_ = LONG_MIN;
    std::vector<bool> columnsRead_;  // index = binding column number
};

// The provider interface for a COM class that owns a DataProvider and answers
// `DataProvider& Provider()`. List it in the class's interface table:
//   class Control : public ComObject<Control, ..., SimpleProviderMethods<Control>> { ... };
template <class Derived>
class SimpleProviderMethods : public OLEDBSimpleProvider {
public:
    using Interface = OLEDBSimpleProvider;

    STDMETHODIMP getRowCount(DBROWCOUNT* p) override { return P().getRowCount(p); }
    STDMETHODIMP getColumnCount(DB_LORDINAL* p) override { return P().getColumnCount(p); }
    STDMETHODIMP getRWStatus(DBROWCOUNT r, DB_LORDINAL c, OSPRW* p) override { return P().getRWStatus(r, c, p); }
    STDMETHODIMP getVariant(DBROWCOUNT r, DB_LORDINAL c, OSPFORMAT f, VARIANT* p) override {
        return P().getVariant(r, c, f, p);
    }
    STDMETHODIMP setVariant(DBROWCOUNT r, DB_LORDINAL c, OSPFORMAT f, VARIANT v) override {
        return P().setVariant(r, c, f, v);
    }
    STDMETHODIMP getLocale(BSTR* p) override { return P().getLocale(p); }
    STDMETHODIMP deleteRows(DBROWCOUNT, DBROWCOUNT, DBROWCOUNT*) override { return E_NOTIMPL; }
    STDMETHODIMP insertRows(DBROWCOUNT, DBROWCOUNT, DBROWCOUNT*) override { return E_NOTIMPL; }
    STDMETHODIMP find(DBROWCOUNT start, DB_LORDINAL c, VARIANT val, OSPFIND flags, OSPCOMP comp,
                      DBROWCOUNT* found) override {
        return P().find(start, c, val, flags, comp, found);
    }
    STDMETHODIMP addOLEDBSimpleProviderListener(OLEDBSimpleProviderListener* l) override {
        return P().addOLEDBSimpleProviderListener(l);
    }
    STDMETHODIMP removeOLEDBSimpleProviderListener(OLEDBSimpleProviderListener* l) override {
        return P().removeOLEDBSimpleProviderListener(l);
    }
    STDMETHODIMP isAsync(BOOL* p) override { return P().isAsync(p); }
    STDMETHODIMP getEstimatedRows(DBROWCOUNT* p) override { return P().getEstimatedRows(p); }
    STDMETHODIMP stopTransfer() override { return S_OK; }

private:
    DataProvider& P() { return static_cast<Derived*>(this)->Provider(); }
};

}  // namespace kv

__CRT_UUID_DECL(kv::CellFormatter, 0x8a1f43c2, 0x6b0d, 0x4e57, 0xa3, 0x9e, 0x21, 0x5c, 0x7f, 0x0d, 0x44, 0xb6)
