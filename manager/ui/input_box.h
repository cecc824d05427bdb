// InputText: the manager's one-line input box (kept after its first use).
#pragma once
#include <string>

class QWidget;

// Shows `prompt` with `text` in the edit; on OK the edit's text replaces `text` and the
// result is true, otherwise `text` is unchanged.
bool InputText(std::string& text, const std::string& prompt, QWidget* parent = nullptr);
