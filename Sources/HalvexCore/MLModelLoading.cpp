#include "HalvexCore/MLModelLoading.h"

// MLModelLoading is an interface; this unit checks that the header stands on its own.
