// What the server and group objects tell about their class: IProvideClassInfo (the
// coclass's type information), ISupportErrorInfo, and for the server the IDispatch side
// of its dual interface IDA2, which has no members. The type information comes from the
// type library's data (server/opcda/type_library.h) through small ITypeInfo objects of
// ours: attributes, documentation and implemented interfaces; there are no functions or
// variables to describe, and no type-library or binding object behind them
// (GetContainingTypeLib and GetTypeComp answer E_NOTIMPL).
#pragma once
#include "com/com.h"
#include "server/opcda/type_library.h"

enum class TZelType { ServerClass, IDA2, GroupClass, IOPCGroup };

// The process-long type information of one type of the library (not reference counted).
ITypeInfo* ZelTypeInfo(TZelType type);

// The three interfaces as a part of a COM object: every IUnknown call goes to the outer
// object, so QueryInterface through the part reaches all of the object's interfaces.
class TClassInfoPart final : public IDA2, public IProvideClassInfo, public ISupportErrorInfo {
 public:
  // dispatch: the object answers IDispatch and IDA2 (the server class).
  TClassInfoPart(IUnknown& outer, TZelType coclass, bool dispatch)
      : outer_(outer), coclass_(coclass), dispatch_(dispatch) {}
  TClassInfoPart(const TClassInfoPart&) = delete;
  TClassInfoPart& operator=(const TClassInfoPart&) = delete;

  // The interface pointer for riid when this part answers it, else null; no AddRef.
  void* Find(REFIID riid);
  // IOPCGroup (member-less) is answered by a group of the namespace's group class only.
  void AnswerGroupInterface() { groupInterface_ = true; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override { return outer_.QueryInterface(riid, ppv); }
  ULONG STDMETHODCALLTYPE AddRef() override { return outer_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return outer_.Release(); }
  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                   UINT* puArgErr) override;
  // IProvideClassInfo
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) override;
  // ISupportErrorInfo: S_OK for every interface the object answers, S_FALSE otherwise.
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

 private:
  IUnknown& outer_;
  TZelType coclass_;
  bool dispatch_;
  bool groupInterface_ = false;
};
