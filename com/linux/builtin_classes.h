// The classes the runtime itself provides (the system's own COM classes).
#pragma once
#include "com/linux/api.h"

namespace zelcom::internal {

// The class object of a built-in class for that context, or nullptr. Not counted.
IUnknown* BuiltinClassObject(REFCLSID clsid, DWORD context);

}  // namespace zelcom::internal
