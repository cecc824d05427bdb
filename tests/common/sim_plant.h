// Builds cloudsim device files for tests: a few devices with one counter, one writable
// float in a two-level group and one writable switch each, spread over data servers.
#pragma once
#include <string>

inline std::string SimVar(const char* name, const char* type, const char* access, const char* group,
                          const char* source, double value) {
  return std::string("{\"name\":\"") + name + "\",\"type\":\"" + type + "\",\"access\":\"" + access +
         "\",\"group\":\"" + group + "\",\"source\":\"" + source + "\",\"value\":" + std::to_string(value) +
         ",\"step\":1,\"periodMs\":200}";
}

inline std::string SimDevice(int n, int server, const std::string& vars, int refreshMs = 500) {
  return "{\"number\":\"" + std::to_string(1000 + n) + "\",\"password\":\"pw" + std::to_string(n) +
         "\",\"name\":\"Dev" + std::to_string(n) + "\",\"refreshMs\":" + std::to_string(refreshMs) +
         ",\"dataServer\":" + std::to_string(server) + ",\"vars\":[" + vars + "]}";
}

// Device n is number 1000+n, password "pw<n>", name "Dev<n>", on data server (n-1) % 2.
inline std::string SimPlant(int devices, int sessionTimeoutMs = 600000) {
  std::string d;
  for (int i = 1; i <= devices; ++i) {
    if (i > 1) d += ",";
    d += SimDevice(i, (i - 1) % 2,
                   SimVar("Count", "I", "R", "G1", "counter", 0) + "," +
                       SimVar("Set", "F", "W", "G1.S", "constant", 1.5) + "," +
                       SimVar("On", "B", "W", "", "constant", 0));
  }
  return "{\"dataServers\":2,\"sessionTimeoutMs\":" + std::to_string(sessionTimeoutMs) + ",\"devices\":[" + d + "]}";
}
