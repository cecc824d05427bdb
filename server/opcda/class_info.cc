// Type information of the library's classes and interfaces, and the class-info part.
#include "server/opcda/class_info.h"

#include <cstring>

namespace {

struct TTypeDesc {
  const GUID* guid;
  TYPEKIND kind;
  WORD flags;
  WORD major, minor;
  const char16_t* name;
  const char16_t* doc;        // null: none
  int implemented;            // index of the implemented type, -1: none
  WORD vftSlots;              // IUnknown 3, IDispatch 7; 0 for classes
};

const TTypeDesc kTypes[] = {
    {&CLSID_ZELOPC, TKIND_COCLASS,
     TYPEFLAG_FAPPOBJECT | TYPEFLAG_FCANCREATE | TYPEFLAG_FPREDECLID | TYPEFLAG_FHIDDEN, 3, 0, u"ZELOPC",
     u"Zel Net OPC Server 3", 1, 0},
    {&IID_IDA2, TKIND_DISPATCH, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE, 2, 0, u"IDA2",
     nullptr, -1, 7},
    {&CLSID_OPCGroup, TKIND_COCLASS, TYPEFLAG_FCANCREATE, 3, 0, u"OPCGroup", nullptr, 3, 0},
    {&IID_IOPCGroup, TKIND_INTERFACE, 0, 2, 0, u"IOPCGroup", nullptr, -1, 3},
};

// Stateless and process-long, like the system's own type information while its library
// is loaded: the reference count is not kept.
class TZelTypeInfo final : public ITypeInfo {
 public:
  explicit TZelTypeInfo(const TTypeDesc& d) : d_(d) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ITypeInfo)) {
      *ppv = static_cast<ITypeInfo*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** pp) override {
    if (!pp) return E_INVALIDARG;
    *pp = static_cast<TYPEATTR*>(CoTaskMemAlloc(sizeof(TYPEATTR)));
    if (!*pp) return E_OUTOFMEMORY;
    TYPEATTR& a = **pp;
    std::memset(&a, 0, sizeof a);
    a.guid = *d_.guid;
    a.lcid = kTypeLibLcid;
    a.memidConstructor = MEMBERID_NIL;
    a.memidDestructor = MEMBERID_NIL;
    a.cbSizeInstance = sizeof(void*);
    a.typekind = d_.kind;
    a.cImplTypes = d_.implemented >= 0 ? 1 : 0;
    a.cbSizeVft = static_cast<WORD>(d_.vftSlots * sizeof(void*));
    a.cbAlignment = sizeof(void*);
    a.wTypeFlags = d_.flags;
    a.wMajorVerNum = d_.major;
    a.wMinorVerNum = d_.minor;
    a.tdescAlias.vt = VT_EMPTY;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR* p) override { CoTaskMemFree(p); }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp** pp) override {
    if (pp) *pp = nullptr;
    return E_NOTIMPL;
  }
  // No functions, no variables.
  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT, FUNCDESC** pp) override {
    if (pp) *pp = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC** pp) override {
    if (pp) *pp = nullptr;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC*) override {}
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}
  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID, BSTR*, UINT, UINT* pcNames) override {
    if (pcNames) *pcNames = 0;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT index, HREFTYPE* p) override {
    if (!p) return E_INVALIDARG;
    if (index != 0 || d_.implemented < 0) return TYPE_E_ELEMENTNOTFOUND;
    *p = static_cast<HREFTYPE>(d_.implemented + 1);  // 0 is no reference
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT index, INT* p) override {
    if (!p) return E_INVALIDARG;
    if (index != 0 || d_.implemented < 0) return TYPE_E_ELEMENTNOTFOUND;
    *p = IMPLTYPEFLAG_FDEFAULT;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE h, ITypeInfo** pp) override {
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    if (d_.implemented < 0 || h != static_cast<HREFTYPE>(d_.implemented + 1)) return TYPE_E_ELEMENTNOTFOUND;
    *pp = ZelTypeInfo(static_cast<TZelType>(d_.implemented));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* names, UINT n, MEMBERID* ids) override {
    if (n && (!names || !ids)) return E_INVALIDARG;
    for (UINT i = 0; i < n; ++i) ids[i] = MEMBERID_NIL;
    return n ? DISP_E_UNKNOWNNAME : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(PVOID, MEMBERID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* helpContext,
                                             BSTR* helpFile) override {
    if (memid != MEMBERID_NIL) return TYPE_E_ELEMENTNOTFOUND;
    BSTR n = nullptr, d = nullptr;
    // Each text only when asked for; a failed one leaves nothing behind.
    if (name && !(n = SysAllocString(reinterpret_cast<const OLECHAR*>(d_.name)))) return E_OUTOFMEMORY;
    if (doc && d_.doc && !(d = SysAllocString(reinterpret_cast<const OLECHAR*>(d_.doc)))) {
      SysFreeString(n);
      return E_OUTOFMEMORY;
    }
    if (name) *name = n;
    if (doc) *doc = d;
    if (helpContext) *helpContext = 0;
    if (helpFile) *helpFile = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR* dll, BSTR* name, WORD* ordinal) override {
    if (dll) *dll = nullptr;
    if (name) *name = nullptr;
    if (ordinal) *ordinal = 0;
    return TYPE_E_BADMODULEKIND;
  }
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID* pp) override {
    if (pp) *pp = nullptr;
    return TYPE_E_BADMODULEKIND;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, PVOID* pp) override {
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    if (d_.kind != TKIND_COCLASS) return TYPE_E_WRONGTYPEKIND;
    return CoCreateInstance(*d_.guid, outer, CLSCTX_SERVER, riid, pp);
  }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR* p) override {
    if (!p) return E_INVALIDARG;
    *p = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib** pp, UINT* index) override {
    if (pp) *pp = nullptr;
    if (index) *index = 0;
    return E_NOTIMPL;
  }

 private:
  const TTypeDesc& d_;
};

}  // namespace

ITypeInfo* ZelTypeInfo(TZelType type) {
  static TZelTypeInfo infos[] = {TZelTypeInfo(kTypes[0]), TZelTypeInfo(kTypes[1]), TZelTypeInfo(kTypes[2]),
                                 TZelTypeInfo(kTypes[3])};
  return &infos[static_cast<int>(type)];
}

// ---- TClassInfoPart

void* TClassInfoPart::Find(REFIID riid) {
  if (dispatch_ && (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, IID_IDA2))) return static_cast<IDA2*>(this);
  if (IsEqualIID(riid, IID_IProvideClassInfo)) return static_cast<IProvideClassInfo*>(this);
  if (IsEqualIID(riid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
  // Member-less: the object's own IUnknown serves as its vtable.
  if (groupInterface_ && IsEqualIID(riid, IID_IOPCGroup)) return &outer_;
  return nullptr;
}

HRESULT TClassInfoPart::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_INVALIDARG;
  *pctinfo = 1;
  return S_OK;
}

HRESULT TClassInfoPart::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_INVALIDARG;
  *ppTInfo = nullptr;
  if (iTInfo != 0) return DISP_E_BADINDEX;
  *ppTInfo = ZelTypeInfo(TZelType::IDA2);
  return S_OK;
}

HRESULT TClassInfoPart::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  return ZelTypeInfo(TZelType::IDA2)->GetIDsOfNames(rgszNames, cNames, rgDispId);
}

HRESULT TClassInfoPart::Invoke(DISPID, REFIID riid, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT TClassInfoPart::GetClassInfo(ITypeInfo** ppTI) {
  if (!ppTI) return E_POINTER;
  *ppTI = ZelTypeInfo(coclass_);
  return S_OK;
}

HRESULT TClassInfoPart::InterfaceSupportsErrorInfo(REFIID riid) {
  void* p = nullptr;
  if (FAILED(outer_.QueryInterface(riid, &p)) || !p) return S_FALSE;
  static_cast<IUnknown*>(p)->Release();
  return S_OK;
}
