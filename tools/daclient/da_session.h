// ZelDaClient's connection to one OPC DA server: activation by ProgID or class id, a
// private group with the command's items, and error texts that ask the server about its
// own codes. Only COM and the interfaces of the widl header.
#pragma once
#include <windows.h>
#include <ole2.h>

#include <string>
#include <vector>

#include "com/com_ptr.h"
#include "opc_da.h"

namespace daclient {

using zelcom::ComPtr;

// The items of one command in one private group of the server; client handle i+1 is
// the i-th item.
struct TItemGroup {
  ComPtr<IUnknown> group;
  OPCHANDLE hGroup = 0;
  DWORD revisedRate = 0;
  std::vector<std::wstring> ids;
  std::vector<OPCHANDLE> handles;  // 0 where the item was refused
  std::vector<HRESULT> errors;     // AddItems' answer per item
  std::vector<VARTYPE> types;      // canonical data types
};

class TDaSession {
 public:
  TDaSession() = default;
  TDaSession(const TDaSession&) = delete;
  TDaSession& operator=(const TDaSession&) = delete;
  ~TDaSession();

  // A ProgID or a "{class id}"; on failure error names the step and the result code.
  HRESULT Connect(const std::wstring& server, std::string& error);
  IOPCServer* Server() const { return server_.Get(); }
  const ComPtr<IOPCServer>& ServerPtr() const { return server_; }

  // A private group with the items added; fails only when the group itself fails
  // (item errors stay per item in the group).
  HRESULT AddGroup(const std::vector<std::wstring>& ids, bool active, DWORD rateMs, TItemGroup& g,
                   std::string& error);
  // Removes the group from the server (also done for every group by the destructor).
  void RemoveGroup(TItemGroup& g);

  // The server's text for its own codes (OPC's facility), the system's for the others.
  std::string ErrorText(HRESULT hr) const;

 private:
  ComPtr<IOPCServer> server_;
  std::vector<OPCHANDLE> groups_;
};

}  // namespace daclient
