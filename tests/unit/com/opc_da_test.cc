// The OPC DA and COM declarations: IDs against their published registry text, and the
// record layouts a client on Windows x64 expects.
#include <cstddef>

#include <gtest/gtest.h>

#include "com/guid_text.h"
#include "com/opc_da.h"

namespace {

TEST(OpcDaDeclarations, InterfaceIdsAreThePublishedOnes) {
  const struct {
    const IID& iid;
    const char* text;
  } ids[] = {
      {IID_IUnknown, "{00000000-0000-0000-C000-000000000046}"},
      {IID_IClassFactory, "{00000001-0000-0000-C000-000000000046}"},
      {IID_IEnumUnknown, "{00000100-0000-0000-C000-000000000046}"},
      {IID_IEnumString, "{00000101-0000-0000-C000-000000000046}"},
      {IID_IPersistFile, "{0000010B-0000-0000-C000-000000000046}"},
      {IID_IPersist, "{0000010C-0000-0000-C000-000000000046}"},
      {IID_IDispatch, "{00020400-0000-0000-C000-000000000046}"},
      {IID_IEnumVARIANT, "{00020404-0000-0000-C000-000000000046}"},
      {IID_IEnumGUID, "{0002E000-0000-0000-C000-000000000046}"},
      {IID_ICatRegister, "{0002E012-0000-0000-C000-000000000046}"},
      {CLSID_StdComponentCategoriesMgr, "{0002E005-0000-0000-C000-000000000046}"},
      {IID_IProvideClassInfo, "{B196B283-BAB4-101A-B69C-00AA00341D07}"},
      {IID_IConnectionPointContainer, "{B196B284-BAB4-101A-B69C-00AA00341D07}"},
      {IID_IEnumConnectionPoints, "{B196B285-BAB4-101A-B69C-00AA00341D07}"},
      {IID_IConnectionPoint, "{B196B286-BAB4-101A-B69C-00AA00341D07}"},
      {IID_IEnumConnections, "{B196B287-BAB4-101A-B69C-00AA00341D07}"},
      {IID_ISupportErrorInfo, "{DF0B3D60-548F-101B-8E65-08002B2BD119}"},
      {IID_IOPCServer, "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCServerPublicGroups, "{39C13A4E-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCBrowseServerAddressSpace, "{39C13A4F-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCGroupStateMgt, "{39C13A50-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCPublicGroupStateMgt, "{39C13A51-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCSyncIO, "{39C13A52-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCAsyncIO, "{39C13A53-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCItemMgt, "{39C13A54-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IEnumOPCItemAttributes, "{39C13A55-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCDataCallback, "{39C13A70-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCAsyncIO2, "{39C13A71-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCItemProperties, "{39C13A72-011E-11D0-9675-0020AFD8ADB3}"},
      {IID_IOPCShutdown, "{F31DFDE1-07B6-11D2-B2D8-0060083BA1FB}"},
      {IID_IOPCCommon, "{F31DFDE2-07B6-11D2-B2D8-0060083BA1FB}"},
      {IID_IOPCServerList, "{13486D50-4821-11D2-A494-3CB306C10000}"},
      {CATID_OPCDAServer10, "{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}"},
      {CATID_OPCDAServer20, "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"},
  };
  for (const auto& id : ids) EXPECT_EQ(GuidToText(id.iid), id.text);
}

// Records cross the process boundary on Windows; the sizes and offsets are those of the
// published IDL compiled for x64.
TEST(OpcDaDeclarations, RecordLayouts) {
  EXPECT_EQ(sizeof(OPCITEMSTATE), 40u);
  EXPECT_EQ(offsetof(OPCITEMSTATE, ftTimeStamp), 4u);
  EXPECT_EQ(offsetof(OPCITEMSTATE, wQuality), 12u);
  EXPECT_EQ(offsetof(OPCITEMSTATE, vDataValue), 16u);
  EXPECT_EQ(sizeof(OPCITEMRESULT), 24u);
  EXPECT_EQ(offsetof(OPCITEMRESULT, pBlob), 16u);
  EXPECT_EQ(sizeof(OPCITEMDEF), 48u);
  EXPECT_EQ(offsetof(OPCITEMDEF, pBlob), 32u);
  EXPECT_EQ(offsetof(OPCITEMDEF, vtRequestedDataType), 40u);
  EXPECT_EQ(sizeof(OPCSERVERSTATUS), 56u);
  EXPECT_EQ(offsetof(OPCSERVERSTATUS, wMajorVersion), 36u);
  EXPECT_EQ(offsetof(OPCSERVERSTATUS, szVendorInfo), 48u);
  EXPECT_EQ(sizeof(OPCITEMATTRIBUTES), 80u);
  EXPECT_EQ(offsetof(OPCITEMATTRIBUTES, vtRequestedDataType), 48u);
  EXPECT_EQ(offsetof(OPCITEMATTRIBUTES, dwEUType), 52u);
  EXPECT_EQ(offsetof(OPCITEMATTRIBUTES, vEUInfo), 56u);
  EXPECT_EQ(sizeof(CONNECTDATA), 16u);
  EXPECT_EQ(sizeof(VARIANT), 24u);
}

}  // namespace
