// Writes the gateway's project file for cloudsim's devices, so a demo or a test starts
// with a configuration that matches the simulated plant (variable lists and their
// fingerprints included, so the gateway has nothing to relearn at its first start).
#pragma once
#include <string>
#include <vector>

#include "tools/cloudsim/sim_core.h"

[[nodiscard]] bool WriteGatewayConfig(const std::vector<TSimDevice>& devices, const std::string& loginUrl,
                                      const std::string& path, std::string& error);
