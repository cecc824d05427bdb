// Window search and window messages between our processes: each main window listens on
// a Unix domain socket in the runtime directory named from its class and caption.
// "Find the window" is a successful connect; "send message N" is one request line and
// its one-line answer, synchronous like a window message. Other request lines (such as
// "status") answer with several lines ended by a line holding ".".
#pragma once
#include <string>
#include <vector>

std::string WindowSocketPath(const std::string& windowClass, const std::string& caption);
// True when a window of that class and caption listens.
[[nodiscard]] bool FindWindowChannel(const std::string& windowClass, const std::string& caption);
// Sends "MSG <n>" and waits (up to timeoutMs) for the answer; false when no window.
[[nodiscard]] bool SendWindowMessage(const std::string& windowClass, const std::string& caption, int msg,
                                     std::string* answer = nullptr, int timeoutMs = 30000);
// Sends any request line and collects the answer lines up to ".".
[[nodiscard]] bool WindowRequest(const std::string& windowClass, const std::string& caption, const std::string& request,
                                 std::vector<std::string>& lines, int timeoutMs = 30000);
// A listening socket for a window; -1 on failure (a stale socket file is replaced,
// a live one refuses).
int ListenWindowChannel(const std::string& windowClass, const std::string& caption);
