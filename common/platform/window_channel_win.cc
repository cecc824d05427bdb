// Window search and window messages on Windows: real top-level windows, found by class
// and caption and sent messages with a time-out, so a hung program never blocks the
// sender. The text requests of the Linux channel have no counterpart here.
#include <windows.h>

#include "common/platform/win_text.h"
#include "common/platform/window_channel.h"

std::string WindowSocketPath(const std::string&, const std::string&) { return {}; }

bool FindWindowChannel(const std::string& windowClass, const std::string& caption) {
  return FindWindowW(WideText(windowClass).c_str(), WideText(caption).c_str()) != nullptr;
}

bool SendWindowMessage(const std::string& windowClass, const std::string& caption, int msg, std::string* answer,
                       int timeoutMs) {
  HWND w = FindWindowW(WideText(windowClass).c_str(), WideText(caption).c_str());
  if (!w) return false;
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(w, UINT(msg), 0, 0, SMTO_ABORTIFHUNG, UINT(timeoutMs), &result)) return false;
  if (answer) *answer = std::to_string(static_cast<long long>(result));
  return true;
}

bool WindowRequest(const std::string&, const std::string&, const std::string&, std::vector<std::string>&, int) {
  return false;
}

int ListenWindowChannel(const std::string&, const std::string&) { return -1; }
