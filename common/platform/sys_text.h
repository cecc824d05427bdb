// The platform's message texts for the error codes the programs meet (the Windows texts,
// since users and logs quote them); empty for codes outside the table.
#pragma once
#include <cstdint>
#include <string>

std::string SysErrorMessage(uint32_t code);
