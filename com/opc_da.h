// The OPC Data Access 2.05a and OPC Common interfaces, written from the published
// definitions: IIDs, method order, records, enumerations, constants and result codes.
// The same declarations serve both platforms (on Windows on top of the system's COM
// headers). The DA 1.0 data-object transport is left out; IOPCAsyncIO keeps its slot
// order so a DA 1.0 client that asks for it gets a proper E_NOINTERFACE, nothing more.
#pragma once
#include "com/com.h"

using OPCHANDLE = DWORD;

enum OPCDATASOURCE { OPC_DS_CACHE = 1, OPC_DS_DEVICE = 2 };
enum OPCBROWSETYPE { OPC_BRANCH = 1, OPC_LEAF = 2, OPC_FLAT = 3 };
enum OPCNAMESPACETYPE { OPC_NS_HIERARCHIAL = 1, OPC_NS_FLAT = 2 };
enum OPCBROWSEDIRECTION { OPC_BROWSE_UP = 1, OPC_BROWSE_DOWN = 2, OPC_BROWSE_TO = 3 };
enum OPCEUTYPE { OPC_NOENUM = 0, OPC_ANALOG = 1, OPC_ENUMERATED = 2 };
enum OPCSERVERSTATE {
  OPC_STATUS_RUNNING = 1,
  OPC_STATUS_FAILED = 2,
  OPC_STATUS_NOCONFIG = 3,
  OPC_STATUS_SUSPENDED = 4,
  OPC_STATUS_TEST = 5
};
enum OPCENUMSCOPE {
  OPC_ENUM_PRIVATE_CONNECTIONS = 1,
  OPC_ENUM_PUBLIC_CONNECTIONS = 2,
  OPC_ENUM_ALL_CONNECTIONS = 3,
  OPC_ENUM_PRIVATE = 4,
  OPC_ENUM_PUBLIC = 5,
  OPC_ENUM_ALL = 6
};

// Records. Layouts as the published IDL compiles them (natural alignment).
struct OPCITEMDEF {
  LPWSTR szAccessPath;
  LPWSTR szItemID;
  BOOL bActive;
  OPCHANDLE hClient;
  DWORD dwBlobSize;
  BYTE* pBlob;
  VARTYPE vtRequestedDataType;
  WORD wReserved;
};

struct OPCITEMRESULT {
  OPCHANDLE hServer;
  VARTYPE vtCanonicalDataType;
  WORD wReserved;
  DWORD dwAccessRights;
  DWORD dwBlobSize;
  BYTE* pBlob;
};

struct OPCITEMSTATE {
  OPCHANDLE hClient;
  FILETIME ftTimeStamp;
  WORD wQuality;
  WORD wReserved;
  VARIANT vDataValue;
};

struct OPCSERVERSTATUS {
  FILETIME ftStartTime;
  FILETIME ftCurrentTime;
  FILETIME ftLastUpdateTime;
  OPCSERVERSTATE dwServerState;
  DWORD dwGroupCount;
  DWORD dwBandWidth;
  WORD wMajorVersion;
  WORD wMinorVersion;
  WORD wBuildNumber;
  WORD wReserved;
  LPWSTR szVendorInfo;
};

struct OPCITEMATTRIBUTES {
  LPWSTR szAccessPath;
  LPWSTR szItemID;
  BOOL bActive;
  OPCHANDLE hClient;
  OPCHANDLE hServer;
  DWORD dwAccessRights;
  DWORD dwBlobSize;
  BYTE* pBlob;
  VARTYPE vtRequestedDataType;
  VARTYPE vtCanonicalDataType;
  OPCEUTYPE dwEUType;
  VARIANT vEUInfo;
};

// Access rights.
constexpr DWORD OPC_READABLE = 0x1;
constexpr DWORD OPC_WRITEABLE = 0x2;

// Quality word: QQSSSSLL (quality, substatus, limit).
constexpr WORD OPC_QUALITY_MASK = 0xC0;
constexpr WORD OPC_STATUS_MASK = 0xFC;
constexpr WORD OPC_LIMIT_MASK = 0x03;
constexpr WORD OPC_QUALITY_BAD = 0x00;
constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
constexpr WORD OPC_QUALITY_GOOD = 0xC0;
constexpr WORD OPC_QUALITY_CONFIG_ERROR = 0x04;
constexpr WORD OPC_QUALITY_NOT_CONNECTED = 0x08;
constexpr WORD OPC_QUALITY_DEVICE_FAILURE = 0x0C;
constexpr WORD OPC_QUALITY_SENSOR_FAILURE = 0x10;
constexpr WORD OPC_QUALITY_LAST_KNOWN = 0x14;
constexpr WORD OPC_QUALITY_COMM_FAILURE = 0x18;
constexpr WORD OPC_QUALITY_OUT_OF_SERVICE = 0x1C;
constexpr WORD OPC_QUALITY_LAST_USABLE = 0x44;
constexpr WORD OPC_QUALITY_SENSOR_CAL = 0x50;
constexpr WORD OPC_QUALITY_EGU_EXCEEDED = 0x54;
constexpr WORD OPC_QUALITY_SUB_NORMAL = 0x58;
constexpr WORD OPC_QUALITY_LOCAL_OVERRIDE = 0xD8;
constexpr WORD OPC_LIMIT_OK = 0x00;
constexpr WORD OPC_LIMIT_LOW = 0x01;
constexpr WORD OPC_LIMIT_HIGH = 0x02;
constexpr WORD OPC_LIMIT_CONST = 0x03;

// Item property IDs.
constexpr DWORD OPC_PROP_CDT = 1;
constexpr DWORD OPC_PROP_VALUE = 2;
constexpr DWORD OPC_PROP_QUALITY = 3;
constexpr DWORD OPC_PROP_TIME = 4;
constexpr DWORD OPC_PROP_RIGHTS = 5;
constexpr DWORD OPC_PROP_SCANRATE = 6;
constexpr DWORD OPC_PROP_UNIT = 100;
constexpr DWORD OPC_PROP_DESC = 101;
constexpr DWORD OPC_PROP_HIEU = 102;
constexpr DWORD OPC_PROP_LOEU = 103;
constexpr DWORD OPC_PROP_HIRANGE = 104;
constexpr DWORD OPC_PROP_LORANGE = 105;
constexpr DWORD OPC_PROP_CLOSE = 106;
constexpr DWORD OPC_PROP_OPEN = 107;
constexpr DWORD OPC_PROP_TIMEZONE = 108;

// Result codes of OPC DA 2.05a.
constexpr HRESULT OPC_E_INVALIDHANDLE = static_cast<HRESULT>(0xC0040001);
constexpr HRESULT OPC_E_BADTYPE = static_cast<HRESULT>(0xC0040004);
constexpr HRESULT OPC_E_PUBLIC = static_cast<HRESULT>(0xC0040005);
constexpr HRESULT OPC_E_BADRIGHTS = static_cast<HRESULT>(0xC0040006);
constexpr HRESULT OPC_E_UNKNOWNITEMID = static_cast<HRESULT>(0xC0040007);
constexpr HRESULT OPC_E_INVALIDITEMID = static_cast<HRESULT>(0xC0040008);
constexpr HRESULT OPC_E_INVALIDFILTER = static_cast<HRESULT>(0xC0040009);
constexpr HRESULT OPC_E_UNKNOWNPATH = static_cast<HRESULT>(0xC004000A);
constexpr HRESULT OPC_E_RANGE = static_cast<HRESULT>(0xC004000B);
constexpr HRESULT OPC_E_DUPLICATENAME = static_cast<HRESULT>(0xC004000C);
constexpr HRESULT OPC_S_UNSUPPORTEDRATE = static_cast<HRESULT>(0x0004000D);
constexpr HRESULT OPC_S_CLAMP = static_cast<HRESULT>(0x0004000E);
constexpr HRESULT OPC_S_INUSE = static_cast<HRESULT>(0x0004000F);
constexpr HRESULT OPC_E_INVALIDCONFIGFILE = static_cast<HRESULT>(0xC0040010);
constexpr HRESULT OPC_E_NOTFOUND = static_cast<HRESULT>(0xC0040011);
constexpr HRESULT OPC_E_INVALID_PID = static_cast<HRESULT>(0xC0040203);

// Interface IDs and the component categories of OPC DA servers.
extern const IID IID_IOPCServer;
extern const IID IID_IOPCServerPublicGroups;
extern const IID IID_IOPCBrowseServerAddressSpace;
extern const IID IID_IOPCGroupStateMgt;
extern const IID IID_IOPCPublicGroupStateMgt;
extern const IID IID_IOPCSyncIO;
extern const IID IID_IOPCAsyncIO;
extern const IID IID_IOPCItemMgt;
extern const IID IID_IEnumOPCItemAttributes;
extern const IID IID_IOPCDataCallback;
extern const IID IID_IOPCAsyncIO2;
extern const IID IID_IOPCItemProperties;
extern const IID IID_IOPCCommon;
extern const IID IID_IOPCShutdown;
extern const IID IID_IOPCServerList;
extern const CATID CATID_OPCDAServer10;
extern const CATID CATID_OPCDAServer20;

struct IEnumOPCItemAttributes;

struct IOPCServer : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive,
                                             DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                                             LONG* pTimeBias, FLOAT* pPercentDeadband,
                                             DWORD dwLCID, OPCHANDLE* phServerGroup,
                                             DWORD* pRevisedUpdateRate, REFIID riid,
                                             LPUNKNOWN* ppUnk) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale,
                                                   LPWSTR* ppString) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid,
                                                   LPUNKNOWN* ppUnk) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                                          LPUNKNOWN* ppUnk) = 0;
};

struct IOPCServerPublicGroups : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetPublicGroupByName(LPCWSTR szName, REFIID riid,
                                                         LPUNKNOWN* ppUnk) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemovePublicGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
};

struct IOPCBrowseServerAddressSpace : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) = 0;
  virtual HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                         LPCWSTR szString) = 0;
  virtual HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                                     LPCWSTR szFilterCriteria,
                                                     VARTYPE vtDataTypeFilter,
                                                     DWORD dwAccessRightsFilter,
                                                     LPENUMSTRING* ppIEnumString) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) = 0;
  virtual HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID,
                                                      LPENUMSTRING* ppIEnumString) = 0;
};

struct IOPCGroupStateMgt : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName,
                                             LONG* pTimeBias, FLOAT* pPercentDeadband,
                                             DWORD* pLCID, OPCHANDLE* phClientGroup,
                                             OPCHANDLE* phServerGroup) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate,
                                             DWORD* pRevisedUpdateRate, BOOL* pActive,
                                             LONG* pTimeBias, FLOAT* pPercentDeadband,
                                             DWORD* pLCID, OPCHANDLE* phClientGroup) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) = 0;
  virtual HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid,
                                               LPUNKNOWN* ppUnk) = 0;
};

struct IOPCPublicGroupStateMgt : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetState(BOOL* pPublic) = 0;
  virtual HRESULT STDMETHODCALLTYPE MoveToPublic() = 0;
};

struct IOPCSyncIO : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount,
                                         OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                                         HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer,
                                          VARIANT* pItemValues, HRESULT** ppErrors) = 0;
};

struct IOPCAsyncIO : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(DWORD dwConnection, OPCDATASOURCE dwSource,
                                         DWORD dwCount, OPCHANDLE* phServer,
                                         DWORD* pTransactionID, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer,
                                          VARIANT* pItemValues, DWORD* pTransactionID,
                                          HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Refresh(DWORD dwConnection, OPCDATASOURCE dwSource,
                                            DWORD* pTransactionID) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel(DWORD dwTransactionID) = 0;
};

struct IOPCItemMgt : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                             OPCITEMRESULT** ppAddResults,
                                             HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                                  BOOL bBlobUpdate,
                                                  OPCITEMRESULT** ppValidationResults,
                                                  HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer,
                                                HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer,
                                                   BOOL bActive, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer,
                                                     OPCHANDLE* phClient,
                                                     HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                                 VARTYPE* pRequestedDatatypes,
                                                 HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) = 0;
};

struct IEnumOPCItemAttributes : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray,
                                         ULONG* pceltFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) = 0;
};

struct IOPCDataCallback : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnDataChange(DWORD dwTransid, OPCHANDLE hGroup,
                                                 HRESULT hrMasterquality, HRESULT hrMastererror,
                                                 DWORD dwCount, OPCHANDLE* phClientItems,
                                                 VARIANT* pvValues, WORD* pwQualities,
                                                 FILETIME* pftTimeStamps, HRESULT* pErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup,
                                                   HRESULT hrMasterquality,
                                                   HRESULT hrMastererror, DWORD dwCount,
                                                   OPCHANDLE* phClientItems, VARIANT* pvValues,
                                                   WORD* pwQualities, FILETIME* pftTimeStamps,
                                                   HRESULT* pErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup,
                                                    HRESULT hrMastererr, DWORD dwCount,
                                                    OPCHANDLE* pClienthandles,
                                                    HRESULT* pErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD dwTransid, OPCHANDLE hGroup) = 0;
};

struct IOPCAsyncIO2 : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer,
                                         DWORD dwTransactionID, DWORD* pdwCancelID,
                                         HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer,
                                          VARIANT* pItemValues, DWORD dwTransactionID,
                                          DWORD* pdwCancelID, HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                             DWORD* pdwCancelID) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) = 0;
};

struct IOPCItemProperties : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                             DWORD** ppPropertyIDs,
                                                             LPWSTR** ppDescriptions,
                                                             VARTYPE** ppvtDataTypes) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR szItemID, DWORD dwCount,
                                                      DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                                      HRESULT** ppErrors) = 0;
  virtual HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR szItemID, DWORD dwCount,
                                                  DWORD* pdwPropertyIDs,
                                                  LPWSTR** ppszNewItemIDs,
                                                  HRESULT** ppErrors) = 0;
};

// OPC Common.
struct IOPCShutdown : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR szReason) = 0;
};

struct IOPCCommon : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) = 0;
};

struct IOPCServerList : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG cImplemented,
                                                            CATID rgcatidImpl[], ULONG cRequired,
                                                            CATID rgcatidReq[],
                                                            IEnumGUID** ppenumClsid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClassDetails(REFCLSID clsid, LPOLESTR* ppszProgID,
                                                    LPOLESTR* ppszUserType) = 0;
  virtual HRESULT STDMETHODCALLTYPE CLSIDFromProgID(LPCOLESTR szProgId, LPCLSID clsid) = 0;
};
