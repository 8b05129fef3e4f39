#include "HalvexCore/WeakSendableWrapper.h"

// WeakSendableWrapper is header-only; this unit checks that the header stands on its own.
