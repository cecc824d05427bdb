// Whether the server runs its desktop front-end. Decided before any Qt object exists,
// since Qt aborts when it finds no display.
#pragma once

// True when "-headless" is not among the arguments and a display is reachable: the local
// X server socket of $DISPLAY or a Wayland socket. The offscreen platform alone does not
// count: nobody would see the window, and the headless shell reports to stderr.
bool UseDesktopShell(int argc, const char* const* argv);
