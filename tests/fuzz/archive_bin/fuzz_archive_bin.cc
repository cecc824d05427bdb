// The binary archive reader (plain and gzip) on any bytes: it never crashes or reads
// outside the file, and whatever it opens reads, stores and reads back the same.
#include <cstdint>
#include <string>

#include "common/archive/obj_archive_bin.h"
#include "tests/fuzz/archive_roundtrip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CNxObjArBin ar;
  if (!ar.OpenBytes(std::string(reinterpret_cast<const char*>(data), size))) return 0;
  CheckRoundTrip(ar, ar.FormatName() == "BINZ" ? ObjArFormat::BINZ : ObjArFormat::BIN);
  return 0;
}
