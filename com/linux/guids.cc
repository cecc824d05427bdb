// The interface IDs of the COM and OLE interfaces of our runtime (published values).
#include "com/linux/interfaces.h"

namespace {
// The IDs of the base COM interfaces share the tail C000-000000000046.
constexpr GUID OleGuid(uint32_t data1) {
  return {data1, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
}
// The connection point family and IProvideClassInfo share B196B28x-BAB4-101A-B69C-00AA00341D07.
constexpr GUID CtlGuid(uint32_t data1) {
  return {data1, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
}
}  // namespace

const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const GUID GUID_NULL = IID_NULL;
const CLSID CLSID_NULL = IID_NULL;
const IID IID_IUnknown = OleGuid(0x00000000);
const IID IID_IClassFactory = OleGuid(0x00000001);
const IID IID_IEnumUnknown = OleGuid(0x00000100);
const IID IID_IEnumString = OleGuid(0x00000101);
const IID IID_IPersistFile = OleGuid(0x0000010B);
const IID IID_IPersist = OleGuid(0x0000010C);
const IID IID_IDispatch = OleGuid(0x00020400);
const IID IID_ITypeInfo = OleGuid(0x00020401);
const IID IID_IEnumVARIANT = OleGuid(0x00020404);
const IID IID_IEnumGUID = OleGuid(0x0002E000);
const IID IID_IProvideClassInfo = CtlGuid(0xB196B283);
const IID IID_IConnectionPointContainer = CtlGuid(0xB196B284);
const IID IID_IEnumConnectionPoints = CtlGuid(0xB196B285);
const IID IID_IConnectionPoint = CtlGuid(0xB196B286);
const IID IID_IEnumConnections = CtlGuid(0xB196B287);
const IID IID_ISupportErrorInfo = {
    0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const IID IID_ICatRegister = OleGuid(0x0002E012);
const CLSID CLSID_StdComponentCategoriesMgr = OleGuid(0x0002E005);
