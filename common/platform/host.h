// Host name and IPv4 addresses of this machine (certificate alternative names, status).
#pragma once
#include <string>
#include <vector>

std::string LocalHostName();
// Dotted IPv4 addresses of the interfaces that are up, loopback excluded.
std::vector<std::string> LocalIPv4Addresses();
