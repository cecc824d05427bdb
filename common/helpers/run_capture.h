// Runs a command line as a child process and collects everything it writes to its
// standard output and standard error (one pipe for both), as the certificate tools need.
#pragma once
#include <string>

// The command line is split like a shell would split words (double quotes group, a
// backslash escapes the next character); no shell is involved. Polls every
// pollMs (0 means 10) while the child runs. False when the pipe or the process cannot
// be made; a start failure shows the error box
// "CreateProcess_ERROR#%d,%s\nCmdLine=%s".
[[nodiscard]] bool RunCapture(const std::string& commandLine, std::string& output, int pollMs = 0);
// The output up to its first zero byte; empty on failure.
[[nodiscard]] bool RunCaptureText(const std::string& commandLine, std::string& text, int pollMs = 0);
// Exit status of the last RunCapture child of this thread (-1 when it did not end normally).
int LastRunCaptureExitCode();
