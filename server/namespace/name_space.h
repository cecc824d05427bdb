// CreateOpcNameSpace: the item tree of a server object over the runtime's projects and
// variables, with the "$$" system items. What g_PInitServer runs.
#pragma once
#include "server/namespace/nx_server.h"

class TZelMain;

void CreateOpcNameSpace(TZelMain& main, TNxBaseOPCServer& server);
// The g_PInitServer of the program: CreateOpcNameSpace over gp_Main.
void InitServerFromMain(TNxBaseOPCServer* server);
