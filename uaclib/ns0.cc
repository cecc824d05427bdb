// Namespace 0 as far as clients read and browse it: the standard folders, the Server
// object with status, build info and capabilities, and the type nodes (reference types,
// the data types we serve, object and variable types) that browse results point at.
#include "uaclib/address_space.h"

namespace uaclib {

namespace {

class Ns0Builder {
 public:
  Ns0Builder(AddressSpace& s) : s_(s) {}

  Node* Get(uint32_t id) { return s_.Ns0(id); }

  Node* Object(uint32_t id, const char* name, uint32_t typeDef, uint32_t parent,
               uint32_t refType) {
    Node* n = s_.Add(NodeId::Numeric(0, id), NodeClass::Object, 0, name, name);
    s_.Link(n, ns0::HasTypeDefinition, Get(typeDef));
    if (parent) s_.Link(Get(parent), refType, n);
    return n;
  }
  Node* Folder(uint32_t id, const char* name, uint32_t parent) {
    return Object(id, name, ns0::FolderType, parent, ns0::Organizes);
  }
  Node* Variable(uint32_t id, const char* name, uint32_t dataType, Variant value,
                 uint32_t parent, uint32_t refType, uint32_t typeDef) {
    Node* n = s_.Add(NodeId::Numeric(0, id), NodeClass::Variable, 0, name, name);
    n->dataType = dataType;
    n->valueRank = value.array ? 1 : -1;
    n->value = std::move(value);
    s_.Link(n, ns0::HasTypeDefinition, Get(typeDef));
    s_.Link(Get(parent), refType, n);
    return n;
  }
  Node* Property(uint32_t id, const char* name, uint32_t dataType, Variant value,
                 uint32_t parent) {
    return Variable(id, name, dataType, std::move(value), parent, ns0::HasProperty,
                    ns0::PropertyType);
  }
  Node* Component(uint32_t id, const char* name, uint32_t dataType, Variant value,
                  uint32_t parent) {
    return Variable(id, name, dataType, std::move(value), parent, ns0::HasComponent,
                    ns0::BaseDataVariableType);
  }
  // A type node of class `cls` below `super` (0: organized by `folder`).
  Node* Type(NodeClass cls, uint32_t id, const char* name, uint32_t super, bool abstract,
             uint32_t folder = 0) {
    Node* n = s_.Add(NodeId::Numeric(0, id), cls, 0, name, name);
    n->isAbstract = abstract;
    if (super) s_.Link(Get(super), ns0::HasSubtype, n);
    if (folder) s_.Link(Get(folder), ns0::Organizes, n);
    return n;
  }
  void RefType(uint32_t id, const char* name, const char* inverse, uint32_t super,
               bool abstract, bool symmetric = false) {
    Node* n = Type(NodeClass::ReferenceType, id, name, super, abstract,
                   super ? 0 : ns0::ReferenceTypesFolder);
    n->inverseName = inverse;
    n->symmetric = symmetric;
  }
  void DataType(uint32_t id, const char* name, uint32_t super, bool abstract = false) {
    Type(NodeClass::DataType, id, name, super, abstract, super ? 0 : ns0::DataTypesFolder);
  }
  void VariableType(uint32_t id, const char* name, uint32_t super, uint32_t dataType,
                    bool abstract = false) {
    Node* n = Type(NodeClass::VariableType, id, name, super, abstract,
                   super ? 0 : ns0::VariableTypesFolder);
    n->dataType = dataType;
    n->valueRank = -2;  // any
  }
  void ObjectType(uint32_t id, const char* name, uint32_t super, bool abstract = false) {
    Type(NodeClass::ObjectType, id, name, super, abstract, super ? 0 : ns0::ObjectTypesFolder);
  }
  void Encoding(uint32_t id, uint32_t dataType) {
    Node* n = s_.Add(NodeId::Numeric(0, id), NodeClass::Object, 0, "Default Binary",
                     "Default Binary");
    s_.Link(n, ns0::HasTypeDefinition, Get(ns0::DataTypeEncodingType));
    s_.Link(Get(dataType), ns0::HasEncoding, n);
  }

 private:
  AddressSpace& s_;
};

}  // namespace

void BuildNamespaceZero(AddressSpace& space, const ServerInfo& info, const Limits& limits,
                        const std::vector<std::string>& namespaces) {
  Ns0Builder b(space);
  using namespace ns0;
  // Folders first (their type definition is linked once FolderType exists).
  const uint32_t folders[][2] = {{RootFolder, 0}, {ObjectsFolder, RootFolder},
                                 {TypesFolder, RootFolder}, {ViewsFolder, RootFolder},
                                 {ObjectTypesFolder, TypesFolder},
                                 {VariableTypesFolder, TypesFolder},
                                 {DataTypesFolder, TypesFolder},
                                 {ReferenceTypesFolder, TypesFolder}};
  const char* folderNames[] = {"Root", "Objects", "Types", "Views", "ObjectTypes",
                               "VariableTypes", "DataTypes", "ReferenceTypes"};
  for (size_t i = 0; i < 8; ++i) {
    Node* n = space.Add(NodeId::Numeric(0, folders[i][0]), NodeClass::Object, 0,
                        folderNames[i], folderNames[i]);
    if (folders[i][1]) space.Link(b.Get(folders[i][1]), Organizes, n);
  }

  // Reference types (OPC UA Part 5).
  b.RefType(References, "References", "", 0, true, true);
  b.RefType(HierarchicalReferences, "HierarchicalReferences", "InverseHierarchicalReferences",
            References, true);
  b.RefType(NonHierarchicalReferences, "NonHierarchicalReferences", "", References, true, true);
  b.RefType(HasChild, "HasChild", "ChildOf", HierarchicalReferences, true);
  b.RefType(Organizes, "Organizes", "OrganizedBy", HierarchicalReferences, false);
  b.RefType(HasEventSource, "HasEventSource", "EventSourceOf", HierarchicalReferences, false);
  b.RefType(HasNotifier, "HasNotifier", "NotifierOf", HasEventSource, false);
  b.RefType(Aggregates, "Aggregates", "AggregatedBy", HasChild, true);
  b.RefType(HasSubtype, "HasSubtype", "SubtypeOf", HasChild, false);
  b.RefType(HasProperty, "HasProperty", "PropertyOf", Aggregates, false);
  b.RefType(HasComponent, "HasComponent", "ComponentOf", Aggregates, false);
  b.RefType(HasOrderedComponent, "HasOrderedComponent", "OrderedComponentOf", HasComponent,
            false);
  b.RefType(HasModellingRule, "HasModellingRule", "ModellingRuleOf", NonHierarchicalReferences,
            false);
  b.RefType(HasEncoding, "HasEncoding", "EncodingOf", NonHierarchicalReferences, false);
  b.RefType(HasDescription, "HasDescription", "DescriptionOf", NonHierarchicalReferences, false);
  b.RefType(HasTypeDefinition, "HasTypeDefinition", "TypeDefinitionOf",
            NonHierarchicalReferences, false);
  b.RefType(GeneratesEvent, "GeneratesEvent", "GeneratedBy", NonHierarchicalReferences, false);
  // The reference type nodes above were linked to the folder through Organizes before
  // Organizes existed as a node; that is fine, references carry only the numeric id.

  // Object types.
  b.ObjectType(BaseObjectType, "BaseObjectType", 0);
  b.ObjectType(FolderType, "FolderType", BaseObjectType);
  b.ObjectType(DataTypeSystemType, "DataTypeSystemType", BaseObjectType);
  b.ObjectType(DataTypeEncodingType, "DataTypeEncodingType", BaseObjectType);
  b.ObjectType(ModellingRuleType, "ModellingRuleType", BaseObjectType);
  b.ObjectType(ServerType, "ServerType", BaseObjectType);
  b.ObjectType(ServerCapabilitiesType, "ServerCapabilitiesType", BaseObjectType);
  b.ObjectType(VendorServerInfoType, "VendorServerInfoType", BaseObjectType);
  b.ObjectType(OperationLimitsType, "OperationLimitsType", FolderType);
  for (size_t i = 0; i < 8; ++i)
    space.Link(b.Get(folders[i][0]), HasTypeDefinition, b.Get(FolderType));

  // Variable types.
  b.VariableType(BaseVariableType, "BaseVariableType", 0, BaseDataType, true);
  b.VariableType(BaseDataVariableType, "BaseDataVariableType", BaseVariableType, BaseDataType);
  b.VariableType(PropertyType, "PropertyType", BaseVariableType, BaseDataType);
  b.VariableType(ServerStatusType, "ServerStatusType", BaseDataVariableType,
                 ServerStatusDataType);
  b.VariableType(BuildInfoVariableType, "BuildInfoType", BaseDataVariableType, BuildInfoType);

  // Data types: the built-in types and the structures the Server object uses.
  b.DataType(BaseDataType, "BaseDataType", 0, true);
  b.DataType(ns0::Boolean, "Boolean", BaseDataType);
  b.DataType(Number, "Number", BaseDataType, true);
  b.DataType(Integer, "Integer", Number, true);
  b.DataType(UInteger, "UInteger", Number, true);
  b.DataType(SByte, "SByte", Integer);
  b.DataType(Int16, "Int16", Integer);
  b.DataType(ns0::Int32, "Int32", Integer);
  b.DataType(Int64, "Int64", Integer);
  b.DataType(ns0::Byte, "Byte", UInteger);
  b.DataType(ns0::UInt16, "UInt16", UInteger);
  b.DataType(ns0::UInt32, "UInt32", UInteger);
  b.DataType(UInt64, "UInt64", UInteger);
  b.DataType(ns0::Float, "Float", Number);
  b.DataType(ns0::Double, "Double", Number);
  b.DataType(Duration, "Duration", ns0::Double);
  b.DataType(ns0::String, "String", BaseDataType);
  b.DataType(LocaleId, "LocaleId", ns0::String);
  b.DataType(ns0::DateTime, "DateTime", BaseDataType);
  b.DataType(UtcTime, "UtcTime", ns0::DateTime);
  b.DataType(Guid, "Guid", BaseDataType);
  b.DataType(ByteString, "ByteString", BaseDataType);
  b.DataType(XmlElement, "XmlElement", BaseDataType);
  b.DataType(ns0::NodeId, "NodeId", BaseDataType);
  b.DataType(ExpandedNodeId, "ExpandedNodeId", BaseDataType);
  b.DataType(StatusCode, "StatusCode", BaseDataType);
  b.DataType(QualifiedName, "QualifiedName", BaseDataType);
  b.DataType(LocalizedText, "LocalizedText", BaseDataType);
  b.DataType(Structure, "Structure", BaseDataType, true);
  b.DataType(ns0::DataValue, "DataValue", BaseDataType);
  b.DataType(DiagnosticInfo, "DiagnosticInfo", BaseDataType);
  b.DataType(Enumeration, "Enumeration", BaseDataType, true);
  b.DataType(ServerState, "ServerState", Enumeration);
  b.DataType(ServerStatusDataType, "ServerStatusDataType", Structure);
  b.DataType(BuildInfoType, "BuildInfo", Structure);
  b.Encoding(ServerStatusDefaultBinary, ServerStatusDataType);
  b.Encoding(BuildInfoDefaultBinary, BuildInfoType);

  // Type systems below the DataTypes folder.
  b.Object(XmlSchemaTypeSystem, "XML Schema", DataTypeSystemType, DataTypesFolder, Organizes);
  b.Object(OpcBinaryTypeSystem, "OPC Binary", DataTypeSystemType, DataTypesFolder, Organizes);

  // The Server object (OPC UA Part 5).
  b.Object(Server, "Server", ServerType, ObjectsFolder, Organizes);
  b.Property(ServerArray, "ServerArray", ns0::String,
             Variant::TextArray({info.applicationUri}), Server);
  b.Property(NamespaceArray, "NamespaceArray", ns0::String, Variant::TextArray(namespaces),
             Server);
  Node* status = b.Variable(ServerStatus, "ServerStatus", ServerStatusDataType, Variant(),
                            Server, HasComponent, ServerStatusType);
  status->dynamic = Dynamic::ServerStatus;
  status->minimumSamplingInterval = 1000;
  b.Component(StartTime, "StartTime", UtcTime, Variant::Time(0), ServerStatus);
  Node* now = b.Component(CurrentTime, "CurrentTime", UtcTime, Variant(), ServerStatus);
  now->dynamic = Dynamic::CurrentTime;
  now->minimumSamplingInterval = 1000;
  Node* state = b.Component(State, "State", ServerState, Variant(), ServerStatus);
  state->dynamic = Dynamic::State;
  // BuildInfo structure (OPC UA Part 5): ProductUri, ManufacturerName, ProductName,
  // SoftwareVersion, BuildNumber, BuildDate.
  {
    Encoder e;
    e.String(info.productUri);
    e.String(info.manufacturerName);
    e.String(info.productName);
    e.String(info.softwareVersion);
    e.String(info.buildNumber);
    e.Time(info.buildDate);
    std::string body(reinterpret_cast<const char*>(e.Data()), e.Size());
    b.Variable(BuildInfo, "BuildInfo", BuildInfoType,
               Variant::Extension(BuildInfoDefaultBinary, std::move(body)), ServerStatus,
               HasComponent, BuildInfoVariableType);
  }
  b.Component(ProductUri, "ProductUri", ns0::String, Variant::Text(info.productUri), BuildInfo);
  b.Component(ManufacturerName, "ManufacturerName", ns0::String,
              Variant::Text(info.manufacturerName), BuildInfo);
  b.Component(ProductName, "ProductName", ns0::String, Variant::Text(info.productName),
              BuildInfo);
  b.Component(SoftwareVersion, "SoftwareVersion", ns0::String,
              Variant::Text(info.softwareVersion), BuildInfo);
  b.Component(BuildNumber, "BuildNumber", ns0::String, Variant::Text(info.buildNumber),
              BuildInfo);
  b.Component(BuildDate, "BuildDate", UtcTime, Variant::Time(info.buildDate), BuildInfo);
  b.Component(SecondsTillShutdown, "SecondsTillShutdown", ns0::UInt32, Variant::UInt32(0),
              ServerStatus);
  b.Component(ShutdownReason, "ShutdownReason", LocalizedText, Variant::Localized("", ""),
              ServerStatus);
  b.Property(ServiceLevel, "ServiceLevel", ns0::Byte, Variant::Byte(255), Server);
  b.Property(Auditing, "Auditing", ns0::Boolean, Variant::Boolean(false), Server);

  // Capabilities and the operation limits that clients size their requests from.
  b.Object(ServerCapabilities, "ServerCapabilities", ServerCapabilitiesType, Server,
           HasComponent);
  b.Property(ServerProfileArray, "ServerProfileArray", ns0::String,
             Variant::TextArray({"http://opcfoundation.org/UA-Profile/Server/MicroEmbeddedDevice"}),
             ServerCapabilities);
  b.Property(LocaleIdArray, "LocaleIdArray", LocaleId, Variant::TextArray({"en"}),
             ServerCapabilities);
  b.Property(MinSupportedSampleRate, "MinSupportedSampleRate", Duration,
             Variant::Double(limits.minSamplingIntervalMs), ServerCapabilities);
  b.Property(MaxBrowseContinuationPoints, "MaxBrowseContinuationPoints", ns0::UInt16,
             Variant::UInt16(limits.maxBrowseContinuationPoints), ServerCapabilities);
  b.Object(OperationLimits, "OperationLimits", OperationLimitsType, ServerCapabilities,
           HasComponent);
  const struct { uint32_t id; const char* name; uint32_t value; } ops[] = {
      {MaxNodesPerRead, "MaxNodesPerRead", limits.maxNodesPerRead},
      {MaxNodesPerWrite, "MaxNodesPerWrite", limits.maxNodesPerWrite},
      {MaxNodesPerBrowse, "MaxNodesPerBrowse", limits.maxNodesPerBrowse},
      {MaxNodesPerRegisterNodes, "MaxNodesPerRegisterNodes", limits.maxNodesPerRegisterNodes},
      {MaxNodesPerTranslateBrowsePaths, "MaxNodesPerTranslateBrowsePathsToNodeIds",
       limits.maxNodesPerTranslateBrowsePaths},
      {MaxMonitoredItemsPerCall, "MaxMonitoredItemsPerCall", limits.maxMonitoredItemsPerCall},
  };
  for (const auto& op : ops)
    b.Property(op.id, op.name, ns0::UInt32, Variant::UInt32(op.value), OperationLimits);
  b.Object(ModellingRules, "ModellingRules", FolderType, ServerCapabilities, HasComponent);
  b.Object(AggregateFunctions, "AggregateFunctions", FolderType, ServerCapabilities,
           HasComponent);
  b.Object(VendorServerInfo, "VendorServerInfo", VendorServerInfoType, Server, HasComponent);

  space.IndexReferenceTypes();
}

}  // namespace uaclib
