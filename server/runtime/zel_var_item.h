// A runtime variable of the server: current value, validity and the write lock of one
// device variable. Every value is a double, whatever the type.
#pragma once
#include <cstdint>
#include <string>

class TOpcSPrj;

enum TVarType : int16_t {
  VAR_DISC = 1,    // on/off
  VAR_LONG = 2,    // 32-bit integer
  VAR_ANALOG = 3,  // floating point
  VAR_DOUBLE = 4,
  VAR_STR = 5,     // text; carries a number like the others
};

struct TZelVarItem {
  int32_t Index = -1;        // position in the project's Vars
  std::string Name;          // configured name; also sent in write requests
  std::string GroupName;     // first level of the group path, or empty
  std::string SubGroupName;  // second level, or empty
  int16_t DataType = VAR_ANALOG;
  bool ReadOnly = false;
  double Value = 0.0;
  bool Valid = false;
  int64_t WriteTime = 0;  // link clock (SteadyMs) of the last local write that changed Value
  int32_t WriteLock = 0;  // queued or in-flight writes; reads leave Value alone while > 0
  TOpcSPrj* Prj = nullptr;
  // OPC UA part, filled by the bridge: the node of this variable (0 = none).
  uint64_t UaNode = 0;
};

// Splits a configured group path at its first '.' (only when the project uses groups).
void SplitGroupPath(const std::string& group, bool useGroup, std::string& groupName, std::string& subGroupName);
