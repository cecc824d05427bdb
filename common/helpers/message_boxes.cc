#include "common/helpers/message_boxes.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "common/log/server_log.h"

namespace {
std::mutex g_boxMutex;
std::unique_ptr<TMessageBoxes>& Current() {
  static std::unique_ptr<TMessageBoxes> boxes = std::make_unique<THeadlessBoxes>();
  return boxes;
}
std::string& Title() {
  static std::string title = "ZelOpc";
  return title;
}

void Emit(const char* kind, const std::string& caption, const std::string& text) {
  const std::string line = "[" + std::string(kind) + "]" + caption + ":" + text;
  if (g_ServerLog.StderrMirror()) {
    // For the journal the box is its log line, once, with an error's priority for an error.
    g_ServerLog.Send(line, 0, std::string_view(kind) == "ERROR" ? 3 : 6);
    return;
  }
  std::fprintf(stderr, "[%s] %s: %s\n", kind, caption.c_str(), text.c_str());
  std::fflush(stderr);
  LogSys(line);
}

std::string VFormat(const char* pattern, va_list ap) {
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, pattern, ap);
  std::string s;
  if (n > 0) {
    s.resize(size_t(n));
    std::vsnprintf(s.data(), size_t(n) + 1, pattern, ap2);
  }
  va_end(ap2);
  return s;
}
}  // namespace

void THeadlessBoxes::Info(const std::string& text, const std::string& caption) { Emit("INFO", caption, text); }
void THeadlessBoxes::Error(const std::string& text, const std::string& caption) { Emit("ERROR", caption, text); }
bool THeadlessBoxes::AskText(const std::string& prompt, const std::string& caption, std::string&) {
  Emit("ASK", caption, prompt + " -> cancel");
  return false;
}
bool THeadlessBoxes::AskYesNo(const std::string& text, const std::string& caption) {
  Emit("ASK", caption, text + " -> No");
  return false;
}

std::unique_ptr<TMessageBoxes> SetMessageBoxes(std::unique_ptr<TMessageBoxes> boxes) {
  std::lock_guard lock(g_boxMutex);
  std::swap(Current(), boxes);
  return boxes;
}

TMessageBoxes& MessageBoxes() { return *Current(); }

void SetApplicationTitle(const std::string& title) { Title() = title; }
const std::string& ApplicationTitle() { return Title(); }

void InfoBox(const std::string& text) { MessageBoxes().Info(text, Title()); }
void ErrorBox(const std::string& text) { MessageBoxes().Error(text, kCaptionError); }
bool AskText(const std::string& prompt, std::string& value) {
  return MessageBoxes().AskText(prompt, kCaptionQuestion, value);
}
bool AskYesNo(const std::string& text) { return MessageBoxes().AskYesNo(text, kCaptionQuestion); }

void ErrorBoxFmt(const char* pattern, ...) {
  va_list ap;
  va_start(ap, pattern);
  std::string s = VFormat(pattern, ap);
  va_end(ap);
  ErrorBox(s);
}

void InfoBoxFmt(const char* pattern, ...) {
  va_list ap;
  va_start(ap, pattern);
  std::string s = VFormat(pattern, ap);
  va_end(ap);
  InfoBox(s);
}
