// The XML archive reader on any bytes, as a file (encoding from its byte-order mark) and
// as the text of OpenText: it never crashes, and whatever it opens reads, stores and
// reads back the same.
#include <cstdint>
#include <string>

#include "common/archive/obj_archive_xml.h"
#include "tests/fuzz/archive_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  {
    TNxMemStream stream;
    stream.Bytes() = bytes;
    CNxObjArXML ar;
    if (ar.OpenStream(stream, false)) CheckRoundTrip(ar, ObjArFormat::XML);
  }
  {
    CNxObjArXML ar;
    if (ar.OpenText(bytes, false)) CheckRoundTrip(ar, ObjArFormat::XML);
  }
  return 0;
}
