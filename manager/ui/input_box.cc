// To be written.
#include "manager/ui/input_box.h"

bool InputText(std::string&, const std::string&, QWidget*) { return false; }
