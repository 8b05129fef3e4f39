#include "HalvexCore/PropertyLock.h"

// PropertyLock is header-only; this unit checks that the header stands on its own.
