#include "HalvexCore/UnfairLock.h"

// UnfairLock is header-only; this unit checks that the header stands on its own.
