#include "common/helpers/program_info.h"

#include <cstdio>
#include <cstring>

std::string ProgramVersion() {
  return std::to_string(ZEL_VERSION_MAJOR) + "." + std::to_string(ZEL_VERSION_MINOR) + "." +
         std::to_string(ZEL_VERSION_PATCH) + "." + std::to_string(ZEL_VERSION_TWEAK);
}

bool AnswerInfoOption(int argc, const char* const* argv, std::string_view program, std::string_view help) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fwrite(help.data(), 1, help.size(), stdout);
      return true;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%.*s %s\n", int(program.size()), program.data(), ProgramVersion().c_str());
      return true;
    }
  }
  return false;
}
