// To be written.
#include "manager/core/prj_rules.h"

std::string DeviceNumberFix(const std::string&) { return {}; }
std::string NextDisplayName(const std::string&) { return {}; }
std::string CheckDisplayName(const std::string&) { return {}; }
