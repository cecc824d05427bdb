// The COM enumerators the server and group objects hand out: texts (IEnumString),
// interfaces (IEnumUnknown) and item attribute snapshots (IEnumOPCItemAttributes).
// Each owns its own copy of the list and a position; Clone starts a copy at the first
// element. Main thread only.
#pragma once
#include <string>
#include <vector>

#include "com/com.h"
#include "com/com_ptr.h"
#include "com/opc_da.h"
#include "server/opcda/com_object.h"

class TOPCStringsEnumerator final : public TComObject<IEnumString, &IID_IEnumString> {
 public:
  // Texts in UTF-8. Throws std::bad_alloc like any container.
  explicit TOPCStringsEnumerator(std::vector<std::string> list) : _list(std::move(list)) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumString** ppenum) override;

 private:
  std::vector<std::string> _list;
  size_t _next = 0;
};

class TS3UnknownEnumerator final : public TComObject<IEnumUnknown, &IID_IEnumUnknown> {
 public:
  // Holds one reference to each interface while it lives.
  explicit TS3UnknownEnumerator(std::vector<zelcom::ComPtr<IUnknown>> list)
      : _list(std::move(list)) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumUnknown** ppenum) override;

 private:
  std::vector<zelcom::ComPtr<IUnknown>> _list;
  size_t _next = 0;
};

// A snapshot of one group item for the attribute enumerator.
struct TOPCItemAttributes {
  bool _active = false;
  DWORD _euType = OPC_NOENUM;  // always OPC_NOENUM; _euInfo is always empty
  std::string _accessPath;     // always empty
  std::string _itemID;
  VARTYPE _requestedDataType = VT_EMPTY;
  VARTYPE _canonicalDataType = VT_EMPTY;
  OPCHANDLE _clientHandle = 0;
  OPCHANDLE _serverHandle = 0;
  DWORD _accessRights = OPC_READABLE;
};

class TOPCItemAttEnumerator final
    : public TComObject<IEnumOPCItemAttributes, &IID_IEnumOPCItemAttributes> {
 public:
  explicit TOPCItemAttEnumerator(std::vector<TOPCItemAttributes> list) : _list(std::move(list)) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray,
                                 ULONG* pceltFetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes** ppEnum) override;

 private:
  std::vector<TOPCItemAttributes> _list;
  size_t _next = 0;
};
