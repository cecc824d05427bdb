// A stand-in for the OPC DA server code: it implements and calls every OPC DA and
// OPC Common declaration, and the runtime functions, the way the server objects will.
// It is compiled (never run) twice: here against our runtime, and by
// scripts/check-windows-headers.sh against the Windows headers of mingw-w64, so a
// declaration that differs from the platform's fails one of the two builds.
#include <string>
#include <vector>

#include "com/com.h"
#include "com/com_ptr.h"
#include "com/connection_point.h"
#include "com/guid_text.h"
#include "com/ole_text.h"
#include "com/opc_da.h"

namespace opcda_use {

using zelcom::ComPtr;

// A server object: every server-side interface, with `override` checking each slot.
class Server final : public IOPCServer,
                     public IOPCCommon,
                     public IOPCServerPublicGroups,
                     public IOPCBrowseServerAddressSpace,
                     public IOPCItemProperties,
                     public IPersistFile,
                     public ISupportErrorInfo,
                     public IProvideClassInfo {
 public:
  Server() : points_(*static_cast<IOPCServer*>(this)) {
    points_.Add(IID_IOPCShutdown, 1, [this](IUnknown* sink, bool connected) {
      shutdown_ = connected ? ComPtr<IOPCShutdown>(static_cast<IOPCShutdown*>(sink)) : nullptr;
    });
    CoAddRefServerProcess();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCServer))
      *ppv = static_cast<IOPCServer*>(this);
    else if (IsEqualIID(riid, IID_IOPCCommon))
      *ppv = static_cast<IOPCCommon*>(this);
    else if (IsEqualIID(riid, IID_IOPCServerPublicGroups))
      *ppv = static_cast<IOPCServerPublicGroups*>(this);
    else if (IsEqualIID(riid, IID_IOPCBrowseServerAddressSpace))
      *ppv = static_cast<IOPCBrowseServerAddressSpace*>(this);
    else if (IsEqualIID(riid, IID_IOPCItemProperties))
      *ppv = static_cast<IOPCItemProperties*>(this);
    else if (riid == IID_IPersistFile || riid == IID_IPersist)
      *ppv = static_cast<IPersistFile*>(this);
    else if (riid == IID_ISupportErrorInfo)
      *ppv = static_cast<ISupportErrorInfo*>(this);
    else if (riid == IID_IProvideClassInfo)
      *ppv = static_cast<IProvideClassInfo*>(this);
    else if (riid == IID_IConnectionPointContainer)
      *ppv = static_cast<IConnectionPointContainer*>(&points_);
    else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --refs_;
    if (n == 0) {
      CoReleaseServerProcess();
      delete this;
    }
    return n;
  }

  // IOPCServer
  HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                     OPCHANDLE hClientGroup, LONG* pTimeBias,
                                     FLOAT* pPercentDeadband, DWORD dwLCID,
                                     OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                     REFIID riid, LPUNKNOWN* ppUnk) override {
    std::string name = OleToUtf8(szName);
    (void)bActive, (void)hClientGroup, (void)pTimeBias, (void)pPercentDeadband, (void)dwLCID,
        (void)riid;
    *ppUnk = nullptr;
    *phServerGroup = 1;
    *pRevisedUpdateRate = dwRequestedUpdateRate < 10 ? 10 : dwRequestedUpdateRate;
    return name.empty() ? E_INVALIDARG : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale,
                                           LPWSTR* ppString) override {
    (void)dwLocale;
    *ppString = Utf8ToTaskString(dwError == OPC_E_UNKNOWNITEMID ? "unknown" : "");
    return *ppString ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid,
                                           LPUNKNOWN* ppUnk) override {
    (void)szName, (void)riid;
    *ppUnk = nullptr;
    return E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) override {
    if (!ppServerStatus) return E_INVALIDARG;
    auto* s = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
    if (!s) return E_OUTOFMEMORY;
    *s = OPCSERVERSTATUS{};
    SYSTEMTIME st{};
    VariantTimeToSystemTime(36526.5, &st);
    FILETIME local;
    SystemTimeToFileTime(&st, &local);
    LocalFileTimeToFileTime(&local, &s->ftStartTime);
    GetSystemTimeAsFileTime(&s->ftCurrentTime);
    s->ftLastUpdateTime = s->ftCurrentTime;
    s->dwServerState = OPC_STATUS_RUNNING;
    s->dwBandWidth = 100;
    s->wMajorVersion = 3;
    s->szVendorInfo = Utf8ToTaskString("vendor");
    *ppServerStatus = s;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override {
    return hServerGroup == 0 ? E_INVALIDARG : (bForce ? S_OK : OPC_S_INUSE);
  }
  HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                                  LPUNKNOWN* ppUnk) override {
    *ppUnk = nullptr;
    if (riid != IID_IEnumUnknown && riid != IID_IEnumString) return E_NOINTERFACE;
    return dwScope >= OPC_ENUM_PRIVATE_CONNECTIONS && dwScope <= OPC_ENUM_ALL ? S_OK
                                                                              : E_INVALIDARG;
  }

  // IOPCCommon
  HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override {
    return dwLcid == LOCALE_SYSTEM_DEFAULT || dwLcid == LOCALE_USER_DEFAULT ? S_OK : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) override {
    *pdwLcid = LOCALE_SYSTEM_DEFAULT;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override {
    *pdwLcid = static_cast<LCID*>(CoTaskMemAlloc(2 * sizeof(LCID)));
    if (!*pdwLcid) return E_OUTOFMEMORY;
    (*pdwLcid)[0] = LOCALE_SYSTEM_DEFAULT;
    (*pdwLcid)[1] = LOCALE_USER_DEFAULT;
    *pdwCount = 2;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) override {
    return GetErrorString(dwError, LOCALE_SYSTEM_DEFAULT, ppString);
  }
  HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) override {
    client_ = OleToUtf8(szName);
    return S_OK;
  }

  // IOPCServerPublicGroups
  HRESULT STDMETHODCALLTYPE GetPublicGroupByName(LPCWSTR szName, REFIID riid,
                                                 LPUNKNOWN* ppUnk) override {
    return GetGroupByName(szName, riid, ppUnk);
  }
  HRESULT STDMETHODCALLTYPE RemovePublicGroup(OPCHANDLE hServerGroup, BOOL bForce) override {
    return RemoveGroup(hServerGroup, bForce);
  }

  // IOPCBrowseServerAddressSpace
  HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override {
    *pNameSpaceType = OPC_NS_HIERARCHIAL;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                 LPCWSTR szString) override {
    (void)szString;
    switch (dwBrowseDirection) {
      case OPC_BROWSE_UP: case OPC_BROWSE_DOWN: case OPC_BROWSE_TO: return S_OK;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                             LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                                             DWORD dwAccessRightsFilter,
                                             LPENUMSTRING* ppIEnumString) override {
    (void)szFilterCriteria, (void)vtDataTypeFilter;
    *ppIEnumString = nullptr;
    bool all = dwAccessRightsFilter == 0 || dwAccessRightsFilter == (OPC_READABLE | OPC_WRITEABLE);
    return all && (dwBrowseFilterType == OPC_BRANCH || dwBrowseFilterType == OPC_LEAF ||
                   dwBrowseFilterType == OPC_FLAT)
               ? E_NOTIMPL
               : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override {
    *szItemID = Utf8ToTaskString(OleToUtf8(szItemDataID));
    return *szItemID ? S_OK : OPC_E_UNKNOWNITEMID;
  }
  HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID,
                                              LPENUMSTRING* ppIEnumString) override {
    (void)szItemID;
    *ppIEnumString = nullptr;
    return E_NOTIMPL;
  }

  // IOPCItemProperties
  HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                     DWORD** ppPropertyIDs,
                                                     LPWSTR** ppDescriptions,
                                                     VARTYPE** ppvtDataTypes) override {
    (void)szItemID;
    *pdwCount = 1;
    *ppPropertyIDs = static_cast<DWORD*>(CoTaskMemAlloc(sizeof(DWORD)));
    *ppDescriptions = static_cast<LPWSTR*>(CoTaskMemAlloc(sizeof(LPWSTR)));
    *ppvtDataTypes = static_cast<VARTYPE*>(CoTaskMemAlloc(sizeof(VARTYPE)));
    (*ppPropertyIDs)[0] = OPC_PROP_CDT;
    (*ppDescriptions)[0] = Utf8ToTaskString("Item Canonical Data Type");
    (*ppvtDataTypes)[0] = VT_I2;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR szItemID, DWORD dwCount,
                                              DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                              HRESULT** ppErrors) override {
    (void)szItemID;
    *ppvData = static_cast<VARIANT*>(CoTaskMemAlloc(dwCount * sizeof(VARIANT)));
    *ppErrors = static_cast<HRESULT*>(CoTaskMemAlloc(dwCount * sizeof(HRESULT)));
    for (DWORD i = 0; i < dwCount; ++i) {
      VariantInit(&(*ppvData)[i]);
      (*ppErrors)[i] = pdwPropertyIDs[i] == OPC_PROP_TIME ? S_OK : OPC_E_INVALID_PID;
      (*ppvData)[i].vt = VT_DATE;
      (*ppvData)[i].date = 0;
    }
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                          LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override {
    (void)pdwPropertyIDs;
    *ppszNewItemIDs = static_cast<LPWSTR*>(CoTaskMemAlloc(dwCount * sizeof(LPWSTR)));
    *ppErrors = static_cast<HRESULT*>(CoTaskMemAlloc(dwCount * sizeof(HRESULT)));
    for (DWORD i = 0; i < dwCount; ++i) {
      (*ppszNewItemIDs)[i] = Utf16ToTaskString(OleToUtf16(szItemID));
      (*ppErrors)[i] = S_OK;
    }
    return S_OK;
  }

  // IPersistFile
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override {
    (void)pClassID;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE Load(LPCOLESTR pszFileName, DWORD dwMode) override {
    (void)pszFileName, (void)dwMode;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Save(LPCOLESTR pszFileName, BOOL fRemember) override {
    (void)pszFileName, (void)fRemember;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR pszFileName) override {
    (void)pszFileName;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* ppszFileName) override {
    (void)ppszFileName;
    return S_FALSE;
  }

  // ISupportErrorInfo, IProvideClassInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return riid == IID_IOPCServer ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) override {
    *ppTI = nullptr;
    return E_NOTIMPL;
  }

  void NotifyShutdown() {
    for (const auto& sink : points_.Find(IID_IOPCShutdown)->Sinks<IOPCShutdown>())
      sink->ShutdownRequest(OLESTR("ending"));
  }

 private:
  ~Server() = default;
  ULONG refs_ = 1;
  zelcom::ConnectionPointContainer points_;
  ComPtr<IOPCShutdown> shutdown_;
  std::string client_;
};

// A group: the group-side interfaces.
class Group final : public IOPCItemMgt,
                    public IOPCGroupStateMgt,
                    public IOPCPublicGroupStateMgt,
                    public IOPCSyncIO,
                    public IOPCAsyncIO2,
                    public IEnumOPCItemAttributes {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = riid == IID_IOPCItemMgt ? static_cast<IOPCItemMgt*>(this) : nullptr;
    return *ppv ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  // IOPCItemMgt
  HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                     OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override {
    if (dwCount == 0) return E_INVALIDARG;
    auto* results = static_cast<OPCITEMRESULT*>(CoTaskMemAlloc(dwCount * sizeof(OPCITEMRESULT)));
    auto* errors = static_cast<HRESULT*>(CoTaskMemAlloc(dwCount * sizeof(HRESULT)));
    if (!results || !errors) {
      CoTaskMemFree(results);
      CoTaskMemFree(errors);
      return E_OUTOFMEMORY;
    }
    HRESULT hr = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      const OPCITEMDEF& def = pItemArray[i];
      results[i] = OPCITEMRESULT{};
      errors[i] = OleToUtf8(def.szItemID).empty() ? OPC_E_INVALIDITEMID
                  : def.vtRequestedDataType > VT_I8 ? OPC_E_BADTYPE
                                                    : S_OK;
      if (errors[i] == S_OK) {
        results[i].hServer = 0x100000 + i;
        results[i].vtCanonicalDataType = VT_R8;
        results[i].dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
      } else {
        hr = S_FALSE;
      }
      (void)def.szAccessPath, (void)def.bActive, (void)def.hClient, (void)def.dwBlobSize,
          (void)def.pBlob;
    }
    *ppAddResults = results;
    *ppErrors = errors;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                          BOOL bBlobUpdate, OPCITEMRESULT** ppValidationResults,
                                          HRESULT** ppErrors) override {
    (void)bBlobUpdate;
    return AddItems(dwCount, pItemArray, ppValidationResults, ppErrors);
  }
  HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer,
                                        HRESULT** ppErrors) override {
    return Errors(dwCount, phServer, ppErrors);
  }
  HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                           HRESULT** ppErrors) override {
    (void)bActive;
    return Errors(dwCount, phServer, ppErrors);
  }
  HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer,
                                             OPCHANDLE* phClient, HRESULT** ppErrors) override {
    (void)phClient;
    return Errors(dwCount, phServer, ppErrors);
  }
  HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                         VARTYPE* pRequestedDatatypes,
                                         HRESULT** ppErrors) override {
    (void)pRequestedDatatypes;
    return Errors(dwCount, phServer, ppErrors);
  }
  HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override {
    *ppUnk = nullptr;
    return riid == IID_IEnumOPCItemAttributes ? S_FALSE : E_NOINTERFACE;
  }

  // IOPCGroupStateMgt
  HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName,
                                     LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                     OPCHANDLE* phClientGroup,
                                     OPCHANDLE* phServerGroup) override {
    *pUpdateRate = 1000;
    *pActive = TRUE;
    *ppName = Utf8ToTaskString("G");
    *pTimeBias = 0;
    *pPercentDeadband = 0.0f;
    *pLCID = LOCALE_SYSTEM_DEFAULT;
    *phClientGroup = 0;
    *phServerGroup = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                                     BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                     DWORD* pLCID, OPCHANDLE* phClientGroup) override {
    (void)pActive, (void)pTimeBias, (void)pPercentDeadband, (void)pLCID, (void)phClientGroup;
    if (pRevisedUpdateRate) *pRevisedUpdateRate = pRequestedUpdateRate ? *pRequestedUpdateRate : 10;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) override {
    return OleToUtf8(szName).empty() ? E_INVALIDARG : OPC_E_DUPLICATENAME;
  }
  HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override {
    (void)szName;
    *ppUnk = nullptr;
    return riid == IID_IOPCGroupStateMgt || riid == IID_IUnknown ? E_OUTOFMEMORY : E_NOINTERFACE;
  }

  // IOPCPublicGroupStateMgt
  HRESULT STDMETHODCALLTYPE GetState(BOOL* pPublic) override {
    *pPublic = FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE MoveToPublic() override { return S_OK; }

  // IOPCSyncIO
  HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                 OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override {
    auto* states = static_cast<OPCITEMSTATE*>(CoTaskMemAlloc(dwCount * sizeof(OPCITEMSTATE)));
    if (!states) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwCount; ++i) {
      states[i] = OPCITEMSTATE{};
      states[i].hClient = phServer[i];
      states[i].wQuality = dwSource == OPC_DS_DEVICE ? OPC_QUALITY_GOOD : OPC_QUALITY_OUT_OF_SERVICE;
      VariantInit(&states[i].vDataValue);
      states[i].vDataValue.vt = VT_BSTR;
      states[i].vDataValue.bstrVal = SysAllocString(OLESTR("value"));
      GetSystemTimeAsFileTime(&states[i].ftTimeStamp);
    }
    *ppItemValues = states;
    return Errors(dwCount, phServer, ppErrors);
  }
  HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                  HRESULT** ppErrors) override {
    for (DWORD i = 0; i < dwCount; ++i) {
      VARIANT converted;
      VariantInit(&converted);
      if (FAILED(VariantChangeType(&converted, &pItemValues[i], 0, VT_R8))) {
        VariantClear(&converted);
        converted.vt = VT_I4;
        converted.lVal = DISP_E_TYPEMISMATCH;
      }
      VariantClear(&converted);
    }
    return Errors(dwCount, phServer, ppErrors);
  }

  // IOPCAsyncIO2
  HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                                 DWORD* pdwCancelID, HRESULT** ppErrors) override {
    *pdwCancelID = dwTransactionID;
    return Errors(dwCount, phServer, ppErrors);
  }
  HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                  DWORD dwTransactionID, DWORD* pdwCancelID,
                                  HRESULT** ppErrors) override {
    (void)pItemValues;
    *pdwCancelID = dwTransactionID;
    return Errors(dwCount, phServer, ppErrors);
  }
  HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                     DWORD* pdwCancelID) override {
    (void)dwSource;
    *pdwCancelID = dwTransactionID;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) override { return dwCancelID ? S_OK : E_FAIL; }
  HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) override { return bEnable ? S_OK : S_OK; }
  HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) override {
    *pbEnable = TRUE;
    return S_OK;
  }

  // IEnumOPCItemAttributes
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray,
                                 ULONG* pceltFetched) override {
    *pceltFetched = 0;
    if (celt == 0) return S_FALSE;
    auto* a = static_cast<OPCITEMATTRIBUTES*>(CoTaskMemAlloc(celt * sizeof(OPCITEMATTRIBUTES)));
    if (!a) return E_OUTOFMEMORY;
    a[0] = OPCITEMATTRIBUTES{};
    a[0].szAccessPath = Utf8ToTaskString("");
    a[0].szItemID = Utf8ToTaskString("Plant.Pump");
    a[0].dwEUType = OPC_NOENUM;
    VariantInit(&a[0].vEUInfo);
    *ppItemArray = a;
    *pceltFetched = 1;
    return celt == 1 ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override { return celt ? S_FALSE : S_OK; }
  HRESULT STDMETHODCALLTYPE Reset() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override {
    *ppEnumItemAttributes = nullptr;
    return E_UNEXPECTED;
  }

 private:
  static HRESULT Errors(DWORD dwCount, const OPCHANDLE* phServer, HRESULT** ppErrors) {
    auto* errors = static_cast<HRESULT*>(CoTaskMemAlloc(dwCount * sizeof(HRESULT)));
    if (!errors) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwCount; ++i)
      errors[i] = phServer[i] >= 0x100000 ? S_OK : OPC_E_INVALIDHANDLE;
    *ppErrors = errors;
    return S_OK;
  }
};

// The client side: callbacks a client implements, and calls through the interfaces.
class Callback final : public IOPCDataCallback, public IOPCShutdown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IOPCDataCallback) *ppv = static_cast<IOPCDataCallback*>(this);
    else if (riid == IID_IOPCShutdown) *ppv = static_cast<IOPCShutdown*>(this);
    else *ppv = nullptr;
    return *ppv ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD dwTransid, OPCHANDLE hGroup,
                                         HRESULT hrMasterquality, HRESULT hrMastererror,
                                         DWORD dwCount, OPCHANDLE* phClientItems,
                                         VARIANT* pvValues, WORD* pwQualities,
                                         FILETIME* pftTimeStamps, HRESULT* pErrors) override {
    (void)dwTransid, (void)hGroup, (void)hrMasterquality, (void)hrMastererror,
        (void)phClientItems, (void)pftTimeStamps, (void)pErrors;
    for (DWORD i = 0; i < dwCount; ++i)
      if ((pwQualities[i] & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD && pvValues[i].vt == VT_R8)
        last_ = pvValues[i].dblVal;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup,
                                           HRESULT hrMasterquality, HRESULT hrMastererror,
                                           DWORD dwCount, OPCHANDLE* phClientItems,
                                           VARIANT* pvValues, WORD* pwQualities,
                                           FILETIME* pftTimeStamps, HRESULT* pErrors) override {
    return OnDataChange(dwTransid, hGroup, hrMasterquality, hrMastererror, dwCount,
                        phClientItems, pvValues, pwQualities, pftTimeStamps, pErrors);
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup,
                                            HRESULT hrMastererr, DWORD dwCount,
                                            OPCHANDLE* pClienthandles,
                                            HRESULT* pErrors) override {
    (void)dwTransid, (void)hGroup, (void)hrMastererr, (void)dwCount, (void)pClienthandles,
        (void)pErrors;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) override {
    (void)dwTransid, (void)hGroup;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR szReason) override {
    reason_ = OleToUtf8(szReason);
    return S_OK;
  }

 private:
  double last_ = 0;
  std::string reason_;
};

class ServerFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = riid == IID_IClassFactory || riid == IID_IUnknown ? this : nullptr;
    return *ppv ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                           void** ppvObject) override {
    *ppvObject = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    auto* s = new Server;
    HRESULT hr = s->QueryInterface(riid, ppvObject);
    s->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
    if (fLock) CoAddRefServerProcess(); else CoReleaseServerProcess();
    return S_OK;
  }
};

// The client's road through a server, with every result freed as a real client does.
HRESULT UseServer(REFCLSID clsid) {
  ServerFactory factory;
  DWORD cookie = 0;
  HRESULT hr = CoRegisterClassObject(clsid, &factory, CLSCTX_LOCAL_SERVER,
                                     REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
  if (FAILED(hr)) return hr;
  CoResumeClassObjects();
  ComPtr<IOPCServer> server;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                        server.ReceiveVoid());
  if (SUCCEEDED(hr)) {
    OPCSERVERSTATUS* status = nullptr;
    if (SUCCEEDED(server->GetStatus(&status))) {
      CoTaskMemFree(status->szVendorInfo);
      CoTaskMemFree(status);
    }
    ComPtr<IOPCCommon> common;
    if (SUCCEEDED(server.As(IID_IOPCCommon, &common))) {
      LCID* lcids = nullptr;
      DWORD n = 0;
      common->QueryAvailableLocaleIDs(&n, &lcids);
      CoTaskMemFree(lcids);
      common->SetClientName(OLESTR("stand-in"));
    }
    ComPtr<IConnectionPointContainer> cpc;
    ComPtr<IConnectionPoint> cp;
    Callback callback;
    DWORD adviseCookie = 0;
    if (SUCCEEDED(server.As(IID_IConnectionPointContainer, &cpc)) &&
        SUCCEEDED(cpc->FindConnectionPoint(IID_IOPCShutdown, cp.Receive()))) {
      cp->Advise(static_cast<IOPCShutdown*>(&callback), &adviseCookie);
      cp->Unadvise(adviseCookie);
    }
    OPCHANDLE group = 0;
    DWORD revised = 0;
    ComPtr<IUnknown> unk;
    server->AddGroup(OLESTR("G"), TRUE, 0, 1, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT, &group,
                     &revised, IID_IOPCItemMgt, unk.Receive());
    LPWSTR text = nullptr;
    if (SUCCEEDED(server->GetErrorString(OPC_E_UNKNOWNITEMID, LOCALE_SYSTEM_DEFAULT, &text)))
      CoTaskMemFree(text);
    CoDisconnectObject(server.Get(), 0);
  }
  CoRevokeClassObject(cookie);

  // Records and conversions as the group code uses them.
  OPCITEMDEF def = {};
  def.szItemID = const_cast<LPWSTR>(OLESTR("Plant.Pump"));
  def.vtRequestedDataType = VT_R4;
  Group g;
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  if (SUCCEEDED(g.AddItems(1, &def, &results, &errors))) {
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
  }
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = Utf8ToBstr("12.5");
  VARIANT copy;
  VariantInit(&copy);
  VariantCopy(&copy, &v);
  VariantChangeType(&v, &v, VARIANT_ALPHABOOL, VT_R8);
  VariantClear(&v);
  VariantClear(&copy);
  // The category registration of the server class.
  ComPtr<ICatRegister> cats;
  if (SUCCEEDED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_ICatRegister, cats.ReceiveVoid()))) {
    CATEGORYINFO info = {};
    info.catid = CATID_OPCDAServer20;
    info.lcid = 0x409;
    std::u16string description = u"OPC Data Access Servers Version 2.0";
    for (size_t i = 0; i < description.size(); ++i)
      info.szDescription[i] = static_cast<OLECHAR>(description[i]);
    cats->RegisterCategories(1, &info);
    CATID implemented[] = {CATID_OPCDAServer20};
    cats->RegisterClassImplCategories(clsid, 1, implemented);
  }
  std::string text = GuidToText(CATID_OPCDAServer20);
  return TextToGuid(text) ? hr : E_FAIL;
}

}  // namespace opcda_use
