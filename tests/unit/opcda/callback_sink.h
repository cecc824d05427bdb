// A recording IOPCDataCallback for the OPC DA tests: every callback with its arrays
// copied (values as text), an action to run inside the callback (the client that calls
// back into the server), and a chosen answer or exception (the failing client).
#pragma once
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "com/ole_text.h"
#include "com/opc_da.h"
#include "server/opcda/com_object.h"

namespace opcda_test {

constexpr HRESULT kRpcDisconnected = static_cast<HRESULT>(0x80010108);

// One callback as the sink saw it.
struct Call {
  char kind = 0;  // 'D' data change, 'R' read, 'W' write, 'C' cancel
  DWORD trans = 0;
  OPCHANDLE group = 0;
  HRESULT master = S_OK;  // quality (D, R) or error (W)
  std::vector<OPCHANDLE> handles;
  std::vector<std::string> values;  // as text
  std::vector<WORD> qualities;
  std::vector<HRESULT> errors;
  bool oneTimeStamp = true;
};

inline std::string Text(const VARIANT& v) {
  VARIANT t;
  VariantInit(&t);
  if (v.vt == VT_I4 && v.lVal == static_cast<LONG>(DISP_E_TYPEMISMATCH)) return "mismatch";
  if (FAILED(VariantChangeType(&t, const_cast<VARIANT*>(&v), 0, VT_BSTR))) return "?";
  std::string s = OleToUtf8(t.bstrVal);
  VariantClear(&t);
  return (v.vt == VT_BSTR ? "s:" : "") + s;
}

// A client's IOPCDataCallback that records every call; `during` runs inside each call
// (the re-entering client), `answer` is what it returns, `throws` makes it throw.
class Sink final : public TComObject<IOPCDataCallback, &IID_IOPCDataCallback> {
 public:
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD t, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n,
                                         OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME* ts,
                                         HRESULT* e) override {
    (void)me;
    return Record('D', t, g, mq, n, h, v, q, ts, e);
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD t, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n,
                                           OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME* ts,
                                           HRESULT* e) override {
    (void)me;
    return Record('R', t, g, mq, n, h, v, q, ts, e);
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD t, OPCHANDLE g, HRESULT me, DWORD n,
                                            OPCHANDLE* h, HRESULT* e) override {
    return Record('W', t, g, me, n, h, nullptr, nullptr, nullptr, e);
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD t, OPCHANDLE g) override {
    return Record('C', t, g, S_OK, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
  }

  std::vector<Call> calls;
  std::function<void(const Call&)> during;
  HRESULT answer = S_OK;
  bool throws = false;

 private:
  HRESULT Record(char kind, DWORD t, OPCHANDLE g, HRESULT m, DWORD n, OPCHANDLE* h, VARIANT* v,
                 WORD* q, FILETIME* ts, HRESULT* e) {
    Call c;
    c.kind = kind;
    c.trans = t;
    c.group = g;
    c.master = m;
    for (DWORD i = 0; i < n; ++i) {
      c.handles.push_back(h[i]);
      c.errors.push_back(e[i]);
      if (v) c.values.push_back(Text(v[i]));
      if (q) c.qualities.push_back(q[i]);
      if (ts && (ts[i].dwLowDateTime != ts[0].dwLowDateTime ||
                 ts[i].dwHighDateTime != ts[0].dwHighDateTime))
        c.oneTimeStamp = false;
    }
    calls.push_back(c);
    auto keep = zelcom::ComPtr<IOPCDataCallback>(this);  // `during` may unadvise us
    if (during) during(calls.back());
    if (throws) throw std::runtime_error("client fault");
    return answer;
  }
};

}  // namespace opcda_test
