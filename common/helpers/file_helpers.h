// Path and version helpers.
#pragma once
#include <string>

// The canonical form of a path (symbolic links and "." / ".." resolved); a path that
// does not exist keeps its text. Empty for an empty path.
std::string LongPath(const std::string& path);
// "%d.%d.%d.%d" of the version compiled into the programs; empty for any other file,
// since Linux executables carry no version resource.
std::string FileVersionText(const std::string& file = {});
