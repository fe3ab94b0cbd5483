// What the MAPI objects of a store (the store, folders, messages,
// attachments, the address book) share: the access a store's provider
// allows, and property access (GetProps, SetProps, ...) over the values an
// object computes and keeps.
#pragma once

#include <mapix.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/comobject.h"
#include "core/prop.h"
#include "core/table.h"
#include "provider.h"

namespace tesk::mapi::objects {

using ProviderPtr = std::shared_ptr<StoreProvider>;

// What a client may do with the objects of a store follows from what its
// provider can do: PR_ACCESS, PR_ACCESS_LEVEL and PR_STORE_SUPPORT_MASK.
ULONG AccessOf(const StoreProvider& store);
ULONG AccessLevelOf(const StoreProvider& store);
ULONG SupportMaskOf(const StoreProvider& store, const std::string& kind);
// Every write goes through here first: a read-only store refuses it
// (MAPI_E_NO_ACCESS).
void RequireWritable(const StoreProvider& store);
// MAPI_E_NO_SUPPORT from a store that keeps no associated messages.
void RequireAssociatedSupport(const StoreProvider& store);

// A name or class a caller passed, in its width (MAPI_UNICODE), as UTF-8.
std::string NameFrom(LPTSTR text, ULONG flags);

// Whether a property id is one of tags'.
bool IdIn(ULONG id, std::initializer_list<ULONG> tags);

// The text of an object's last failure, for GetLastError: one MAPI buffer
// holding the structure and its strings.
HRESULT DeliverLastError(HRESULT hr, HRESULT lastHr, const std::string& text, LPMAPIERROR* out);

// Property access shared by every object: an object says which of its
// values it computes (IsComputed, refused to SetProps and DeleteProps) and
// gives all of them (AllProps); SetProps and DeleteProps hand the others to
// WriteProp and RemoveProps.
template <class Top, class... Bases>
class PropObject : public UnknownImpl<Top, Bases...> {
 public:
  HRESULT GetLastError(HRESULT hr, ULONG, LPMAPIERROR* pp) override {
    return DeliverLastError(hr, lastHr_, lastError_, pp);
  }
  // Runs a method body as Guard does and keeps the text of its failure.
  template <class F>
  HRESULT Keep(F&& f) noexcept {
    std::string text;
    const HRESULT hr = Guard([&]() -> HRESULT {
      try {
        return f();
      } catch (const MapiError& e) {
        text = e.what();
        throw;
      }
    });
    if (FAILED(hr)) RememberFailure(hr, std::move(text));
    return hr;
  }
  void RememberFailure(HRESULT hr, std::string text) {
    lastHr_ = hr;
    lastError_ = std::move(text);
  }
  HRESULT SaveChanges(ULONG) override { return S_OK; }
  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) override {
    return Guard([&] {
      if (!count || !out) return MAPI_E_INVALID_PARAMETER;
      *count = 0;
      *out = nullptr;
      PropList all = AllProps();
      PropList values;
      if (tags) {
        values = SelectColumns(all, std::span<const ULONG>(tags->aulPropTag, tags->cValues));
      } else {
        for (auto& p : all) {
          // Without a tag list strings come in the caller's width.
          const ULONG t = p.type();
          if (t == PT_UNICODE || t == PT_STRING8 || t == PT_MV_UNICODE || t == PT_MV_STRING8) {
            const bool wide = flags & MAPI_UNICODE;
            const ULONG want = (t & MV_FLAG) ? (wide ? PT_MV_UNICODE : PT_MV_STRING8) : (wide ? PT_UNICODE : PT_STRING8);
            values.push_back(*ConvertTo(p, want));
          } else {
            values.push_back(p);
          }
        }
      }
      const bool errors = std::any_of(values.begin(), values.end(), [](const Prop& p) { return p.type() == PT_ERROR; });
      *out = AllocPropArray(values);
      *count = static_cast<ULONG>(values.size());
      return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
    });
  }
  HRESULT GetPropList(ULONG, LPSPropTagArray* out) override {
    return Guard([&] {
      if (!out) return MAPI_E_INVALID_PARAMETER;
      std::vector<ULONG> tags;
      for (const auto& p : AllProps()) tags.push_back(p.tag);
      *out = AllocTagArray(tags);
      return S_OK;
    });
  }
  HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* out) override {
    if (out) *out = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT SetProps(ULONG n, LPSPropValue values, LPSPropProblemArray* problemsOut) override {
    return Guard([&] {
      if (!values && n) return MAPI_E_INVALID_PARAMETER;
      std::vector<SPropProblem> problems;
      PropList accepted;
      std::vector<ULONG> indexes;
      for (ULONG k = 0; k < n; ++k) {
        const ULONG type = PROP_TYPE(values[k].ulPropTag);
        if (type == PT_ERROR || type == PT_NULL || type == PT_OBJECT) continue;
        if (IsComputed(PROP_ID(values[k].ulPropTag))) {
          problems.push_back({k, values[k].ulPropTag, MAPI_E_COMPUTED});
          continue;
        }
        try {
          accepted.push_back(FromSPropValue(values[k]));
          indexes.push_back(k);
        } catch (const MapiError& e) {
          problems.push_back({k, values[k].ulPropTag, e.hr()});
        }
      }
      for (size_t k = 0; k < accepted.size(); ++k) {
        HRESULT hr = WriteProp(accepted[k]);
        if (FAILED(hr)) problems.push_back({indexes[k], accepted[k].tag, hr});
      }
      DeliverProblems(problems, problemsOut);
      return S_OK;
    });
  }
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problemsOut) override {
    return Guard([&] {
      if (!tags) return MAPI_E_INVALID_PARAMETER;
      std::vector<SPropProblem> problems;
      std::vector<ULONG> ids;
      for (ULONG k = 0; k < tags->cValues; ++k) {
        if (IsComputed(PROP_ID(tags->aulPropTag[k])))
          problems.push_back({k, tags->aulPropTag[k], MAPI_E_COMPUTED});
        else
          ids.push_back(PROP_ID(tags->aulPropTag[k]));
      }
      RemoveProps(ids);
      DeliverProblems(problems, problemsOut);
      return S_OK;
    });
  }
  HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                 LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                    LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }

 protected:
  virtual PropList AllProps() = 0;
  virtual bool IsComputed(ULONG id) const = 0;
  virtual HRESULT WriteProp(const Prop& p) = 0;
  virtual void RemoveProps(std::span<const ULONG> ids) = 0;

 private:
  HRESULT lastHr_ = S_OK;
  std::string lastError_;

  static void DeliverProblems(const std::vector<SPropProblem>& problems, LPSPropProblemArray* out) {
    if (!out) return;
    *out = nullptr;
    if (problems.empty()) return;
    void* buf = nullptr;
    if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropProblemArray(problems.size())), &buf)))
      throw std::bad_alloc();
    auto* arr = static_cast<LPSPropProblemArray>(buf);
    arr->cProblem = static_cast<ULONG>(problems.size());
    std::copy(problems.begin(), problems.end(), arr->aProblem);
    *out = arr;
  }
};

}  // namespace tesk::mapi::objects
