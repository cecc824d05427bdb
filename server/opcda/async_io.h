// TAsyncIO2: one pending asynchronous transaction of a group (IOPCAsyncIO2 Read, Write or
// Refresh2), queued by the call and completed, cancelled or dropped by a later scan of
// its group. Owns the copies of the values a write hands over. Main thread only.
#pragma once
#include <vector>

#include "com/com.h"
#include "com/opc_da.h"

class TOPCGroup;

enum TAsyncKind : DWORD { akRead = 1, akWrite = 2, akRefresh = 3 };

class TAsyncIO2 {
 public:
  TAsyncIO2(TOPCGroup* group, TAsyncKind kind, DWORD clientTransId)
      : _group(group), _clientTransId(clientTransId), _kind(kind) {}
  ~TAsyncIO2() {
    for (VARIANT& v : _values) VariantClear(&v);
  }
  TAsyncIO2(const TAsyncIO2&) = delete;
  TAsyncIO2& operator=(const TAsyncIO2&) = delete;

  // Room for n entries, so that addItem cannot fail for want of it. Throws bad_alloc.
  void reserve(size_t n) {
    _serverHandles.reserve(n);
    if (_kind == akWrite) _values.reserve(n);
  }
  // Appends one item (and, for a write, a copy of its value); E_OUTOFMEMORY when the
  // value cannot be copied (nothing is appended then).
  HRESULT addItem(OPCHANDLE serverHandle, const VARIANT* value) {
    if (_kind == akWrite) {
      VARIANT copy;
      VariantInit(&copy);
      HRESULT hr = VariantCopy(&copy, const_cast<VARIANT*>(value));
      if (FAILED(hr)) return hr;
      _values.push_back(copy);  // reserved: cannot throw
    }
    _serverHandles.push_back(serverHandle);
    return S_OK;
  }
  void setCancelId(DWORD id) { _cancelId = id; }
  void cancel() { _cancelled = true; }
  void setDone() { _done = true; }

  TOPCGroup* group() const { return _group; }
  DWORD clientTransId() const { return _clientTransId; }
  DWORD cancelId() const { return _cancelId; }
  TAsyncKind kind() const { return _kind; }
  bool cancelled() const { return _cancelled; }
  bool done() const { return _done; }
  size_t count() const { return _serverHandles.size(); }
  OPCHANDLE serverHandle(size_t i) const { return _serverHandles[i]; }
  const VARIANT& value(size_t i) const { return _values[i]; }

 private:
  TOPCGroup* _group;
  DWORD _clientTransId;
  DWORD _cancelId = 0;
  std::vector<OPCHANDLE> _serverHandles;  // the valid handles of the call, in call order
  std::vector<VARIANT> _values;           // writes: parallel to _serverHandles, owned
  bool _cancelled = false;
  bool _done = false;  // completed (or cancelled) by the scan that is processing it
  TAsyncKind _kind;
};
