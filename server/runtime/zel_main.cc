#include "server/runtime/zel_main.h"

std::unique_ptr<TZelMain> gp_Main;
