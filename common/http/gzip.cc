// gzip decoding of answers (RFC 1952), done here rather than by the transport so that
// the decision follows the answer's Content-Encoding exactly.
#include <zlib.h>

#include <cstring>

#include "common/http/win_http_client.h"

bool GunzipAppend(std::string_view gz, std::string& out, size_t maxOut) {
  if (gz.empty()) return false;
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return false;
  const size_t start = out.size();
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  zs.avail_in = static_cast<uInt>(gz.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : gz.size());
  size_t fedTotal = zs.avail_in;
  char buf[16384];
  bool ok = false;
  for (;;) {
    zs.next_out = reinterpret_cast<Bytef*>(buf);
    zs.avail_out = sizeof buf;
    int rc = inflate(&zs, Z_NO_FLUSH);
    size_t got = sizeof buf - zs.avail_out;
    if (out.size() - start + got > maxOut) break;
    out.append(buf, got);
    if (rc == Z_STREAM_END) {
      // Another member may follow; anything else after the end is an error.
      if (zs.avail_in == 0 && fedTotal == gz.size()) { ok = true; break; }
      if (inflateReset(&zs) != Z_OK) break;
      continue;
    }
    if (rc == Z_BUF_ERROR && zs.avail_in == 0) {
      if (fedTotal < gz.size()) {
        size_t rest = gz.size() - fedTotal;
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data() + fedTotal));
        zs.avail_in = static_cast<uInt>(rest > 0xFFFFFFFFu ? 0xFFFFFFFFu : rest);
        fedTotal += zs.avail_in;
        continue;
      }
      break;  // input ended inside a member: truncated
    }
    if (rc != Z_OK) break;
  }
  inflateEnd(&zs);
  if (!ok) out.resize(start);
  return ok;
}
