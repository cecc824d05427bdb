// The common message boxes as Qt dialogs, installed by the desktop front-end of each
// program: top-most, with the captions and icons of the headless texts' counterparts.
#pragma once
#include "common/helpers/message_boxes.h"

class TQtBoxes : public TMessageBoxes {
 public:
  void Info(const std::string& text, const std::string& caption) override;
  void Error(const std::string& text, const std::string& caption) override;
  bool AskText(const std::string& prompt, const std::string& caption, std::string& value) override;
  bool AskYesNo(const std::string& text, const std::string& caption) override;
};
