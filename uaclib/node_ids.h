// Numeric node ids of namespace 0 that the library serves or decodes (values from the
// published node id table), and the attribute ids.
#ifndef UACLIB_NODE_IDS_H
#define UACLIB_NODE_IDS_H

#include <cstdint>

namespace uaclib {

// Binary encoding ids of the service requests and responses ("_Encoding_DefaultBinary").
namespace enc {
constexpr uint32_t ServiceFault = 397;
constexpr uint32_t FindServersRequest = 422, FindServersResponse = 425;
constexpr uint32_t GetEndpointsRequest = 428, GetEndpointsResponse = 431;
constexpr uint32_t OpenSecureChannelRequest = 446, OpenSecureChannelResponse = 449;
constexpr uint32_t CloseSecureChannelRequest = 452, CloseSecureChannelResponse = 455;
constexpr uint32_t CreateSessionRequest = 461, CreateSessionResponse = 464;
constexpr uint32_t ActivateSessionRequest = 467, ActivateSessionResponse = 470;
constexpr uint32_t CloseSessionRequest = 473, CloseSessionResponse = 476;
constexpr uint32_t BrowseRequest = 527, BrowseResponse = 530;
constexpr uint32_t BrowseNextRequest = 533, BrowseNextResponse = 536;
constexpr uint32_t TranslateBrowsePathsRequest = 554, TranslateBrowsePathsResponse = 557;
constexpr uint32_t RegisterNodesRequest = 560, RegisterNodesResponse = 563;
constexpr uint32_t UnregisterNodesRequest = 566, UnregisterNodesResponse = 569;
constexpr uint32_t ReadRequest = 631, ReadResponse = 634;
constexpr uint32_t WriteRequest = 673, WriteResponse = 676;
constexpr uint32_t CreateMonitoredItemsRequest = 751, CreateMonitoredItemsResponse = 754;
constexpr uint32_t ModifyMonitoredItemsRequest = 763, ModifyMonitoredItemsResponse = 766;
constexpr uint32_t SetMonitoringModeRequest = 769, SetMonitoringModeResponse = 772;
constexpr uint32_t DeleteMonitoredItemsRequest = 781, DeleteMonitoredItemsResponse = 784;
constexpr uint32_t CreateSubscriptionRequest = 787, CreateSubscriptionResponse = 790;
constexpr uint32_t ModifySubscriptionRequest = 793, ModifySubscriptionResponse = 796;
constexpr uint32_t SetPublishingModeRequest = 799, SetPublishingModeResponse = 802;
constexpr uint32_t PublishRequest = 826, PublishResponse = 829;
constexpr uint32_t RepublishRequest = 832, RepublishResponse = 835;
constexpr uint32_t DeleteSubscriptionsRequest = 847, DeleteSubscriptionsResponse = 850;
// Structures carried in ExtensionObjects.
constexpr uint32_t AnonymousIdentityToken = 321;
constexpr uint32_t UserNameIdentityToken = 324;
constexpr uint32_t X509IdentityToken = 327;
constexpr uint32_t IssuedIdentityToken = 940;
constexpr uint32_t BuildInfo = 340;
constexpr uint32_t ServerStatusDataType = 864;
constexpr uint32_t DataChangeFilter = 724;
constexpr uint32_t EventFilter = 727;
constexpr uint32_t AggregateFilter = 730;
constexpr uint32_t DataChangeNotification = 811;
constexpr uint32_t StatusChangeNotification = 820;
}  // namespace enc

// Nodes of namespace 0.
namespace ns0 {
// Data types.
constexpr uint32_t Boolean = 1, SByte = 2, Byte = 3, Int16 = 4, UInt16 = 5, Int32 = 6,
                   UInt32 = 7, Int64 = 8, UInt64 = 9, Float = 10, Double = 11, String = 12,
                   DateTime = 13, Guid = 14, ByteString = 15, XmlElement = 16, NodeId = 17,
                   ExpandedNodeId = 18, StatusCode = 19, QualifiedName = 20,
                   LocalizedText = 21, Structure = 22, DataValue = 23, BaseDataType = 24,
                   DiagnosticInfo = 25, Number = 26, Integer = 27, UInteger = 28,
                   Enumeration = 29;
constexpr uint32_t Duration = 290, UtcTime = 294, LocaleId = 295;
constexpr uint32_t BuildInfoType = 338;  // the BuildInfo data type
constexpr uint32_t ServerState = 852;
constexpr uint32_t ServerStatusDataType = 862;
constexpr uint32_t BuildInfoDefaultBinary = 340, ServerStatusDefaultBinary = 864;
// Reference types.
constexpr uint32_t References = 31, NonHierarchicalReferences = 32,
                   HierarchicalReferences = 33, HasChild = 34, Organizes = 35,
                   HasEventSource = 36, HasModellingRule = 37, HasEncoding = 38,
                   HasDescription = 39, HasTypeDefinition = 40, GeneratesEvent = 41,
                   Aggregates = 44, HasSubtype = 45, HasProperty = 46, HasComponent = 47,
                   HasNotifier = 48, HasOrderedComponent = 49;
// Object, variable and other types.
constexpr uint32_t BaseObjectType = 58, FolderType = 61, BaseVariableType = 62,
                   BaseDataVariableType = 63, PropertyType = 68, DataTypeSystemType = 75,
                   DataTypeEncodingType = 76, ModellingRuleType = 77,
                   ModellingRuleMandatory = 78;
constexpr uint32_t ServerType = 2004, ServerCapabilitiesType = 2013,
                   VendorServerInfoType = 2033, ServerStatusType = 2138,
                   BuildInfoVariableType = 3051, OperationLimitsType = 11564;
// Folders.
constexpr uint32_t RootFolder = 84, ObjectsFolder = 85, TypesFolder = 86, ViewsFolder = 87,
                   ObjectTypesFolder = 88, VariableTypesFolder = 89, DataTypesFolder = 90,
                   ReferenceTypesFolder = 91, XmlSchemaTypeSystem = 92,
                   OpcBinaryTypeSystem = 93;
// The Server object and its children.
constexpr uint32_t Server = 2253, ServerArray = 2254, NamespaceArray = 2255,
                   ServerStatus = 2256, StartTime = 2257, CurrentTime = 2258, State = 2259,
                   BuildInfo = 2260, ProductName = 2261, ProductUri = 2262,
                   ManufacturerName = 2263, SoftwareVersion = 2264, BuildNumber = 2265,
                   BuildDate = 2266, ServiceLevel = 2267, ServerCapabilities = 2268,
                   ServerProfileArray = 2269, LocaleIdArray = 2271,
                   MinSupportedSampleRate = 2272, VendorServerInfo = 2295,
                   MaxBrowseContinuationPoints = 2735, MaxQueryContinuationPoints = 2736,
                   MaxHistoryContinuationPoints = 2737, SecondsTillShutdown = 2992,
                   ShutdownReason = 2993, Auditing = 2994, ModellingRules = 2996,
                   AggregateFunctions = 2997, MaxArrayLength = 11702,
                   MaxStringLength = 11703, OperationLimits = 11704,
                   MaxNodesPerRead = 11705, MaxNodesPerWrite = 11707,
                   MaxNodesPerBrowse = 11710, MaxNodesPerRegisterNodes = 11711,
                   MaxNodesPerTranslateBrowsePaths = 11712, MaxMonitoredItemsPerCall = 11714;
}  // namespace ns0

// Attribute ids.
namespace attr {
constexpr uint32_t NodeId = 1, NodeClass = 2, BrowseName = 3, DisplayName = 4,
                   Description = 5, WriteMask = 6, UserWriteMask = 7, IsAbstract = 8,
                   Symmetric = 9, InverseName = 10, ContainsNoLoops = 11,
                   EventNotifier = 12, Value = 13, DataType = 14, ValueRank = 15,
                   ArrayDimensions = 16, AccessLevel = 17, UserAccessLevel = 18,
                   MinimumSamplingInterval = 19, Historizing = 20, Executable = 21,
                   UserExecutable = 22, DataTypeDefinition = 23, RolePermissions = 24,
                   UserRolePermissions = 25, AccessRestrictions = 26, AccessLevelEx = 27;
}  // namespace attr

// NodeClass enumeration values.
enum class NodeClass : uint32_t {
  Unspecified = 0, Object = 1, Variable = 2, Method = 4, ObjectType = 8, VariableType = 16,
  ReferenceType = 32, DataType = 64, View = 128
};

}  // namespace uaclib
#endif
