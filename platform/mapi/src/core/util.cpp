#include <mapiutil.h>

#include <cstring>
#include <vector>

HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray tags, LPSRestriction res, LPSSortOrderSet sort,
                       LONG crowsMax, LPSRowSet* lppRows) {
  if (!table || !lppRows) return MAPI_E_INVALID_PARAMETER;
  *lppRows = nullptr;
  HRESULT hr = S_OK;
  if (tags && FAILED(hr = table->SetColumns(tags, 0))) return hr;
  if (res && FAILED(hr = table->Restrict(res, 0))) return hr;
  if (sort && FAILED(hr = table->SortTable(sort, 0))) return hr;
  if (FAILED(hr = table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr))) return hr;

  std::vector<SRow> rows;
  auto freeRows = [&] {
    for (auto& r : rows) MAPIFreeBuffer(r.lpProps);
  };
  for (;;) {
    LPSRowSet chunk = nullptr;
    if (FAILED(hr = table->QueryRows(1000, 0, &chunk))) {
      freeRows();
      return hr;
    }
    const ULONG n = chunk ? chunk->cRows : 0;
    for (ULONG k = 0; k < n; ++k) rows.push_back(chunk->aRow[k]);
    MAPIFreeBuffer(chunk);  // the rows' props now belong to `rows`
    if (n == 0) break;
    if (crowsMax > 0 && rows.size() > static_cast<size_t>(crowsMax)) {
      freeRows();
      return MAPI_E_TABLE_TOO_BIG;
    }
  }
  void* buf = nullptr;
  if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(rows.empty() ? 1 : rows.size())), &buf))) {
    freeRows();
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  auto* set = static_cast<LPSRowSet>(buf);
  set->cRows = static_cast<ULONG>(rows.size());
  if (!rows.empty()) std::memcpy(set->aRow, rows.data(), rows.size() * sizeof(SRow));
  *lppRows = set;
  return S_OK;
}

HRESULT HrGetOneProp(LPMAPIPROP obj, ULONG tag, LPSPropValue* lppProp) {
  if (!obj || !lppProp) return MAPI_E_INVALID_PARAMETER;
  *lppProp = nullptr;
  SizedSPropTagArray(1, one) = {1, {tag}};
  ULONG count = 0;
  LPSPropValue values = nullptr;
  HRESULT hr = obj->GetProps(reinterpret_cast<LPSPropTagArray>(&one), 0, &count, &values);
  if (FAILED(hr)) return hr;
  if (!values || count != 1) {
    MAPIFreeBuffer(values);
    return MAPI_E_NOT_FOUND;
  }
  if (PROP_TYPE(values->ulPropTag) == PT_ERROR) {
    hr = values->Value.err;
    MAPIFreeBuffer(values);
    return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
  }
  *lppProp = values;
  return S_OK;
}

HRESULT HrSetOneProp(LPMAPIPROP obj, LPSPropValue prop) {
  if (!obj || !prop) return MAPI_E_INVALID_PARAMETER;
  LPSPropProblemArray problems = nullptr;
  HRESULT hr = obj->SetProps(1, prop, &problems);
  if (SUCCEEDED(hr) && problems && problems->cProblem) hr = problems->aProblem[0].scode;
  MAPIFreeBuffer(problems);
  return hr;
}

void FreeProws(LPSRowSet rows) {
  if (!rows) return;
  for (ULONG k = 0; k < rows->cRows; ++k) MAPIFreeBuffer(rows->aRow[k].lpProps);
  MAPIFreeBuffer(rows);
}

void FreePadrlist(LPADRLIST list) {
  if (!list) return;
  for (ULONG k = 0; k < list->cEntries; ++k) MAPIFreeBuffer(list->aEntries[k].rgPropVals);
  MAPIFreeBuffer(list);
}

LPSPropValue PpropFindProp(LPSPropValue props, ULONG count, ULONG tag) {
  if (!props) return nullptr;
  for (ULONG k = 0; k < count; ++k) {
    if (PROP_TYPE(tag) == PT_UNSPECIFIED ? PROP_ID(props[k].ulPropTag) == PROP_ID(tag) : props[k].ulPropTag == tag)
      return &props[k];
  }
  return nullptr;
}
