// The interface and category IDs of OPC DA 2.05a and OPC Common (published values).
#include "com/opc_da.h"

#include <cstdint>

namespace {
// The OPC DA 2.0 interfaces share the tail 011E-11D0-9675-0020AFD8ADB3.
constexpr GUID DaGuid(uint32_t data1) {
  return {data1, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
}
// OPC Common and the categories share the tail 11D2-B2D8-0060083BA1FB / 11D1-B2C8-...
constexpr GUID CommonGuid(uint32_t data1) {
  return {data1, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
}
constexpr GUID CategoryGuid(uint32_t data1) {
  return {data1, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
}
}  // namespace

const IID IID_IOPCServer = DaGuid(0x39C13A4D);
const IID IID_IOPCServerPublicGroups = DaGuid(0x39C13A4E);
const IID IID_IOPCBrowseServerAddressSpace = DaGuid(0x39C13A4F);
const IID IID_IOPCGroupStateMgt = DaGuid(0x39C13A50);
const IID IID_IOPCPublicGroupStateMgt = DaGuid(0x39C13A51);
const IID IID_IOPCSyncIO = DaGuid(0x39C13A52);
const IID IID_IOPCAsyncIO = DaGuid(0x39C13A53);
const IID IID_IOPCItemMgt = DaGuid(0x39C13A54);
const IID IID_IEnumOPCItemAttributes = DaGuid(0x39C13A55);
const IID IID_IOPCDataCallback = DaGuid(0x39C13A70);
const IID IID_IOPCAsyncIO2 = DaGuid(0x39C13A71);
const IID IID_IOPCItemProperties = DaGuid(0x39C13A72);
const IID IID_IOPCShutdown = CommonGuid(0xF31DFDE1);
const IID IID_IOPCCommon = CommonGuid(0xF31DFDE2);
const IID IID_IOPCServerList = {
    0x13486D50, 0x4821, 0x11D2, {0xA4, 0x94, 0x3C, 0xB3, 0x06, 0xC1, 0x00, 0x00}};
const CATID CATID_OPCDAServer10 = CategoryGuid(0x63D5F430);
const CATID CATID_OPCDAServer20 = CategoryGuid(0x63D5F432);
