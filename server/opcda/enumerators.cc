// IEnumString, IEnumUnknown and IEnumOPCItemAttributes over lists the enumerators own.
#include "server/opcda/enumerators.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "com/ole_text.h"
#include "server/opcda/opc_util.h"

namespace {

// The shared Skip rule: past the end stops at the end with S_FALSE. 64-bit sum, so a
// huge celt cannot wrap the position around.
HRESULT SkipIn(size_t count, size_t& next, ULONG celt) {
  uint64_t want = static_cast<uint64_t>(next) + celt;
  if (want > count) {
    next = count;
    return S_FALSE;
  }
  next = static_cast<size_t>(want);
  return S_OK;
}

}  // namespace

// ---- IEnumString

HRESULT TOPCStringsEnumerator::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) {
  if (!rgelt || (celt > 1 && !pceltFetched)) return E_POINTER;
  if (pceltFetched) *pceltFetched = 0;
  size_t n = std::min<size_t>(celt, _list.size() - _next);
  for (size_t i = 0; i < n; ++i) {
    rgelt[i] = Utf8ToTaskString(_list[_next + i]);
    if (!rgelt[i]) {
      // All or nothing: the caller gets no half-filled array.
      for (size_t j = 0; j < i; ++j) {
        CoTaskMemFree(rgelt[j]);
        rgelt[j] = nullptr;
      }
      return E_OUTOFMEMORY;
    }
  }
  _next += n;
  if (pceltFetched) *pceltFetched = static_cast<ULONG>(n);
  return n < celt ? S_FALSE : S_OK;
}

HRESULT TOPCStringsEnumerator::Skip(ULONG celt) {
  HRESULT hr = SkipIn(_list.size(), _next, celt);
  OpcLog("StringsEnumerator.Skip:celt=%u;curr=%u", static_cast<unsigned>(celt),
         static_cast<unsigned>(_next));
  return hr;
}

HRESULT TOPCStringsEnumerator::Reset() {
  _next = 0;
  return S_OK;
}

HRESULT TOPCStringsEnumerator::Clone(IEnumString** ppenum) {
  if (!ppenum) return E_POINTER;
  *ppenum = nullptr;
  try {
    *ppenum = new TOPCStringsEnumerator(_list);
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// ---- IEnumUnknown

HRESULT TS3UnknownEnumerator::Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) {
  if (celt < 1) return S_FALSE;
  if (!pceltFetched) return E_INVALIDARG;
  if (!rgelt) return E_POINTER;
  size_t n = std::min<size_t>(celt, _list.size() - _next);
  for (size_t i = 0; i < n; ++i) {
    rgelt[i] = _list[_next + i].Get();
    rgelt[i]->AddRef();
  }
  _next += n;
  *pceltFetched = static_cast<ULONG>(n);
  return n < celt ? S_FALSE : S_OK;
}

HRESULT TS3UnknownEnumerator::Skip(ULONG celt) { return SkipIn(_list.size(), _next, celt); }

HRESULT TS3UnknownEnumerator::Reset() {
  _next = 0;
  return S_OK;
}

HRESULT TS3UnknownEnumerator::Clone(IEnumUnknown** ppenum) {
  if (!ppenum) return E_POINTER;
  *ppenum = nullptr;
  try {
    *ppenum = new TS3UnknownEnumerator(_list);
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// ---- IEnumOPCItemAttributes

HRESULT TOPCItemAttEnumerator::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray,
                                    ULONG* pceltFetched) {
  if (pceltFetched) *pceltFetched = 0;
  if (celt == 0) return S_FALSE;
  if (!ppItemArray) return E_POINTER;
  *ppItemArray = nullptr;
  // Only the records that will be filled are allocated: a client's huge celt must not
  // turn into a huge allocation.
  size_t n = std::min<size_t>(celt, _list.size() - _next);
  auto* a = static_cast<OPCITEMATTRIBUTES*>(taskMemAlloc(n, tmaItemAttributes));
  if (!a) return E_OUTOFMEMORY;
  for (size_t i = 0; i < n; ++i) {
    const TOPCItemAttributes& s = _list[_next + i];
    OPCITEMATTRIBUTES& r = a[i];
    r.szAccessPath = Utf8ToTaskString("");
    r.szItemID = Utf8ToTaskString(s._itemID);
    if (!r.szAccessPath || !r.szItemID) {
      for (size_t j = 0; j <= i; ++j) {
        CoTaskMemFree(a[j].szAccessPath);
        CoTaskMemFree(a[j].szItemID);
      }
      CoTaskMemFree(a);
      return E_OUTOFMEMORY;
    }
    r.bActive = s._active ? TRUE : FALSE;
    r.hClient = s._clientHandle;
    r.hServer = s._serverHandle;
    r.dwAccessRights = s._accessRights;
    r.dwBlobSize = 0;
    r.pBlob = nullptr;
    r.vtRequestedDataType = s._requestedDataType;
    r.vtCanonicalDataType = s._canonicalDataType;
    r.dwEUType = OPC_NOENUM;
    VariantInit(&r.vEUInfo);
  }
  _next += n;
  *ppItemArray = a;
  if (pceltFetched) *pceltFetched = static_cast<ULONG>(n);
  return n < celt ? S_FALSE : S_OK;
}

HRESULT TOPCItemAttEnumerator::Skip(ULONG celt) { return SkipIn(_list.size(), _next, celt); }

HRESULT TOPCItemAttEnumerator::Reset() {
  _next = 0;
  return S_OK;
}

HRESULT TOPCItemAttEnumerator::Clone(IEnumOPCItemAttributes** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  try {
    *ppEnum = new TOPCItemAttEnumerator(_list);
    return S_OK;
  } catch (...) {
    return E_UNEXPECTED;
  }
}
