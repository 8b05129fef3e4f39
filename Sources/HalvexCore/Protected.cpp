#include "HalvexCore/Protected.h"

// Protected is header-only; this unit checks that the header stands on its own.
