// Host name and IPv4 addresses on Winsock and the IP helper API.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <vector>

#include "common/platform/host.h"
#include "common/platform/win_text.h"

std::string LocalHostName() {
  wchar_t buf[256] = {};
  DWORD n = 255;
  if (!GetComputerNameExW(ComputerNameDnsHostname, buf, &n)) return {};
  return NarrowText(std::wstring_view(buf, n));
}

std::vector<std::string> LocalIPv4Addresses() {
  std::vector<std::string> out;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buf;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  // The list may grow between the two calls: a few tries with the size asked for.
  for (int i = 0; i < 3 && rc == ERROR_BUFFER_OVERFLOW; ++i) {
    buf.resize(size);
    rc = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                              nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
  }
  if (rc != NO_ERROR) return out;
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); a; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
    for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
      if (u->Address.lpSockaddr->sa_family != AF_INET) continue;
      char text[INET_ADDRSTRLEN] = {};
      auto* sin = reinterpret_cast<sockaddr_in*>(u->Address.lpSockaddr);
      if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) out.emplace_back(text);
    }
  }
  return out;
}
