// The type library of the server program, as data: its identifiers, names, versions and
// flags. The registration writes its records from this, and the server and group objects
// describe their classes with it (IProvideClassInfo, IDispatch). The identifiers are ours
// and fixed for good: clients and registries keep them.
#pragma once
#include <cstdint>

#include "com/com.h"

extern const GUID LIBID_ZelOpcServer3;
extern const IID IID_IDA2;       // the server class's dual interface, no members
extern const IID IID_IOPCGroup;  // the group class's interface, no members
extern const CLSID CLSID_ZELOPC;    // the server class (coclass ZELOPC)
extern const CLSID CLSID_OPCGroup;  // the group class (coclass OPCGroup)

inline constexpr const char* kTypeLibName = "ZelOpcServer3";  // also the COM server name
inline constexpr const char* kTypeLibHelp = "Zel Net OPC Server V3";
inline constexpr uint16_t kTypeLibMajor = 3;
inline constexpr uint16_t kTypeLibMinor = 0;
inline constexpr LCID kTypeLibLcid = 0x409;
inline constexpr const char* kServerClassName = "ZELOPC";
inline constexpr const char* kServerClassHelp = "Zel Net OPC Server 3";
inline constexpr const char* kGroupClassName = "OPCGroup";

// The member-less interfaces of the type library. IDA2 is dual: its IDispatch part
// answers that there is nothing to call.
struct IDA2 : public IDispatch {};
struct IOPCGroup : public IUnknown {};
