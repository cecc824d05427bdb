// A large simulated plant for the benchmarks: cloudsim's device file for N devices of M
// variables spread round-robin over the data servers, with a mix of value types that
// covers every wire width the read answers use.
#pragma once
#include <cstdio>
#include <string>

// One device file of `devices` devices with `varsPerDevice` variables each, variable j of
// kind kinds[j % kindCount] (a JSON fragment with type, access, wire and value source).
// Device n (1-based) is number 2000000+n, password "pw<n>", name "Dev<nnnn>" (zero-padded,
// so display-name order is device order), on data server (n-1) % servers; variable j is
// "V<j>" in groups "G<j/50>" and "S<j%5>". `extraDevices`: more device objects (JSON,
// comma-separated) appended to the list.
inline std::string PlantJson(int devices, int varsPerDevice, int servers, int refreshMs, const char* const* kinds,
                             int kindCount, const std::string& extraDevices = "") {
  std::string out = "{\"dataServers\":" + std::to_string(servers) + ",\"sessionTimeoutMs\":3600000,\"devices\":[";
  out.reserve(size_t(devices) * size_t(varsPerDevice) * 110);
  for (int n = 1; n <= devices; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "Dev%04d", n);
    if (n > 1) out += ',';
    out += "{\"number\":\"" + std::to_string(2000000 + n) + "\",\"password\":\"pw" + std::to_string(n) +
           "\",\"name\":\"" + name + "\",\"refreshMs\":" + std::to_string(refreshMs) +
           ",\"dataServer\":" + std::to_string((n - 1) % servers) + ",\"vars\":[";
    for (int j = 0; j < varsPerDevice; ++j) {
      if (j) out += ',';
      out += "{\"name\":\"V" + std::to_string(j) + "\",\"group\":\"G" + std::to_string(j / 50) + ".S" +
             std::to_string(j % 5) + "\"," + kinds[j % kindCount] + "}";
    }
    out += "]}";
  }
  if (!extraDevices.empty()) out += (devices > 0 ? "," : "") + extraDevices;
  return out + "]}";
}

// The plant of the link and server benchmarks. Five kinds of variable in turn: a switch,
// a 32-bit counter, a float sine, a double random walk and a 16-bit constant (average 4.6
// bytes per value on the wire).
inline std::string BenchPlant(int devices, int varsPerDevice, int servers, int refreshMs) {
  static const char* const kKinds[5] = {
      R"("type":"B","access":"W","source":"constant","value":1)",
      R"("type":"I","access":"R","wire":"i32","source":"counter","value":0,"step":1,"periodMs":1000)",
      R"("type":"F","access":"R","wire":"f32","source":"sine","value":50,"amplitude":20,"periodMs":60000)",
      R"("type":"F","access":"W","wire":"f64","source":"random","value":20,"step":0.2,"periodMs":500,"min":0,"max":40)",
      R"("type":"I","access":"W","wire":"i16","source":"constant","value":1450)",
  };
  return PlantJson(devices, varsPerDevice, servers, refreshMs, kKinds, 5);
}

// A plant whose every value differs at every read (the read interval is at least 400 ms):
// counters that step every 50 ms, a float sine and a double random walk.
inline std::string MovingPlant(int devices, int varsPerDevice, int servers, int refreshMs,
                               const std::string& extraDevices = "") {
  static const char* const kKinds[4] = {
      R"("type":"I","access":"R","wire":"i32","source":"counter","value":0,"step":1,"periodMs":50)",
      R"("type":"F","access":"R","wire":"f32","source":"sine","value":50,"amplitude":20,"periodMs":7000)",
      R"("type":"F","access":"W","wire":"f64","source":"random","value":20,"step":0.5,"periodMs":50,"min":-1e9,"max":1e9)",
      R"("type":"I","access":"W","wire":"i16","source":"counter","value":-30000,"step":1,"periodMs":50)",
  };
  return PlantJson(devices, varsPerDevice, servers, refreshMs, kKinds, 4, extraDevices);
}
