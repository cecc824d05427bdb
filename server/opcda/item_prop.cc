// The item properties: ids 1 to 5 are served from the item's value object; 6 is offered
// (as the published list has it) but not served.
#include "server/opcda/item_prop.h"

#include <string>

#include "com/ole_text.h"
#include "server/opcda/opc_util.h"

namespace {

struct PropDef {
  DWORD id;
  const char* description;
  VARTYPE type;
};

// Description 6 is spelled the way clients of this server have always seen it.
constexpr PropDef kProps[] = {
    {OPC_PROP_CDT, "Item Canonical Data Type", VT_I2},
    {OPC_PROP_VALUE, "Item Value", VT_VARIANT},
    {OPC_PROP_QUALITY, "Item Quality", VT_I2},
    {OPC_PROP_TIME, "Item TimeStamp", VT_DATE},
    {OPC_PROP_RIGHTS, "Item Access Rights", VT_I2},
    {OPC_PROP_SCANRATE, "erver Scan Rate", VT_R4},
};
constexpr DWORD kPropCount = sizeof kProps / sizeof kProps[0];

// The value of property id into v (empty on entry); OPC_E_INVALID_PID for ids not served.
HRESULT PropertyValue(TOPCItemProxy& proxy, DWORD id, VARIANT* v) {
  switch (id) {
    case OPC_PROP_CDT:
      v->vt = VT_I2;
      v->iVal = static_cast<SHORT>(proxy.datatype());
      return S_OK;
    case OPC_PROP_VALUE:
      return proxy.value(v);
    case OPC_PROP_QUALITY:
      v->vt = VT_I2;
      v->iVal = static_cast<SHORT>(proxy.quality());
      return S_OK;
    case OPC_PROP_TIME:
      v->vt = VT_DATE;
      v->date = proxy.lastUpdate();
      return S_OK;
    case OPC_PROP_RIGHTS:
      v->vt = VT_I2;
      v->iVal = static_cast<SHORT>(proxy.writeable() ? 3 : 1);
      return S_OK;
    default:
      return OPC_E_INVALID_PID;
  }
}

}  // namespace

HRESULT TOPCItemProp::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                               DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                               VARTYPE** ppvtDataTypes) {
  try {
    if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) return E_POINTER;
    *pdwCount = 0;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    std::string id = OleToUtf8(szItemID);
    OpcLog("OPCItemProp.QueryAvailableProperties,szItemID=%s", id.c_str());
    if (!server_.FindProxy(id)) return OPC_E_INVALIDITEMID;
    auto* ids = static_cast<DWORD*>(taskMemAlloc(kPropCount, tmaHResult));
    auto* texts = static_cast<LPWSTR*>(taskMemAlloc(kPropCount, tmaString));
    auto* types = static_cast<VARTYPE*>(taskMemAlloc(kPropCount, tmaVarType));
    bool ok = ids && texts && types;
    for (DWORD i = 0; ok && i < kPropCount; ++i) {
      ids[i] = kProps[i].id;
      types[i] = kProps[i].type;
      texts[i] = Utf8ToTaskString(kProps[i].description);
      ok = texts[i] != nullptr;
    }
    if (!ok) {
      CoTaskMemFree(ids);
      FreeTaskStrings(texts, texts ? kPropCount : 0);
      CoTaskMemFree(types);
      return E_OUTOFMEMORY;
    }
    *pdwCount = kPropCount;
    *ppPropertyIDs = ids;
    *ppDescriptions = texts;
    *ppvtDataTypes = types;
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT TOPCItemProp::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                        VARIANT** ppvData, HRESULT** ppErrors) {
  try {
    if (!ppvData || !ppErrors) return E_POINTER;
    *ppvData = nullptr;
    *ppErrors = nullptr;
    std::string id = OleToUtf8(szItemID);
    TOPCItemProxy* proxy = server_.FindProxy(id);
    if (!proxy) return OPC_E_INVALIDITEMID;
    OpcLog("OPCItemProp.GetItemProperties,szItemID=%s,dwCount=%u", id.c_str(),
           static_cast<unsigned>(dwCount));
    if (dwCount > 0 && !pdwPropertyIDs) return E_INVALIDARG;
    auto* data = static_cast<VARIANT*>(taskMemAlloc(dwCount, tmaVariant));
    auto* errors = static_cast<HRESULT*>(taskMemAlloc(dwCount, tmaHResult));
    if (!data || !errors) {
      CoTaskMemFree(data);
      CoTaskMemFree(errors);
      return E_OUTOFMEMORY;
    }
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      VariantInit(&data[i]);
      HRESULT hr = PropertyValue(*proxy, pdwPropertyIDs[i], &data[i]);
      if (hr == E_OUTOFMEMORY) {
        FreeTaskVariants(data, dwCount);
        CoTaskMemFree(errors);
        return E_OUTOFMEMORY;
      }
      if (hr != S_OK) {
        VariantClear(&data[i]);
        result = S_FALSE;
      }
      errors[i] = hr;
    }
    *ppvData = data;
    *ppErrors = errors;
    return result;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT TOPCItemProp::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                    LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) {
  (void)pdwPropertyIDs;  // every id, valid or not, maps to the item itself
  try {
    if (!ppszNewItemIDs || !ppErrors) return E_POINTER;
    *ppszNewItemIDs = nullptr;
    *ppErrors = nullptr;
    std::string id = OleToUtf8(szItemID);
    if (!server_.FindProxy(id)) return OPC_E_INVALIDITEMID;
    auto* ids = static_cast<LPWSTR*>(taskMemAlloc(dwCount, tmaString));
    auto* errors = static_cast<HRESULT*>(taskMemAlloc(dwCount, tmaHResult));
    bool ok = ids && errors;
    for (DWORD i = 0; ok && i < dwCount; ++i) {
      ids[i] = Utf16ToTaskString(OleToUtf16(szItemID));
      errors[i] = S_OK;
      ok = ids[i] != nullptr;
    }
    if (!ok) {
      FreeTaskStrings(ids, ids ? dwCount : 0);
      CoTaskMemFree(errors);
      return E_OUTOFMEMORY;
    }
    *ppszNewItemIDs = ids;
    *ppErrors = errors;
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}
