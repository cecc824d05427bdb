// Identifiers of the type library and its classes.
#include "server/opcda/type_library.h"

namespace {
constexpr GUID ZelGuid(uint8_t last) {
  return {0x6B1D9A52, 0x3C7E, 0x4F0A, {0x9E, 0x21, 0x5A, 0x8C, 0x0D, 0x3F, 0x7B, last}};
}
}  // namespace

const GUID LIBID_ZelOpcServer3 = ZelGuid(0x10);
const CLSID CLSID_ZELOPC = ZelGuid(0x11);
const CLSID CLSID_OPCGroup = ZelGuid(0x12);
const IID IID_IDA2 = ZelGuid(0x13);
const IID IID_IOPCGroup = ZelGuid(0x14);
