// Process-wide switches of the manager. The main window owns the one instance and hands
// it to the dialogs that read or set a switch.
#pragma once

struct TMgrFlags {
  bool AllowDupId = false;     // switch "ZELID": the same device number may appear twice
  bool ForceXML = false;       // ForceXML of config.ini or switch "XML": archive as XML
  bool NoAutoRefresh = false;  // the editor's "no automatic refresh" check box
  bool ServerRunning = false;  // last result of the search for the server's window
};
