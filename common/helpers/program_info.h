// --help and --version of every program: one help text per program, printed on standard
// output so that the manual pages can be generated from the same text.
#pragma once
#include <string>
#include <string_view>

// "3.0.0.1": the project version compiled in.
std::string ProgramVersion();

// When an argument is exactly "--help" or "--version", prints the help text or
// "<program> <version>" on stdout and returns true: the caller then ends with code 0.
bool AnswerInfoOption(int argc, const char* const* argv, std::string_view program, std::string_view help);
