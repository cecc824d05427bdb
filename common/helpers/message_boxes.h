// The common message boxes. One interface with two implementations: the desktop one
// (Qt, with the GUI) and the headless one, which writes each box to stderr and as a
// level-0 log line and answers every question with its safe default (cancel / No).
#pragma once
#include <memory>
#include <string>

class TMessageBoxes {
 public:
  virtual ~TMessageBoxes() = default;
  virtual void Info(const std::string& text, const std::string& caption) = 0;
  virtual void Error(const std::string& text, const std::string& caption) = 0;
  // One-line input; true when confirmed.
  virtual bool AskText(const std::string& prompt, const std::string& caption, std::string& value) = 0;
  virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
};

class THeadlessBoxes : public TMessageBoxes {
 public:
  void Info(const std::string& text, const std::string& caption) override;
  void Error(const std::string& text, const std::string& caption) override;
  bool AskText(const std::string& prompt, const std::string& caption, std::string& value) override;
  bool AskYesNo(const std::string& text, const std::string& caption) override;
};

// Installs the implementation for the process (headless until a GUI installs its own).
// Returns the previous one.
std::unique_ptr<TMessageBoxes> SetMessageBoxes(std::unique_ptr<TMessageBoxes> boxes);
TMessageBoxes& MessageBoxes();

// Caption of InfoBox: the application's title.
void SetApplicationTitle(const std::string& title);
const std::string& ApplicationTitle();

void InfoBox(const std::string& text);
void ErrorBox(const std::string& text);
void ErrorBoxFmt(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
void InfoBoxFmt(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
bool AskText(const std::string& prompt, std::string& value);
bool AskYesNo(const std::string& text);

inline constexpr const char* kCaptionError = "错误";
inline constexpr const char* kCaptionQuestion = "询问";
