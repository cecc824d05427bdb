// The message boxes of the manager: Qt dialogs owned by the active window, so that they
// stay in front of the dialog that raised them.
#pragma once
#include "common/helpers/message_boxes.h"

class TMgrBoxes : public TMessageBoxes {
 public:
  void Info(const std::string& text, const std::string& caption) override;
  void Error(const std::string& text, const std::string& caption) override;
  bool AskText(const std::string& prompt, const std::string& caption, std::string& value) override;
  bool AskYesNo(const std::string& text, const std::string& caption) override;
};
