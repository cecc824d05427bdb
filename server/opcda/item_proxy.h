// The value object behind an OPC DA item: what a group's item reads, writes and
// reports. The namespace derives its item class from it; the OPC layer relies on
// nothing else. Main thread only.
#pragma once
#include <string>

#include "com/com.h"
#include "com/opc_da.h"

class TOPCItemProxy {
 public:
  explicit TOPCItemProxy(const std::string& name) : _ref(name), ShortName(name) {}
  TOPCItemProxy(const TOPCItemProxy&) = delete;
  TOPCItemProxy& operator=(const TOPCItemProxy&) = delete;
  virtual ~TOPCItemProxy() = default;

  virtual WORD quality() { return OPC_QUALITY_BAD; }
  // Local date-time of the value.
  virtual DATE lastUpdate() { return 0; }
  // The value into out (empty on entry; the caller clears it). E_OUTOFMEMORY when a
  // text cannot be allocated, else S_OK.
  virtual HRESULT value(VARIANT* out) {
    out->vt = VT_NULL;
    return S_OK;
  }
  virtual VARTYPE datatype() { return VT_NULL; }
  virtual bool writeable() { return false; }
  virtual void write(const VARIANT& value) { (void)value; }

  DWORD accessRights() { return writeable() ? (OPC_READABLE | OPC_WRITEABLE) : OPC_READABLE; }

  std::string _ref;       // fully qualified item id (UTF-8)
  std::string ShortName;  // name within its branch
};

// Resolves fully qualified item ids; the server object answers it.
class TOPCProxyFinder {
 public:
  virtual TOPCItemProxy* FindProxy(const std::string& itemId) = 0;

 protected:
  ~TOPCProxyFinder() = default;
};
