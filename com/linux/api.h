// The COM and OLE automation functions of our runtime on Linux, with the Windows SDK
// names and signatures. All of them are safe to call from any thread; COM objects
// themselves live on the main thread (single-threaded apartment). Included through
// com/com.h only.
#pragma once
#include "com/linux/interfaces.h"

// Apartment set-up: counted per thread; S_FALSE when the thread was initialised already.
HRESULT CoInitialize(LPVOID pvReserved);
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();

// The task allocator: blocks that cross an interface (out-parameters) come from here
// and the receiver frees them. CoTaskMemAlloc(0) returns a valid block.
LPVOID CoTaskMemAlloc(size_t cb);
LPVOID CoTaskMemRealloc(LPVOID pv, size_t cb);
void CoTaskMemFree(LPVOID pv);

// BSTR: length-prefixed UTF-16 with a terminating zero. A null BSTR is the empty text.
BSTR SysAllocString(const OLECHAR* psz);
BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);  // strIn null: ui zero characters
INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
void SysFreeString(BSTR bstrString);
UINT SysStringLen(BSTR pbstr);
UINT SysStringByteLen(BSTR bstr);

// VARIANT.
void VariantInit(VARIANTARG* pvarg);
HRESULT VariantClear(VARIANTARG* pvarg);
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                          VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid,
                            USHORT wFlags, VARTYPE vt);

// GUID text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (38 characters).
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);  // characters incl. zero, 0 if short
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid);

// The user's locale: en-US, as the runtime has no locale table of its own.
LCID GetUserDefaultLCID();

// Times. Local time follows the machine's time zone (TZ).
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime);
INT VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME lpSystemTime);
INT SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DOUBLE* pvtime);

// Class objects inside the process. A registered class object is held (one reference)
// until it is revoked; suspended registrations are invisible to CoCreateInstance until
// CoResumeClassObjects.
HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                              LPDWORD lpdwRegister);
HRESULT CoRevokeClassObject(DWORD dwRegister);
HRESULT CoResumeClassObjects();
HRESULT CoSuspendClassObjects();
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                         LPVOID* ppv);
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv);
// Clients are in the same process and hold direct pointers, so there are no external
// (marshalled) references to cut: the call checks its argument and succeeds. The caller
// then destroys the object, as it does on Windows.
HRESULT CoDisconnectObject(LPUNKNOWN pUnk, DWORD dwReserved);

// The server process reference count: every live COM object of a COM-started server
// holds one. CoReleaseServerProcess returning 0 suspends the class objects and means
// the process may end (com/runtime_control.h tells the program).
ULONG CoAddRefServerProcess();
ULONG CoReleaseServerProcess();
